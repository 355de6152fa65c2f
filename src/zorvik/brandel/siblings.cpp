#include "zorvik/brandel/siblings.hpp"

#include "zorvik/brandel/module.hpp"
#include "zorvik/binding/start_up.hpp"

namespace zorvik::brandel {

using binding::import_attribute;

namespace {

constexpr const char fennick_module[] = "zorvik.fennick";
constexpr const char ruddle_module[] = "zorvik.ruddle";

// ---- types -----------------------------------------------------------------

// module.name as a type whose instances are `expected_size` bytes. A smaller
// size fails; a larger one only warns, as an unused type may grow harmlessly.
PyTypeObject *import_type(const char *module_name, const char *class_name, Py_ssize_t expected_size) {
    PyObject *object = import_attribute(module_name, class_name);
    if (object == nullptr) return nullptr;
    if (!PyType_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
        Py_DECREF(object);
        return nullptr;
    }
    Py_ssize_t size = reinterpret_cast<PyTypeObject *>(object)->tp_basicsize;
    if (size != expected_size) {
        const char *format =
            "%.200s.%.200s size changed, may indicate binary incompatibility. "
            "Expected %zd from C header, got %zd from PyObject";
        if (size < expected_size) {
            PyErr_Format(PyExc_ValueError, format, module_name, class_name, expected_size, size);
            Py_DECREF(object);
            return nullptr;
        }
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 0, format, module_name, class_name, expected_size, size) < 0) {
            Py_DECREF(object);
            return nullptr;
        }
    }
    return reinterpret_cast<PyTypeObject *>(object);
}

// ---- capsules --------------------------------------------------------------

// The address in module.__pyx_capi__[name], whose capsule name must be
// `signature`; `kind` is "function" or "variable" for the messages.
void *import_capsule(const char *module_name, const char *kind, const char *name, const char *signature) {
    PyObject *table = import_attribute(module_name, "__pyx_capi__");
    if (table == nullptr) return nullptr;
    PyObject *capsule = PyDict_Check(table) ? PyDict_GetItemString(table, name) : nullptr;
    void *pointer = nullptr;
    if (capsule == nullptr) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name, kind, name);
    } else if (!PyCapsule_IsValid(capsule, signature)) {
        const char *found = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : "(not a capsule)";
        PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     kind, module_name, name, signature, found != nullptr ? found : "(no name)");
    } else {
        pointer = PyCapsule_GetPointer(capsule, signature);
    }
    Py_DECREF(table);
    return pointer;
}

int import_variable(const char *name, const char *signature, void **out) {
    *out = import_capsule(ruddle_module, "variable", name, signature);
    return *out == nullptr ? -1 : 0;
}

}  // namespace

int import_base_type() {
    PyTypeObject *type = import_type(fennick_module, "fennick", sizeof(fennick::FennickObject));
    if (type == nullptr) return -1;
    // brandel's record embeds fennick's and calls its slots on that record, so
    // only the native type itself, with exactly the record compiled here, can
    // be its base; a Python subclass or another type of that size cannot.
    const unsigned long needed = Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    if (type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(fennick::FennickObject)) ||
        (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 || (type->tp_flags & needed) != needed ||
        type->tp_new == nullptr || type->tp_init == nullptr || type->tp_traverse == nullptr ||
        type->tp_clear == nullptr || type->tp_dealloc == nullptr) {
        PyErr_Format(PyExc_TypeError, "%.200s.fennick is not the native base type this module was built for",
                     fennick_module);
        Py_DECREF(type);
        return -1;
    }
    Py_XSETREF(module_state.fennick_type, type);
    return 0;
}

int import_ruddle_types() {
    PyTypeObject *pellock = import_type(ruddle_module, "pellock", sizeof(ruddle::PellockObject));
    if (pellock == nullptr) return -1;
    PyObject *vtable = PyObject_GetAttrString(reinterpret_cast<PyObject *>(pellock), "__pyx_vtable__");
    void *pointer = nullptr;
    if (vtable != nullptr) {
        pointer = PyCapsule_GetPointer(vtable, nullptr);
        Py_DECREF(vtable);
        if (pointer == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        }
    }
    if (pointer == nullptr) {
        Py_DECREF(pellock);
        return -1;
    }
    PyTypeObject *gridlet = import_type(ruddle_module, "gridlet", sizeof(ruddle::GridletObject));
    if (gridlet == nullptr) {
        Py_DECREF(pellock);
        return -1;
    }
    Py_XSETREF(module_state.pellock_type, pellock);
    Py_XSETREF(module_state.gridlet_type, gridlet);
    module_state.pellock_vtable = pointer;
    return 0;
}

int import_ruddle_variables() {
    void *unsigned_type = nullptr;
    void *mmap_flags = nullptr;
    void *mmap_privilege = nullptr;
    void *platform = nullptr;
    if (import_variable("unsigned_type", ruddle::object_variable_signature, &unsigned_type) < 0 ||
        import_variable("mmap_flags", ruddle::int_variable_signature, &mmap_flags) < 0 ||
        import_variable("mmap_privilege", ruddle::int_variable_signature, &mmap_privilege) < 0 ||
        import_variable("platform", ruddle::int_variable_signature, &platform) < 0) {
        return -1;
    }
    module_state.unsigned_type = static_cast<PyObject **>(unsigned_type);
    module_state.mmap_flags = static_cast<int *>(mmap_flags);
    module_state.mmap_privilege = static_cast<int *>(mmap_privilege);
    module_state.platform = static_cast<int *>(platform);
    return 0;
}

int import_native_functions() {
    void *hash_key = import_capsule(fennick_module, "function", "hash_key", fennick::hash_key_signature);
    if (hash_key == nullptr) return -1;
    void *mystring = import_capsule(ruddle_module, "function", "mystring_from_pointer",
                                    ruddle::mystring_from_pointer_signature);
    if (mystring == nullptr) return -1;
    module_state.hash_key = reinterpret_cast<fennick::HashKeyFunction>(hash_key);
    module_state.mystring_from_pointer = reinterpret_cast<ruddle::MystringFromPointer>(mystring);
    return 0;
}

}  // namespace zorvik::brandel
