// zorvik._shared: the module's start-up (its state, the types, the sentinel
// ABSENT, the view classes), the hooks every module that links the core
// installs, and the function unpickling calls.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/binding/gil.hpp"
#include "zorvik/binding/serializers.hpp"
#include "zorvik/binding/start_up.hpp"
#include "zorvik/fennick/key_hash.hpp"
#include "zorvik/shared/shared_dict.hpp"

namespace zorvik::shared {

SharedState state;

namespace {

// ---- ABSENT ---------------------------------------------------------------------------

PyObject *absent_repr(PyObject *) { return PyUnicode_FromString("ABSENT"); }

// Pickled by reference: unpickled, it is this module's ABSENT again.
PyObject *absent_reduce(PyObject *, PyObject *) { return PyUnicode_FromString("ABSENT"); }

PyMethodDef absent_methods[] = {
    {"__reduce__", absent_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject absent_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zorvik._shared._AbsentType",
    .tp_basicsize = sizeof(PyObject),
    .tp_repr = absent_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The type of ABSENT, which stands for \"no entry\" in compare_and_set and update_with.",
    .tp_methods = absent_methods,
};
#pragma GCC diagnostic pop

namespace {

// ---- the key operations' context ------------------------------------------------------

// The hash of a key: portable for the built-in hash, else the dictionary's
// function, as brandel hashes it.
Py_ssize_t shared_hash_key(fennick::FennickObject *hashing, PyObject *key) {
    // A brandel handed to a batch function is hashed here too; one whose
    // record was cleared has no function.
    if (hashing->hash_function == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the dictionary has no hash function");
        return -1;
    }
    return fennick::key_hash(hashing->hash_function, state.builtin_hash, key);
}

// Raises `error`, an OSError made for the failure (the subclass its errno
// picks); when it could not be made, that failure is the exception.
void raise_os_error(const Ref &error) {
    if (error) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
}

}  // namespace

void note_docs_section(const char *topic) noexcept {
    Ref exception = binding::take_exception();
    if (!exception) return;
    const Ref docs = Ref::steal(PyImport_ImportModule("zorvik._docs"));
    const Ref noted = docs ? Ref::steal(PyObject_CallMethod(docs.get(), "note", "Os", exception.get(), topic)) : Ref();
    // A note that cannot be added leaves the failure it was for as it was.
    if (!noted) PyErr_Clear();
    binding::restore_exception(std::move(exception));
}

namespace {

void report_space_exhausted(const SpaceExhausted &failure) {
    const char *message =
        failure.where() == SpaceExhausted::Where::segment
            ? "the SharedDict's file is full: all of its capacity is in use. Copy the entries into a new "
              "dictionary made with a larger capacity (SharedDict(new_path, capacity=...).update(d)); removing "
              "entries makes room for others"
            : "the file system that holds the SharedDict's file has no space left: free space there, or copy the "
              "entries into a new dictionary on another file system (SharedDict(new_path).update(d))";
    // The file system's own errno (ENOSPC mostly; EDQUOT for a full quota);
    // a full segment is ENOSPC as well: no space left in the file.
    const int code = failure.where() == SpaceExhausted::Where::segment ? ENOSPC : failure.error();
    raise_os_error(Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", code, message)));
    note_docs_section("full");
}

// A file that needs the offline repair: TimeoutError (ETIMEDOUT) for a lock
// that no process holds and no one can take over online, OSError EUCLEAN
// ("Structure needs cleaning") for a structure the core refuses to walk.
// Both are OSErrors, as the other failures that concern the file are; the
// text is the core's (it names the lock and the repair command) or says
// where to look.
void report_needs_repair(bool held, const char *what) {
    if (held) {
        raise_os_error(Ref::steal(PyObject_CallFunction(PyExc_TimeoutError, "is", ETIMEDOUT, what)));
        note_docs_section("lock");
        return;
    }
    const std::string message = std::string("the SharedDict's file is damaged (") + what +
                                "): python -m zorvik check FILE tells what is wrong, and python -m zorvik "
                                "repair FILE mends it once no process uses it";
    raise_os_error(Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", EUCLEAN, message.c_str())));
    note_docs_section("lock");
}

// ---- module functions -----------------------------------------------------------------

// cls(path, create=False, ...) with the options a pickle carries; with
// `delete_on_close` the object takes a deletion over.
Ref open_again(PyObject *cls, PyObject *path, PyObject *serializer, PyObject *hash_function, PyObject *trust_writers,
               bool delete_on_close) {
    const Ref positional = Ref::steal(PyTuple_Pack(1, path));
    if (!positional) return Ref();
    const Ref keywords = Ref::steal(Py_BuildValue("{s:O,s:O,s:O,s:O}", "create", Py_False, "serializer", serializer,
                                                  "hash_function", hash_function, "trust_writers", trust_writers));
    if (!keywords) return Ref();
    if (delete_on_close && PyDict_SetItemString(keywords.get(), "delete_on_close", Py_True) < 0) return Ref();
    return Ref::steal(PyObject_Call(cls, positional.get(), keywords.get()));
}

// _reopen(cls, path, serializer, hash_function[, trust_writers, handover]):
// what an unpickled SharedDict is, the existing file opened again. A pickle
// of an object that deletes its file names a hand-over link (shared_dict.cpp):
// the file is opened through it, the object takes the deletion over and the
// link goes. A link taken already (the same pickle loaded twice) leaves the
// path, opened as such, with the deletion taken over all the same.
PyObject *reopen(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 6) {
        PyErr_SetString(PyExc_TypeError,
                        "_reopen takes the class, path, serializer, hash function, trust_writers and hand-over link");
        return nullptr;
    }
    PyObject *trust_writers = nargs == 6 ? args[4] : Py_False;
    PyObject *handover = nargs == 6 ? args[5] : Py_None;
    if (handover == Py_None) {
        return open_again(args[0], args[1], args[2], args[3], trust_writers, false).release();
    }
    Ref opened = open_again(args[0], handover, args[2], args[3], trust_writers, true);
    if (!opened) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return nullptr;
        PyErr_Clear();
        return open_again(args[0], args[1], args[2], args[3], trust_writers, true).release();
    }
    if (!PyObject_TypeCheck(opened.get(), &shared_dict_type)) {
        PyErr_SetString(PyExc_TypeError, "_reopen's class makes no SharedDict");
        return nullptr;
    }
    if (take_hand_over(opened.get(), args[1], handover) < 0) return nullptr;
    return opened.release();
}

PyObject *pickle_key(PyObject *, PyObject *key) { return pickle_key_bytes(key).release(); }

PyMethodDef module_functions[] = {
    {"_reopen", ZORVIK_METHOD(reopen), METH_FASTCALL,
     "_reopen(cls, path, serializer, hash_function[, trust_writers, handover]) -> SharedDict\n\nOpens the "
     "dictionary a pickle named."},
    {"pickle_key", pickle_key, METH_O,
     "pickle_key(key, /) -> bytes\n\nThe bytes a SharedDict stores key by under pickle: the same for equal keys "
     "made of None, bool, int, float, str, bytes, tuples and frozensets, whatever objects they share and "
     "whatever order their frozensets hold (see Keys, serializers and hashing); pickle.loads reads them back."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- start-up -------------------------------------------------------------------------

int load_state(PyObject *module) {
    // The state's references are kept for the life of the process.
    state.builtin_hash = Py_XNewRef(PyDict_GetItemString(PyEval_GetBuiltins(), "hash"));
    if (state.builtin_hash == nullptr) {
        PyErr_SetString(PyExc_ImportError, "no built-in hash");
        return -1;
    }
    state.mapping_abc = binding::import_attribute("collections.abc", "Mapping").release();
    state.abspath = state.mapping_abc == nullptr ? nullptr : binding::import_attribute("os.path", "abspath").release();
    state.reopen = state.abspath == nullptr ? nullptr : PyObject_GetAttrString(module, "_reopen");
    state.serializers = state.reopen == nullptr ? nullptr : binding::serializer_mapping().release();
    state.mapping_keys = state.serializers == nullptr ? nullptr : PyUnicode_InternFromString("keys");
    state.view_mapping = state.mapping_keys == nullptr ? nullptr : PyUnicode_InternFromString("_mapping");
    if (state.view_mapping == nullptr) return -1;

    binding::operation_context.dumps = PyUnicode_InternFromString("dumps");
    binding::operation_context.loads = PyUnicode_InternFromString("loads");
    if (binding::operation_context.dumps == nullptr || binding::operation_context.loads == nullptr) return -1;
    binding::operation_context.builtin_hash = state.builtin_hash;
    binding::operation_context.hash_key = shared_hash_key;
    // The traceback entries' globals, for the life of the process (strong: a
    // later import may make another module object and drop this one).
    binding::operation_context.module = Py_NewRef(module);
    binding::operation_context.space_exhausted = report_space_exhausted;
    binding::operation_context.needs_repair = report_needs_repair;
    return 0;
}

int make_types() {
    if (PyType_Ready(&absent_type) < 0 || PyType_Ready(&iterator_type) < 0 || ready_shared_dict_type() < 0) {
        return -1;
    }
    state.absent = PyType_GenericAlloc(&absent_type, 0);
    if (state.absent == nullptr || make_view_classes() < 0) return -1;
    // isinstance(d, MutableMapping) and the ABC's registry: the class offers
    // every method of the ABC natively.
    const Ref mutable_mapping = binding::import_attribute("collections.abc", "MutableMapping");
    if (!mutable_mapping) return -1;
    const Ref registered =
        Ref::steal(PyObject_CallMethod(mutable_mapping.get(), "register", "O", &shared_dict_type));
    return registered ? 0 : -1;
}

int add_names(PyObject *module) {
    PyObject *type = reinterpret_cast<PyObject *>(&shared_dict_type);
    const bool added = PyModule_AddObjectRef(module, "SharedDict", type) == 0 &&
                       PyModule_AddObjectRef(module, "ABSENT", state.absent) == 0 &&
                       PyModule_AddObjectRef(module, "SharedKeysView", state.keys_view) == 0 &&
                       PyModule_AddObjectRef(module, "SharedValuesView", state.values_view) == 0 &&
                       PyModule_AddObjectRef(module, "SharedItemsView", state.items_view) == 0 &&
                       PyModule_AddObjectRef(module, "SERIALIZERS", state.serializers) == 0 &&
                       PyModule_AddFunctions(module, batch_functions) == 0;
    return added ? 0 : -1;
}

// The interpreter the module was first loaded into: the types are static and
// the state process-wide, so no other interpreter may use them.
std::int64_t loading_interpreter = -1;
bool started = false;

int refuse_other_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    if (loading_interpreter == -1) loading_interpreter = current;
    if (current == loading_interpreter) return 0;
    PyErr_SetString(PyExc_ImportError,
                    "zorvik._shared can only be loaded into one interpreter per process, and another one has it");
    return -1;
}

// Runs for each module object the import system makes (a later import, once
// sys.modules has lost the module, makes another one): the process's state is
// made the first time only, and every module object offers the same objects.
int shared_exec(PyObject *module) {
    if (refuse_other_interpreter() < 0) return -1;
    if (!started) {
        if (load_state(module) < 0 || make_types() < 0 || binding::register_exit_handler() < 0 ||
            register_temporaries_handler() < 0) {
            return -1;
        }
        // The core's waits release the interpreter lock; its memory for the
        // host comes from the interpreter's allocator.
        binding::install_host_hooks();
        started = true;
    }
    return add_names(module);
}

PyModuleDef_Slot shared_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(shared_exec)},
    {0, nullptr},
};

PyModuleDef shared_module = {
    PyModuleDef_HEAD_INIT,
    "zorvik._shared",
    "SharedDict, a dictionary that threads and processes share through a file, and the sentinel ABSENT.",
    0,  // the state is process-wide
    module_functions,
    shared_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zorvik::shared

// Multi-phase initialisation, so that the exec step runs, and refuses, in
// every interpreter that imports the module.
PyMODINIT_FUNC PyInit__shared() { return PyModuleDef_Init(&zorvik::shared::shared_module); }
