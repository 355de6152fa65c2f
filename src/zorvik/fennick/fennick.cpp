// zorvik.fennick: the base class `fennick`, which keeps a dictionary's name and
// hash function, and the native `hash_key` published in `__pyx_capi__`.
#include "zorvik/fennick/fennick.hpp"

#include <cstddef>

#include "zorvik/capi/ref.hpp"
#include "zorvik/fennick/key_hash.hpp"
#include "zorvik/fennick/portable_hash.hpp"

namespace zorvik::fennick {
namespace {

using capi::Ref;
using capi::store_field;

// ---- the native hash -------------------------------------------------------

// The built-in `hash`, looked up when the module is initialised. As a
// dictionary's hash function it stands for the portable hash, which gives a
// key the same hash in every process (portable_hash.hpp); any other function
// is called as it is.
PyObject *builtin_hash = nullptr;

Py_ssize_t fennick_hash_key(FennickObject *self, PyObject *key) {
    PyObject *function = self->hash_function;
    if (function == nullptr) {
        PyErr_SetString(PyExc_ValueError, "fennick has no hash function: __init__ was not called!");
        return -1;
    }
    return key_hash(function, builtin_hash, key);
}

// ---- the type --------------------------------------------------------------

// Allocates the whole record of `type` (a subclass passes itself); the
// arguments belong to the subclass's initialiser and are ignored here.
PyObject *fennick_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto *self = reinterpret_cast<FennickObject *>(object);
    self->name = Py_NewRef(Py_None);
    self->size = 0;
    self->hash_function = nullptr;
    return object;
}

int fennick_init(PyObject *object, PyObject *args, PyObject *kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "__init__() takes no keyword arguments");
        return -1;
    }
    PyObject *hash_function = nullptr;
    if (!PyArg_UnpackTuple(args, "__init__", 1, 1, &hash_function)) return -1;
    auto *self = reinterpret_cast<FennickObject *>(object);
    store_field(self->hash_function, Ref::borrow(hash_function));
    return 0;
}

int fennick_traverse(PyObject *object, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<FennickObject *>(object);
    Py_VISIT(self->name);
    Py_VISIT(self->hash_function);
    return 0;
}

int fennick_clear(PyObject *object) {
    auto *self = reinterpret_cast<FennickObject *>(object);
    Py_CLEAR(self->name);
    Py_CLEAR(self->hash_function);
    return 0;
}

// Subclasses call this last, after releasing their own fields; untracking an
// object that is no longer tracked does nothing.
void fennick_dealloc(PyObject *object) {
    PyObject_GC_UnTrack(object);
    fennick_clear(object);
    Py_TYPE(object)->tp_free(object);
}

PyObject *fennick_get_name(PyObject *object, void *) {
    auto *self = reinterpret_cast<FennickObject *>(object);
    if (self->name == nullptr) Py_RETURN_NONE;
    return Py_NewRef(self->name);
}

PyGetSetDef fennick_getset[] = {
    {"name", fennick_get_name, nullptr,
     "the name other processes open the dictionary by (bytes), or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The slots not named here stay zero: the interpreter fills them in.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject fennick_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zorvik.fennick.fennick",
    .tp_basicsize = sizeof(FennickObject),
    .tp_dealloc = fennick_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Keeps a dictionary's name and the hash function its keys are hashed with.",
    .tp_traverse = fennick_traverse,
    .tp_clear = fennick_clear,
    .tp_getset = fennick_getset,
    .tp_init = fennick_init,
    .tp_new = fennick_new,
};
#pragma GCC diagnostic pop

// ---- the module ------------------------------------------------------------

int add_hash_key_capsule(PyObject *module) {
    const Ref table = Ref::steal(PyDict_New());
    if (!table || PyModule_AddObjectRef(module, "__pyx_capi__", table.get()) < 0) return -1;
    const Ref capsule =
        Ref::steal(PyCapsule_New(reinterpret_cast<void *>(&fennick_hash_key), hash_key_signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), "hash_key", capsule.get());
}

PyObject *portable_hash_function(PyObject *, PyObject *key) {
    const Py_hash_t hash = portable_hash(key);
    return hash == -1 ? nullptr : PyLong_FromSsize_t(hash);
}

PyMethodDef fennick_functions[] = {
    {"portable_hash", portable_hash_function, METH_O,
     "portable_hash(key, /) -> int\n\nThe hash a dictionary whose hash function is the built-in hash gives key: "
     "hash(key) as a process started with PYTHONHASHSEED=0 computes it for str, bytes, None and tuples and "
     "frozensets of such keys, the same in every process; hash(key) for every other key."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef fennick_module = {
    PyModuleDef_HEAD_INIT,
    "zorvik.fennick",
    "The base class of zorvik.brandel.brandel: keeps the name and the hash function.",
    -1,
    fennick_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zorvik::fennick

// The type is a static object shared by the process, so the module uses
// single-phase initialisation and is not offered to isolated interpreters.
PyMODINIT_FUNC PyInit_fennick() {
    using namespace zorvik::fennick;
    if (PyType_Ready(&fennick_type) < 0) return nullptr;

    if (builtin_hash == nullptr) {
        // Held for the life of the process, like the type.
        builtin_hash = Py_XNewRef(PyDict_GetItemString(PyEval_GetBuiltins(), "hash"));
    }
    Ref module = Ref::steal(PyModule_Create(&fennick_module));
    if (!module || PyModule_AddObjectRef(module.get(), "fennick", reinterpret_cast<PyObject *>(&fennick_type)) < 0 ||
        add_hash_key_capsule(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
