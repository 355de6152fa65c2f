// The core's waits run with the interpreter lock held (every entry point is
// called from Python). A wait that kept the lock would stall the other Python
// threads of the process, among them the holder of the lock being waited for,
// so each wait step hands the interpreter lock over and takes it back.
#include "zorvik/binding/gil.hpp"

#include <Python.h>

#include <cerrno>
#include <ctime>

#include "zorvik/binding/start_up.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"

namespace zorvik::binding {
namespace {

bool interpreter_is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

void sleep_one_millisecond() {
    timespec remaining{0, 1000000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// One wait step of a spin lock: let the other Python threads run once. During
// finalisation the thread state may be gone, so the step does nothing then.
void gil_yield() {
    if (interpreter_is_finalizing()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState *thread = PyEval_SaveThread();
    PyEval_RestoreThread(thread);
    PyGILState_Release(gil);
}

void gil_sleep_1ms() {
    if (interpreter_is_finalizing()) {
        sleep_one_millisecond();
        return;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState *thread = PyEval_SaveThread();
    sleep_one_millisecond();
    PyEval_RestoreThread(thread);
    PyGILState_Release(gil);
}

// A signal the interpreter received (Ctrl-C's SIGINT): its handler runs now,
// with the interpreter lock held, and its exception (KeyboardInterrupt) stops
// the walk and stays set for the caller.
bool signal_received() { return PyErr_CheckSignals() < 0; }

void *py_malloc(std::size_t size) { return PyMem_Malloc(size); }
void *py_calloc(std::size_t count, std::size_t size) { return PyMem_Calloc(count, size); }
void py_free(void *pointer) { PyMem_Free(pointer); }

}  // namespace

void install_host_hooks() noexcept {
    host::install(host::Hooks{gil_yield, gil_sleep_1ms, py_malloc, py_calloc, py_free, signal_received});
}

namespace {

// Runs at interpreter exit (atexit, after the non-daemon threads have been
// joined and while daemon threads can still run). A daemon thread waiting
// for a lock inside an operation would otherwise be stopped for good the next
// time it asks for the interpreter lock, still holding the bucket lock it took,
// and the file would keep that lock held by a process that has ended. So every
// wait is told to give up, and the interpreter lock is let go for a moment
// (at most 200 ms) while the waiting threads unwind and release their locks.
PyObject *release_waiters(PyObject *, PyObject *) {
    host::request_stop();
    Py_BEGIN_ALLOW_THREADS
    for (int i = 0; i < 200 && host::waiting_threads() > 0; ++i) sleep_one_millisecond();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef release_waiters_def = {"_zorvik_release_waiters", release_waiters, METH_NOARGS, nullptr};

}  // namespace

int register_exit_handler() { return register_at_exit(&release_waiters_def); }

}  // namespace zorvik::binding
