// zorvik.brandel: module definition, the create and exec steps, the export
// table __pyx_capi__ and the start-up statements.
//
// The module keeps its state in process-wide variables (module.hpp) and a
// statically defined class, so it can live in one interpreter per process
// only: the create step records the first interpreter and refuses any other.
#include "zorvik/brandel/module.hpp"

#include "zorvik/brandel/brandel_type.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/brandel/expansion.hpp"
#include "zorvik/binding/gil.hpp"
#include "zorvik/brandel/brandel_operations.hpp"
#include "zorvik/binding/operations.hpp"
#include "zorvik/brandel/siblings.hpp"

namespace zorvik::brandel {

using binding::add_traceback;
using binding::install_host_hooks;
using binding::operation_context;
using binding::register_exit_handler;


ModuleState module_state;
Names names;

namespace {

constexpr const char module_file[] = "zorvik/brandel/module.cpp";
constexpr const char full_name[] = "zorvik.brandel";

// ---- names and globals -----------------------------------------------------

int intern(PyObject **slot, const char *text) {
    if (*slot == nullptr) *slot = PyUnicode_InternFromString(text);
    return *slot == nullptr ? -1 : 0;
}

PyObject *builtin(const char *name) {
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return nullptr;
    PyObject *found = PyObject_GetAttrString(builtins, name);
    Py_DECREF(builtins);
    if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return found;
}

// ---- create step -----------------------------------------------------------

int refuse_other_interpreter() {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    if (module_state.loading_interpreter == -1) {
        module_state.loading_interpreter = current;
    } else if (current != module_state.loading_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return -1;
    }
    return 0;
}

// spec.<from> as module.<to>; a missing attribute is skipped, and so is None
// when `skip_none`.
int copy_spec_attribute(PyObject *spec, PyObject *module, const char *from, const char *to, bool skip_none) {
    PyObject *value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int result = skip_none && value == Py_None ? 0 : PyObject_SetAttrString(module, to, value);
    Py_DECREF(value);
    return result;
}

PyObject *brandel_create(PyObject *spec, PyModuleDef *) {
    if (refuse_other_interpreter() < 0) return nullptr;
    if (module_state.module != nullptr) return Py_NewRef(module_state.module);
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    if (copy_spec_attribute(spec, module, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module, "submodule_search_locations", "__path__", true) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// ---- exec step -------------------------------------------------------------

int check_version() {
    const int built_major = PY_MAJOR_VERSION;
    const int built_minor = PY_MINOR_VERSION;
    const int running_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int running_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (built_major == running_major && built_minor == running_minor) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            built_major, built_minor, full_name, "does not match", running_major, running_minor);
}

int register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *key = PyUnicode_FromString(full_name);
    if (key == nullptr) return -1;
    int result = 0;
    if (PyDict_GetItemWithError(modules, key) == nullptr) {
        result = PyErr_Occurred() ? -1 : PyDict_SetItem(modules, key, module);
    }
    Py_DECREF(key);
    return result;
}

int add_export(PyObject *table, const char *name, void *function, const char *signature) {
    PyObject *capsule = PyCapsule_New(function, signature, nullptr);
    if (capsule == nullptr) return -1;
    int result = PyDict_SetItemString(table, name, capsule);
    Py_DECREF(capsule);
    return result;
}

int build_export_table(PyObject *module) {
    PyObject *table = PyObject_GetAttrString(module, "__pyx_capi__");
    if (table == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        table = PyDict_New();
        if (table == nullptr || PyModule_AddObjectRef(module, "__pyx_capi__", table) < 0) {
            Py_XDECREF(table);
            return -1;
        }
    }
    int result = -1;
    if (!PyDict_Check(table)) {
        PyErr_SetString(PyExc_TypeError, "__pyx_capi__ is not a dict");
    } else if (add_export(table, "dict_get", reinterpret_cast<void *>(&dict_get),
                          "PyObject *(struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, int "
                          "__pyx_skip_dispatch)") == 0 &&
               add_export(table, "dict_insert", reinterpret_cast<void *>(&dict_insert),
                          "int (struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, PyObject *, int "
                          "__pyx_skip_dispatch)") == 0 &&
               add_export(table, "dict_remove", reinterpret_cast<void *>(&dict_remove),
                          "int (struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, int "
                          "__pyx_skip_dispatch)") == 0) {
        result = 0;
    }
    Py_DECREF(table);
    return result;
}

int bind_class(PyObject *module) {
    if (import_base_type() < 0 || ready_brandel_type() < 0) return -1;
    return PyModule_AddObjectRef(module, "brandel", reinterpret_cast<PyObject *>(&brandel_type));
}

// ---- start-up statements ---------------------------------------------------

PyObject *import_module(const char *name) {
    PyObject *module_name = PyUnicode_FromString(name);
    if (module_name == nullptr) return nullptr;
    PyObject *module = PyImport_Import(module_name);
    Py_DECREF(module_name);
    return module;
}

// import <name>, binding the top-level package under its own name.
int import_and_bind(PyObject *module, const char *name) {
    PyObject *imported = import_module(name);
    if (imported == nullptr) return -1;
    int result = PyModule_AddObjectRef(module, name, imported);
    Py_DECREF(imported);
    return result;
}

// from <package> import <attribute>: the attribute, or failing that the
// loaded submodule <package>.<attribute>.
int from_import(PyObject *module, const char *package, const char *attribute) {
    PyObject *imported = import_module(package);
    if (imported == nullptr) return -1;
    PyObject *value = PyObject_GetAttrString(imported, attribute);
    Py_DECREF(imported);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        PyObject *full = PyUnicode_FromFormat("%s.%s", package, attribute);
        if (full == nullptr) return -1;
        value = PyImport_GetModule(full);
        if (value == nullptr && !PyErr_Occurred()) {
            PyObject *short_name = PyUnicode_FromString(attribute);
            if (short_name != nullptr) PyErr_Format(PyExc_ImportError, "cannot import name %S", short_name);
            Py_XDECREF(short_name);
        }
        Py_DECREF(full);
        if (value == nullptr) return -1;
    }
    int result = PyModule_AddObjectRef(module, attribute, value);
    Py_DECREF(value);
    return result;
}

// An ImportError (or a subclass) only leaves the name unbound. 0, or -1 for
// any other failure. *imported tells whether the import succeeded.
int guarded(int status, bool *imported = nullptr) {
    if (imported != nullptr) *imported = status == 0;
    if (status == 0) return 0;
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
    PyErr_Clear();
    return 0;
}

int import_serializers(PyObject *module) {
    bool have_msgspec = false;
    if (guarded(import_and_bind(module, "pickle")) < 0 || guarded(import_and_bind(module, "json")) < 0 ||
        guarded(import_and_bind(module, "orjson")) < 0 || guarded(import_and_bind(module, "msgpack")) < 0 ||
        guarded(import_and_bind(module, "msgspec"), &have_msgspec) < 0) {
        return -1;
    }
    if (!have_msgspec) return 0;
    // Makes the codec reachable as msgspec.json; one guard with msgspec's own.
    PyObject *codec = import_module("msgspec.json");
    Py_XDECREF(codec);
    return guarded(codec == nullptr ? -1 : 0);
}

int add_function(PyObject *module, PyMethodDef *definition) {
    PyObject *module_name = PyUnicode_FromString(full_name);
    if (module_name == nullptr) return -1;
    PyObject *function = PyCFunction_NewEx(definition, module, module_name);
    Py_DECREF(module_name);
    if (function == nullptr) return -1;
    int result = PyModule_AddObjectRef(module, definition->ml_name, function);
    Py_DECREF(function);
    return result;
}

int run_start_up_statements(PyObject *module) {
    if (import_and_bind(module, "logging") < 0 || from_import(module, "pathlib", "Path") < 0 ||
        from_import(module, "logging.handlers", "RotatingFileHandler") < 0 ||
        import_and_bind(module, "multiprocessing") < 0 || import_and_bind(module, "os") < 0 ||
        from_import(module, "typing", "Callable") < 0 || import_serializers(module) < 0) {
        return -1;
    }
    if (add_function(module, &dict_insert_def) < 0 || add_function(module, &dict_get_def) < 0 ||
        add_function(module, &dict_remove_def) < 0 || add_function(module, &dict_expansion_def) < 0) {
        return -1;
    }
    PyObject *hash = builtin("hash");
    if (hash == nullptr) return -1;
    Py_XSETREF(module_state.builtin_hash, hash);
    // The key operations' path reads these; they are set once, here, and
    // live as long as the process.
    operation_context.dumps = names.dumps;
    operation_context.loads = names.loads;
    operation_context.builtin_hash = module_state.builtin_hash;
    operation_context.hash_key = module_state.hash_key;
    return 0;
}

int exec_steps(PyObject *module) {
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return -1;
    int bound = PyModule_AddObjectRef(module, "__builtins__", builtins);
    Py_DECREF(builtins);
    if (bound < 0 || check_version() < 0 || create_names() < 0 || register_in_sys_modules(module) < 0) return -1;
    PyObject *super = builtin("super");
    if (super == nullptr) return -1;
    Py_XSETREF(module_state.builtin_super, super);
    if (build_export_table(module) < 0 || bind_class(module) < 0 || import_ruddle_types() < 0 ||
        import_ruddle_variables() < 0 || import_native_functions() < 0) {
        return -1;
    }
    install_host_hooks();
    if (register_exit_handler() < 0) return -1;
    return run_start_up_statements(module);
}

int brandel_exec(PyObject *module) {
    if (module_state.module != nullptr) {
        if (module_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'brandel' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_state.module = Py_NewRef(module);
    operation_context.module = module;  // borrowed: module_state holds it
    if (exec_steps(module) == 0) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init zorvik.brandel");
    add_traceback("init zorvik.brandel", module_file, __LINE__);
    operation_context.module = nullptr;
    Py_CLEAR(module_state.module);
    return -1;
}

PyModuleDef_Slot brandel_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(brandel_create)},
    {Py_mod_exec, reinterpret_cast<void *>(brandel_exec)},
    {0, nullptr},
};

PyModuleDef brandel_module = {
    PyModuleDef_HEAD_INIT,
    "brandel",
    nullptr,  // no docstring
    0,        // the state is process-wide
    nullptr,  // every function is created by the exec step
    brandel_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

int create_names() {
    struct Entry {
        PyObject **slot;
        const char *text;
    };
    const Entry entries[] = {
        {&names.dumps, "dumps"},
        {&names.loads, "loads"},
        {&names.encode, "encode"},
        {&names.decode, "decode"},
        {&names.json, "json"},
        {&names.msgspec, "msgspec"},
        {&names.pickle, "pickle"},
        {&names.orjson, "orjson"},
        {&names.msgpack, "msgpack"},
        {&names.os, "os"},
        {&names.cpu_count, "cpu_count"},
        {&names.multiprocessing, "multiprocessing"},
        {&names.Pool, "Pool"},
        {&names.apply_async, "apply_async"},
        {&names.get, "get"},
        {&names.close, "close"},
        {&names.join, "join"},
        {&names.terminate, "terminate"},
        {&names.dict_expansion, "dict_expansion"},
        {&names.format, "format"},
        {&names.init, "__init__"},
        {&names.insert, "insert"},
        {&names.remove, "remove"},
        {&names.expansion, "expansion"},
    };
    for (const Entry &entry : entries) {
        if (intern(entry.slot, entry.text) < 0) return -1;
    }
    return 0;
}

PyObject *module_global(PyObject *name) {
    PyObject *namespace_dict = PyModule_GetDict(module_state.module);
    PyObject *found = PyDict_GetItemWithError(namespace_dict, name);
    if (found != nullptr) return Py_NewRef(found);
    if (PyErr_Occurred()) return nullptr;
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return nullptr;
    found = PyObject_GetAttr(builtins, name);
    Py_DECREF(builtins);
    if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found;
}

}  // namespace zorvik::brandel

PyMODINIT_FUNC PyInit_brandel() { return PyModuleDef_Init(&zorvik::brandel::brandel_module); }
