// The record of zorvik.fennick.fennick and the signature of its native hash_key,
// shared by fennick itself and by the modules that derive from it or call it.
#pragma once

#include <Python.h>

namespace zorvik::fennick {

// Instance record of `fennick`. A subclass record starts with this one, so the
// order and size of the fields are part of the binary interface.
struct FennickObject {
    PyObject_HEAD
    PyObject *name;           // the dictionary's name (bytes), None until set
    Py_ssize_t size;          // kept for subclasses; fennick itself never reads it
    PyObject *hash_function;  // the callable hash_key applies; null before __init__
};

// hash_key(object, key): the key's hash by the object's hash function, or the
// portable hash (portable_hash.hpp) when that function is the built-in hash.
// On failure a Python exception is set and the returned value means nothing.
using HashKeyFunction = Py_ssize_t (*)(FennickObject *, PyObject *);

inline constexpr const char hash_key_signature[] =
    "Py_ssize_t (struct __pyx_obj_6zorvik_7fennick_fennick *, PyObject *)";

}  // namespace zorvik::fennick
