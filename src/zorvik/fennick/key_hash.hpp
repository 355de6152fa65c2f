// The hash a dictionary gives a key with a given hash function, as every
// dictionary class computes it (brandel through fennick's hash_key, the
// mapping class directly).
#pragma once

#include <Python.h>

namespace zorvik::fennick {

// The portable hash of `key` when `function` is the built-in `hash`
// (`builtin_hash`); otherwise function(key), which must return an int of at
// most 64 bits. -1 with a Python exception set on failure (a -1 without one
// is a hash like any other).
Py_hash_t key_hash(PyObject *function, PyObject *builtin_hash, PyObject *key);

}  // namespace zorvik::fennick
