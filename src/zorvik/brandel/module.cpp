// zorvik.brandel: module definition, the create and exec steps, the export
// table __pyx_capi__ and the start-up statements.
//
// The module keeps its state in process-wide variables (module.hpp) and a
// statically defined class, so it can live in one interpreter per process
// only: the create step records the first interpreter and refuses any other.
#include "zorvik/brandel/module.hpp"

#include "zorvik/binding/errors.hpp"
#include "zorvik/binding/gil.hpp"
#include "zorvik/binding/operations.hpp"
#include "zorvik/binding/serializers.hpp"
#include "zorvik/binding/start_up.hpp"
#include "zorvik/brandel/brandel_operations.hpp"
#include "zorvik/brandel/brandel_type.hpp"
#include "zorvik/brandel/expansion.hpp"
#include "zorvik/brandel/siblings.hpp"
#include "zorvik/capi/ref.hpp"

namespace zorvik::brandel {

using capi::Ref;
using capi::store_field;
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

Ref builtin(const char *name) {
    Ref found = binding::import_attribute("builtins", name);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
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
    const Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return skip_none && value.get() == Py_None ? 0 : PyObject_SetAttrString(module, to, value.get());
}

PyObject *brandel_create(PyObject *spec, PyModuleDef *) {
    if (refuse_other_interpreter() < 0) return nullptr;
    if (module_state.module != nullptr) return Py_NewRef(module_state.module);
    const Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
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
    const Ref key = Ref::steal(PyUnicode_FromString(full_name));
    if (!key) return -1;
    if (PyDict_GetItemWithError(modules, key.get()) != nullptr) return 0;
    return PyErr_Occurred() ? -1 : PyDict_SetItem(modules, key.get(), module);
}

int add_export(PyObject *table, const char *name, void *function, const char *signature) {
    const Ref capsule = Ref::steal(PyCapsule_New(function, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table, name, capsule.get());
}

// The module's __pyx_capi__, made when it has none yet.
Ref export_table(PyObject *module) {
    Ref table = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (table || !PyErr_ExceptionMatches(PyExc_AttributeError)) return table;
    PyErr_Clear();
    table = Ref::steal(PyDict_New());
    if (!table || PyModule_AddObjectRef(module, "__pyx_capi__", table.get()) < 0) return Ref();
    return table;
}

int build_export_table(PyObject *module) {
    const Ref table = export_table(module);
    if (!table) return -1;
    if (!PyDict_Check(table.get())) {
        PyErr_SetString(PyExc_TypeError, "__pyx_capi__ is not a dict");
        return -1;
    }
    if (add_export(table.get(), "dict_get", reinterpret_cast<void *>(&dict_get),
                   "PyObject *(struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, int "
                   "__pyx_skip_dispatch)") < 0 ||
        add_export(table.get(), "dict_insert", reinterpret_cast<void *>(&dict_insert),
                   "int (struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, PyObject *, int "
                   "__pyx_skip_dispatch)") < 0 ||
        add_export(table.get(), "dict_remove", reinterpret_cast<void *>(&dict_remove),
                   "int (struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, int "
                   "__pyx_skip_dispatch)") < 0) {
        return -1;
    }
    return 0;
}

int bind_class(PyObject *module) {
    if (import_base_type() < 0 || ready_brandel_type() < 0) return -1;
    return PyModule_AddObjectRef(module, "brandel", reinterpret_cast<PyObject *>(&brandel_type));
}

// ---- start-up statements ---------------------------------------------------

Ref import_module(const char *name) {
    const Ref module_name = Ref::steal(PyUnicode_FromString(name));
    if (!module_name) return Ref();
    return Ref::steal(PyImport_Import(module_name.get()));
}

// import <name>, binding the top-level package under its own name.
int import_and_bind(PyObject *module, const char *name) {
    const Ref imported = import_module(name);
    if (!imported) return -1;
    return PyModule_AddObjectRef(module, name, imported.get());
}

// The loaded submodule <package>.<attribute>, for a from-import that found no
// attribute of that name; ImportError when there is none.
Ref loaded_submodule(const char *package, const char *attribute) {
    const Ref full = Ref::steal(PyUnicode_FromFormat("%s.%s", package, attribute));
    if (!full) return Ref();
    Ref value = Ref::steal(PyImport_GetModule(full.get()));
    if (!value && !PyErr_Occurred()) {
        const Ref short_name = Ref::steal(PyUnicode_FromString(attribute));
        if (short_name) PyErr_Format(PyExc_ImportError, "cannot import name %S", short_name.get());
    }
    return value;
}

// from <package> import <attribute>: the attribute, or failing that the
// loaded submodule <package>.<attribute>.
int from_import(PyObject *module, const char *package, const char *attribute) {
    const Ref imported = import_module(package);
    if (!imported) return -1;
    Ref value = Ref::steal(PyObject_GetAttrString(imported.get(), attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        value = loaded_submodule(package, attribute);
        if (!value) return -1;
    }
    return PyModule_AddObjectRef(module, attribute, value.get());
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

// import <name> for every serializer of the table: the ones not installed
// stay unbound.
int import_serializers(PyObject *module) {
    for (const binding::Serializer &entry : binding::serializers) {
        bool imported = false;
        if (guarded(import_and_bind(module, entry.name), &imported) < 0) return -1;
        // Makes msgspec's codec reachable as msgspec.json; one guard with msgspec's own.
        if (imported && entry.kind == binding::SerializerKind::msgspec &&
            guarded(import_module("msgspec.json") ? 0 : -1) < 0) {
            return -1;
        }
    }
    return 0;
}

int add_function(PyObject *module, PyMethodDef *definition) {
    const Ref module_name = Ref::steal(PyUnicode_FromString(full_name));
    if (!module_name) return -1;
    const Ref function = Ref::steal(PyCFunction_NewEx(definition, module, module_name.get()));
    if (!function) return -1;
    return PyModule_AddObjectRef(module, definition->ml_name, function.get());
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
    Ref hash = builtin("hash");
    if (!hash) return -1;
    store_field(module_state.builtin_hash, std::move(hash));
    // The key operations' path reads these; they are set once, here, and
    // live as long as the process.
    operation_context.dumps = names.dumps;
    operation_context.loads = names.loads;
    operation_context.builtin_hash = module_state.builtin_hash;
    operation_context.hash_key = module_state.hash_key;
    return 0;
}

int exec_steps(PyObject *module) {
    const Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyModule_AddObjectRef(module, "__builtins__", builtins.get()) < 0 || check_version() < 0 ||
        create_names() < 0 || register_in_sys_modules(module) < 0) {
        return -1;
    }
    Ref super = builtin("super");
    if (!super) return -1;
    store_field(module_state.builtin_super, std::move(super));
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

Ref module_global(PyObject *name) {
    PyObject *namespace_dict = PyModule_GetDict(module_state.module);
    PyObject *in_module = PyDict_GetItemWithError(namespace_dict, name);
    if (in_module != nullptr) return Ref::borrow(in_module);
    if (PyErr_Occurred()) return Ref();
    const Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return Ref();
    Ref found = Ref::steal(PyObject_GetAttr(builtins.get(), name));
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found;
}

}  // namespace zorvik::brandel

PyMODINIT_FUNC PyInit_brandel() { return PyModuleDef_Init(&zorvik::brandel::brandel_module); }
