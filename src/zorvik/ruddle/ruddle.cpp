// zorvik.ruddle: the types `pellock` and `gridlet`, the native function
// `mystring_from_pointer` and four native variables, published in `__pyx_capi__`.
#include "zorvik/ruddle/ruddle.hpp"

#include <sys/mman.h>

#include "zorvik/capi/ref.hpp"

namespace zorvik::ruddle {
namespace {

using capi::Ref;

// ---- native variables ------------------------------------------------------

// The Python type that holds unsigned 64-bit values.
PyObject *unsigned_type = reinterpret_cast<PyObject *>(&PyLong_Type);
// How a shared segment is mapped on this platform.
int mmap_flags = MAP_SHARED;
int mmap_privilege = PROT_READ | PROT_WRITE;
// 0: Windows, 1: Linux, 2: another POSIX system.
#if defined(__linux__)
int platform = 1;
#else
int platform = 2;
#endif

// ---- native function -------------------------------------------------------

// A bytes object holding the NUL-terminated string at `pointer`; None for null.
PyObject *mystring_from_pointer(void *pointer) {
    if (pointer == nullptr) Py_RETURN_NONE;
    return PyBytes_FromString(static_cast<const char *>(pointer));
}

// ---- types -----------------------------------------------------------------

PellockVtable pellock_vtable = {0};

PyObject *pellock_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *object = type->tp_alloc(type, 0);
    if (object != nullptr) reinterpret_cast<PellockObject *>(object)->vtab = &pellock_vtable;
    return object;
}

// The slots not named here stay zero: the interpreter fills them in.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject pellock_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zorvik.ruddle.pellock",
    .tp_basicsize = sizeof(PellockObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = pellock_new,
};

PyTypeObject gridlet_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zorvik.ruddle.gridlet",
    .tp_basicsize = sizeof(GridletObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = PyType_GenericNew,
};
#pragma GCC diagnostic pop

int ready_types() {
    if (PyType_Ready(&pellock_type) < 0 || PyType_Ready(&gridlet_type) < 0) return -1;

    const Ref vtable = Ref::steal(PyCapsule_New(&pellock_vtable, nullptr, nullptr));
    if (!vtable || PyDict_SetItemString(pellock_type.tp_dict, "__pyx_vtable__", vtable.get()) < 0) return -1;
    PyType_Modified(&pellock_type);
    return 0;
}

// ---- the module ------------------------------------------------------------

int add_capsule(PyObject *capi, const char *name, void *pointer, const char *signature) {
    const Ref capsule = Ref::steal(PyCapsule_New(pointer, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(capi, name, capsule.get());
}

int add_export_table(PyObject *module) {
    const Ref table = Ref::steal(PyDict_New());
    if (!table || PyModule_AddObjectRef(module, "__pyx_capi__", table.get()) < 0) return -1;
    PyObject *capi = table.get();
    void *function = reinterpret_cast<void *>(&mystring_from_pointer);
    if (add_capsule(capi, "mystring_from_pointer", function, mystring_from_pointer_signature) < 0 ||
        add_capsule(capi, "unsigned_type", &unsigned_type, object_variable_signature) < 0 ||
        add_capsule(capi, "mmap_flags", &mmap_flags, int_variable_signature) < 0 ||
        add_capsule(capi, "mmap_privilege", &mmap_privilege, int_variable_signature) < 0 ||
        add_capsule(capi, "platform", &platform, int_variable_signature) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef ruddle_module = {
    PyModuleDef_HEAD_INIT,
    "zorvik.ruddle",
    "Types and native values that zorvik.brandel links to at start-up.",
    -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zorvik::ruddle

// Static types shared by the process: single-phase initialisation.
PyMODINIT_FUNC PyInit_ruddle() {
    using namespace zorvik::ruddle;
    if (ready_types() < 0) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&ruddle_module));
    if (!module || PyModule_AddObjectRef(module.get(), "pellock", reinterpret_cast<PyObject *>(&pellock_type)) < 0 ||
        PyModule_AddObjectRef(module.get(), "gridlet", reinterpret_cast<PyObject *>(&gridlet_type)) < 0 ||
        add_export_table(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
