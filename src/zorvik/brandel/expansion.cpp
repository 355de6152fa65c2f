// expansion(parallelism) asks for one doubling of the bucket table and spreads
// the work over `parallelism` pool processes. The calling process takes no part
// in the splitting: each task attaches to the segment by its name, joins the
// expansion if chunks_in_use is still below the target, and detaches. Only the
// name and the target cross process boundaries, so the pool works with every
// start method; dict_expansion is pickled by reference as a module global.
#include "zorvik/brandel/expansion.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/convert.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/brandel/module.hpp"
#include "zorvik/capi/ref.hpp"
#include "zorvik/binding/operations.hpp"

namespace zorvik::brandel {

using capi::Ref;

namespace {

constexpr const char expansion_file[] = "zorvik/brandel/expansion.cpp";

// ---- dict_expansion --------------------------------------------------------

const char *const dict_expansion_parameters[] = {"name", "target_length"};
const binding::Signature dict_expansion_signature{"dict_expansion", dict_expansion_parameters, 2, 2};

PyObject *expand_named(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[2];
    if (binding::bind_arguments(dict_expansion_signature, args, nargs, kwnames, values) < 0 ||
        binding::check_argument_type(values[0], &PyBytes_Type, binding::TypeMatch::exact_or_none, "name") < 0) {
        return nullptr;
    }
    std::uint64_t target = 0;
    std::string name;
    if (binding::to_size_t(values[1], &target) < 0 || binding::to_file_name(values[0], &name) < 0) return nullptr;
    if (!binding::call_core([&] { python_expansion_helper_string(name, target); })) return nullptr;
    return PyLong_FromLong(1);
}

PyObject *dict_expansion_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *result = expand_named(args, nargs, kwnames);
    if (result == nullptr) binding::add_traceback("zorvik.brandel.dict_expansion", expansion_file, __LINE__);
    return result;
}

// ---- the pool driver -------------------------------------------------------

// The references the driver holds, released on every exit, the task results
// first (members go in the reverse order of their declaration).
struct PoolRun {
    Ref task_arguments;
    Ref pool;
    Ref failures;
    Ref results;
};

// Ends a pool whose tasks could not all be submitted, keeping the exception
// that stopped the submission.
void terminate_pool(PyObject *pool) {
    Ref exception = binding::take_exception();
    const Ref result = Ref::steal(PyObject_CallMethodNoArgs(pool, names.terminate));
    PyErr_Clear();
    binding::restore_exception(std::move(exception));
}

// target = 2 x chunks_in_use, refused when the doubled table would not fit
// the map's bucket_chunk_number (no task could then do anything, and the call
// would report an expansion that did not happen). 0 or -1.
int expansion_target(BrandelObject *self, std::uint64_t *target) {
    binding::MapPointer map = map_of(self);
    if (!map) return -1;
    std::uint64_t in_use = 0;
    std::uint64_t capacity = 0;
    if (!binding::call_core([&] {
            in_use = map->chunks_in_use();
            capacity = map->bucket_chunk_number();
        })) {
        return -1;
    }
    if (in_use > capacity / 2) {
        PyErr_Format(PyExc_RuntimeError,
                     "cannot expand: %llu bucket chunks in use, doubling exceeds bucket_chunk_number %llu!",
                     static_cast<unsigned long long>(in_use), static_cast<unsigned long long>(capacity));
        return -1;
    }
    *target = 2 * in_use;
    return 0;
}

int default_parallelism(std::uint64_t *parallelism) {
    const Ref os = module_global(names.os);
    if (!os) return -1;
    const Ref count = Ref::steal(PyObject_CallMethodNoArgs(os.get(), names.cpu_count));
    if (!count) return -1;
    return binding::to_size_t(count.get(), parallelism);
}

int start_pool(PoolRun &run, std::uint64_t parallelism) {
    const Ref multiprocessing = module_global(names.multiprocessing);
    if (!multiprocessing) return -1;
    const Ref processes = Ref::steal(PyLong_FromUnsignedLongLong(parallelism));
    if (!processes) return -1;
    run.pool = Ref::steal(PyObject_CallMethodOneArg(multiprocessing.get(), names.Pool, processes.get()));
    return run.pool ? 0 : -1;
}

int submit_tasks(PoolRun &run, std::uint64_t parallelism) {
    for (std::uint64_t i = 0; i < parallelism; ++i) {
        const Ref task = module_global(names.dict_expansion);
        if (!task) return -1;
        const Ref pending = Ref::steal(PyObject_CallMethodObjArgs(run.pool.get(), names.apply_async, task.get(),
                                                                  run.task_arguments.get(), nullptr));
        if (!pending || PyList_Append(run.results.get(), pending.get()) < 0) return -1;
    }
    return 0;
}

// Waits for the tasks in order; the first failure that is an Exception stops
// the wait and is kept. Anything else (KeyboardInterrupt, SystemExit)
// propagates at once: -1.
int wait_for_tasks(PoolRun &run) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(run.results.get()); ++i) {
        const Ref result = Ref::steal(PyObject_CallMethodNoArgs(PyList_GET_ITEM(run.results.get(), i), names.get));
        if (result) continue;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        const Ref exception = binding::take_exception();
        return PyList_Append(run.failures.get(), exception.get());
    }
    return 0;
}

int close_pool(PoolRun &run) {
    const Ref closed = Ref::steal(PyObject_CallMethodNoArgs(run.pool.get(), names.close));
    if (!closed) return -1;
    const Ref joined = Ref::steal(PyObject_CallMethodNoArgs(run.pool.get(), names.join));
    return joined ? 0 : -1;
}

int raise_failures(PyObject *failures) {
    const Ref text = Ref::steal(PyUnicode_FromString("Subprocess finished with error{}"));
    if (!text) return -1;
    const Ref message = Ref::steal(PyObject_CallMethodOneArg(text.get(), names.format, failures));
    if (!message) return -1;
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    return -1;
}

int run_expansion(BrandelObject *self, std::uint64_t parallelism) {
    std::uint64_t target = 0;
    if (expansion_target(self, &target) < 0) return -1;
    if (parallelism == 0 && default_parallelism(&parallelism) < 0) return -1;

    PyObject *name = self->base.name;
    if (name == nullptr || !PyBytes_Check(name)) {
        PyErr_SetString(PyExc_ValueError, "operation on a brandel without a name!");
        return -1;
    }

    PoolRun run;
    run.results = Ref::steal(PyList_New(0));
    run.failures = Ref::steal(PyList_New(0));
    if (!run.results || !run.failures) return -1;
    const Ref target_object = Ref::steal(PyLong_FromUnsignedLongLong(target));
    if (!target_object) return -1;
    run.task_arguments = Ref::steal(PyTuple_Pack(2, name, target_object.get()));
    if (!run.task_arguments) return -1;

    if (start_pool(run, parallelism) < 0) return -1;
    if (submit_tasks(run, parallelism) < 0) {
        terminate_pool(run.pool.get());
        return -1;
    }
    // Left as it is when a non-Exception propagates from the wait.
    if (wait_for_tasks(run) < 0) return -1;
    if (close_pool(run) < 0) return -1;
    if (PyList_GET_SIZE(run.failures.get()) != 0) return raise_failures(run.failures.get());
    return 1;
}

// ---- the method ------------------------------------------------------------

const char *const expansion_parameters[] = {"parallelism"};
const binding::Signature expansion_signature{"expansion", expansion_parameters, 1, 0};

PyObject *expansion_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[1];
    ExpansionOptionalArguments optional{0, 0};
    if (binding::bind_arguments(expansion_signature, args, nargs, kwnames, values) < 0 ||
        (values[0] != nullptr && binding::to_size_t(values[0], &optional.parallelism) < 0)) {
        binding::add_traceback("zorvik.brandel.brandel.expansion", expansion_file, __LINE__);
        return nullptr;
    }
    optional.given = values[0] != nullptr ? 1 : 0;
    int result = brandel_expansion(reinterpret_cast<BrandelObject *>(self), 1, &optional);
    return result == -1 && PyErr_Occurred() ? nullptr : PyLong_FromLong(result);
}

// A Python override of `expansion` called with `parallelism`; its result as int.
int call_override(PyObject *override, std::uint64_t parallelism, int *result) {
    const Ref argument = Ref::steal(PyLong_FromUnsignedLongLong(parallelism));
    if (!argument) return -1;
    const Ref returned = Ref::steal(PyObject_CallOneArg(override, argument.get()));
    if (!returned) return -1;
    return binding::to_int(returned.get(), result);
}

}  // namespace

PyMethodDef dict_expansion_def = {
    "dict_expansion", ZORVIK_METHOD(dict_expansion_function), METH_FASTCALL | METH_KEYWORDS,
    "dict_expansion(name: bytes, target_length: int)\n\nexpand the named brandel with target length\n\n    "
    ":param name: the file name of the brandel\n    :param target_length: the target expansion length of the "
    "brandel\n    :return: 1 if successfully expanded\n    "};

PyMethodDef expansion_method_def = {
    "expansion", ZORVIK_METHOD(expansion_method), METH_FASTCALL | METH_KEYWORDS,
    "expansion(self, parallelism: int = 0) -> int\n\nexpand the brandel in parallel\n\n        "
    ":param parallelism: the degree of parallelism, if 0, it is the number of logical CPUs the calling thread is "
    "restricted to, same as os.cpu_count().\n        :return: 1 if successfully expanded\n        "};

int brandel_expansion(BrandelObject *self, int skip_dispatch, ExpansionOptionalArguments *optional) {
    std::uint64_t parallelism = optional != nullptr && optional->given > 0 ? optional->parallelism : 0;
    int result = -1;
    PyObject *object = reinterpret_cast<PyObject *>(self);
    const Ref override =
        skip_dispatch ? Ref() : binding::find_override(object, names.expansion, expansion_method_def);
    if (override) {
        if (call_override(override.get(), parallelism, &result) < 0) result = -1;
    } else if (!PyErr_Occurred()) {
        result = run_expansion(self, parallelism);
    }
    if (result == -1 && PyErr_Occurred()) {
        binding::add_traceback("zorvik.brandel.brandel.expansion", expansion_file, __LINE__);
    }
    return result;
}

}  // namespace zorvik::brandel
