#include "zorvik/binding/errors.hpp"

#include <frameobject.h>

#include <cstring>
#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "zorvik/binding/convert.hpp"
#include "zorvik/binding/operations.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"

namespace zorvik::binding {

// ---- translation of core failures ------------------------------------------

namespace {

// OSError(errno, strerror or the reason, path): the interpreter picks the subclass of the
// errno (FileNotFoundError, FileExistsError, PermissionError, ...), as it does
// for its own file operations. No path, no filename.
void set_file_error(const FileError &e) noexcept {
    const int error = e.code().value();
    const Ref path = e.path().empty() ? Ref()
                                      : Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
                                            e.path().data(), static_cast<Py_ssize_t>(e.path().size())));
    if (!e.path().empty() && !path) return;  // that failure is the exception now
    const char *text = e.reason().empty() ? std::strerror(error) : e.reason().c_str();
    const Ref exception = Ref::steal(path ? PyObject_CallFunction(PyExc_OSError, "isO", error, text, path.get())
                                          : PyObject_CallFunction(PyExc_OSError, "is", error, text));
    if (!exception) return;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.get())), exception.get());
}

// RuntimeError(what) with the failure's facts as attributes: `filename` (the
// path, as OSError names it) and, when given, `pids` (a list of ints), so
// that a caller reads them rather than the text.
void set_runtime_error(const char *what, const std::string &path, const std::vector<int> *pids) noexcept {
    const Ref exception = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", what));
    if (!exception) return;
    const Ref filename =
        Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!filename || PyObject_SetAttrString(exception.get(), "filename", filename.get()) != 0) return;
    if (pids != nullptr) {
        const Ref list = pid_list(*pids);
        if (!list || PyObject_SetAttrString(exception.get(), "pids", list.get()) != 0) return;
    }
    PyErr_SetObject(PyExc_RuntimeError, exception.get());
}

}  // namespace

// The first matching row wins; a row matches derived kinds too, which is why
// std::ios_base::failure (a std::runtime_error) comes before the catch-all.
void set_exception_from_core() noexcept {
    if (PyErr_Occurred()) return;
    try {
        throw;
    } catch (const WaitAbandoned &) {
        // A wait given up because the interpreter is exiting: the thread ends
        // quietly (threads ignore SystemExit), its locks released on the way.
        PyErr_SetNone(PyExc_SystemExit);
    } catch (const FileError &e) {
        set_file_error(e);
    } catch (const FileInUse &e) {
        // A repair refused: the holders' pids, for the operator's tools.
        set_runtime_error(e.what(), e.path(), &e.pids());
    } catch (const FileBeingRepaired &e) {
        set_runtime_error(e.what(), e.path(), nullptr);
    } catch (const SpaceExhausted &e) {
        if (operation_context.space_exhausted != nullptr) {
            operation_context.space_exhausted(e);
        } else {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    } catch (const LockHeldByNoProcess &e) {
        if (operation_context.needs_repair != nullptr) {
            operation_context.needs_repair(true, e.what());
        } else {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    } catch (const std::bad_alloc &e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast &e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid &e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure &e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::out_of_range &e) {
        // A chain or bucket the file cannot hold ("offset overflow!").
        if (operation_context.needs_repair != nullptr) {
            operation_context.needs_repair(false, e.what());
        } else {
            PyErr_SetString(PyExc_IndexError, e.what());
        }
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error &e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

// ---- pending exception as one object ---------------------------------------

Ref take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    const Ref type_held = Ref::steal(type);
    const Ref traceback_held = Ref::steal(traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    return Ref::steal(value);
#endif
}

void restore_exception(Ref exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    if (!exception) return;
    PyObject *type = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exception.get())));
    PyObject *traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
#endif
}

// ---- traceback entries -----------------------------------------------------

// A code object and a frame that exist only to carry the name into the
// traceback; the pending exception is set aside while they are built, since
// creating objects with an exception pending is not allowed.
void add_traceback(const char *function_name, const char *file_name, int line) noexcept {
    Ref exception = take_exception();
    if (!exception) return;
    const Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(file_name, function_name, line)));
    PyObject *module = operation_context.module;
    PyObject *globals = module != nullptr ? PyModule_GetDict(module) : nullptr;
    Ref own_globals;
    if (globals == nullptr) {
        own_globals = Ref::steal(PyDict_New());
        globals = own_globals.get();
    }
    Ref frame;
    if (code && globals != nullptr) {
        frame = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals, nullptr)));
    }
    // A failure to build the entry must not replace the exception it decorates.
    PyErr_Clear();
    restore_exception(std::move(exception));
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace zorvik::binding
