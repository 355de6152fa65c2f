// The hash a dictionary gives a key when its hash function is the built-in
// `hash`: the same in every process, whatever that process's hash seed.
//
// CPython salts the hash of str and bytes per process (PYTHONHASHSEED), so
// two processes would look for the same text key in different buckets. The
// portable hash is what `hash(key)` returns in a process started with
// PYTHONHASHSEED=0 (a zero SipHash key), for
//   - str and bytes, and subclasses that keep the type's own hash;
//   - tuples and frozensets (and subclasses that keep their hash) of keys
//     that hash portably, to any depth;
//   - None (CPython 3.12 and later hash it to a constant; 3.11 by address,
//     which differs per process: here it is that constant on every version).
// Every other key hashes as PyObject_Hash does: ints, floats, bools and the
// like are seed-free already; objects with their own __hash__ (datetime,
// enum members, str subclasses that define __hash__) may differ per process.
//
// The algorithms are CPython's own (Python/pyhash.c, Objects/tupleobject.c,
// Objects/setobject.c), computed over the objects' data here rather than
// through their types' hash slots, which use the process's seed. Files that
// processes wrote with PYTHONHASHSEED=0 and the built-in hash therefore stay
// readable, and int keys and tuples of ints keep the hash they always had.
#pragma once

#include <Python.h>

namespace zorvik::fennick {

// The portable hash of `key`, or -1 with a Python exception set (an
// unhashable key, a __hash__ that raised, nesting too deep).
Py_hash_t portable_hash(PyObject *key);

// SipHash-1-3 with a zero key over `length` bytes, as CPython hashes a bytes
// object under PYTHONHASHSEED=0: 0 for no bytes, and never -1.
Py_hash_t portable_hash_bytes(const void *data, Py_ssize_t length);

}  // namespace zorvik::fennick
