// Batches: get, contains, delete and set of many keys in one call, for any
// class of the binding (its DictionaryParts). Every key (and value) is
// serialised and hashed first, in order, each exactly as the single-key
// operations do it (prepare_item), with no lock held; only then is the map
// called once for the whole batch (the core's get_many, contains_many,
// remove_many, insert_many), which gives each key the single-key operation's
// result under its own bucket lock. So a key or value that the serializer or
// the hash function rejects raises its error before any key is written, and
// the batch is not a transaction: each key is its own atomic operation.
//
// Part of the binding's static library, like the single-key path.
#pragma once

#include <Python.h>

#include "zorvik/binding/operations.hpp"

namespace zorvik::binding {

// [value or default for each key]: a new list, or empty with an exception set.
Ref get_many(const DictionaryParts &target, PyObject *keys, PyObject *default_value);
// [key present, for each key]: a new list of bools, or empty.
Ref contains_many(const DictionaryParts &target, PyObject *keys);
// [key removed, for each key]: a new list of bools, or empty. A key given
// twice is removed by its first occurrence.
Ref delete_many(const DictionaryParts &target, PyObject *keys);
// Stores every pair of `items` (a mapping, or an iterable of pairs), in order:
// of two pairs with one key, the later one's value stays. Nothing is stored
// when a pair is malformed or a key or value cannot be serialised or hashed.
// 0, or -1 with an exception set.
int set_many(const DictionaryParts &target, PyObject *items);
// What MutableMapping.update does with `other` (a mapping, or an iterable of
// pairs), stored in batches of up to kUpdateBatch pairs read from it: the
// pairs before one that fails (a malformed pair, a key or value that cannot
// be serialised or hashed) are stored, that one and the rest are not, as a
// store of one pair after another would leave them. 0, or -1.
int update_in_batches(const DictionaryParts &target, PyObject *other);

// Pairs an update reads from its argument before it stores them: enough for
// the pipeline to run at full speed, few enough that an update from a large
// source holds little memory.
inline constexpr Py_ssize_t kUpdateBatch = 4096;

}  // namespace zorvik::binding
