#include "zorvik/brandel/siblings.hpp"

#include <utility>

#include "zorvik/binding/start_up.hpp"
#include "zorvik/brandel/module.hpp"
#include "zorvik/capi/ref.hpp"

namespace zorvik::brandel {

using binding::import_attribute;
using capi::Ref;
using capi::store_field;

namespace {

constexpr const char fennick_module[] = "zorvik.fennick";
constexpr const char ruddle_module[] = "zorvik.ruddle";

// ---- types -----------------------------------------------------------------

PyTypeObject *as_type(const Ref &object) { return reinterpret_cast<PyTypeObject *>(object.get()); }

// module.name as a type whose instances are `expected_size` bytes. A smaller
// size fails; a larger one only warns, as an unused type may grow harmlessly.
Ref import_type(const char *module_name, const char *class_name, Py_ssize_t expected_size) {
    Ref object = import_attribute(module_name, class_name);
    if (!object) return object;
    if (!PyType_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
        return Ref();
    }
    Py_ssize_t size = as_type(object)->tp_basicsize;
    if (size != expected_size) {
        const char *format =
            "%.200s.%.200s size changed, may indicate binary incompatibility. "
            "Expected %zd from C header, got %zd from PyObject";
        if (size < expected_size) {
            PyErr_Format(PyExc_ValueError, format, module_name, class_name, expected_size, size);
            return Ref();
        }
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 0, format, module_name, class_name, expected_size, size) < 0) {
            return Ref();
        }
    }
    return object;
}

// ---- capsules --------------------------------------------------------------

// The address in module.__pyx_capi__[name], whose capsule name must be
// `signature`; `kind` is "function" or "variable" for the messages.
void *import_capsule(const char *module_name, const char *kind, const char *name, const char *signature) {
    const Ref table = import_attribute(module_name, "__pyx_capi__");
    if (!table) return nullptr;
    PyObject *capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
    if (capsule == nullptr) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name, kind, name);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char *found = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : "(not a capsule)";
        PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     kind, module_name, name, signature, found != nullptr ? found : "(no name)");
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

int import_variable(const char *name, const char *signature, void **out) {
    *out = import_capsule(ruddle_module, "variable", name, signature);
    return *out == nullptr ? -1 : 0;
}

}  // namespace

int import_base_type() {
    Ref imported = import_type(fennick_module, "fennick", sizeof(fennick::FennickObject));
    if (!imported) return -1;
    PyTypeObject *type = as_type(imported);
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
        return -1;
    }
    store_field(module_state.fennick_type, std::move(imported));
    return 0;
}

int import_ruddle_types() {
    Ref pellock = import_type(ruddle_module, "pellock", sizeof(ruddle::PellockObject));
    if (!pellock) return -1;
    const Ref vtable = Ref::steal(PyObject_GetAttrString(pellock.get(), "__pyx_vtable__"));
    if (!vtable) return -1;
    void *pointer = PyCapsule_GetPointer(vtable.get(), nullptr);
    if (pointer == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        return -1;
    }
    Ref gridlet = import_type(ruddle_module, "gridlet", sizeof(ruddle::GridletObject));
    if (!gridlet) return -1;
    store_field(module_state.pellock_type, std::move(pellock));
    store_field(module_state.gridlet_type, std::move(gridlet));
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
