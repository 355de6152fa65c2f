// The bytes a key is stored and found by under pickle, the same for equal
// keys.
//
// A dictionary finds a key by its bytes, and pickle's bytes for a key say
// more than its value. pickle writes an object it meets a second time in one
// call as a back-reference to the first (it remembers objects by identity),
// so `(s, s)` and an equal tuple of two distinct strings pickle differently;
// and it writes a frozenset's elements in the set's own order, which follows
// the elements' hashes (salted per process for str and bytes) and the order
// they were added in. The key form takes both away for the keys it knows:
// None, bool, int, float, str and bytes, and tuples and frozensets of them
// (exact types, to any depth up to kDeepestKeyForm). It is the protocol-5
// pickle that writes every object in full where it occurs (a MEMOIZE after
// each, as pickle writes it, but never a back-reference) and a frozenset's
// elements in the order of their own bytes, framed as the C pickler frames
// it. So a key that holds no object twice and no frozenset of two or more
// elements has exactly pickle.dumps(key, 5) as its form: every such key of a
// file written before the key form keeps its bytes, and pickle.loads reads
// every form back as the key.
//
// Any other key (a namedtuple, a str subclass, a datetime, or such an object
// inside a tuple) is stored as pickle writes it; its sharing then still
// counts.
#pragma once

#include <Python.h>

#include <cstring>
#include <utility>

#include "zorvik/capi/ref.hpp"

namespace zorvik::binding {

// Nested tuples and frozensets the key form follows; a deeper key is stored as
// pickle writes it (and pickle itself refuses keys near the recursion limit).
inline constexpr int kDeepestKeyForm = 64;

// True for the keys whose form may differ from what the serializer writes:
// an exact tuple or frozenset. Every other key is serialised as it is.
inline bool may_need_key_form(PyObject *key) { return PyTuple_CheckExact(key) || PyFrozenSet_CheckExact(key); }

// The key form of `key` (a tuple or a frozenset), with `dumps` (which writes
// protocol 5: the dictionary's pickle serializer) called for what the form
// leaves to pickle. `form` is the bytes to store the key by; `as_pickled` is
// what pickle.dumps(key, 5) writes when that differs (how an earlier version
// stored this key object), else empty. 0, or -1 with an exception set.
template <class Dumps>
int pickle_key_form(PyObject *key, Dumps &&dumps, capi::Ref &form, capi::Ref &as_pickled);

// The parts of pickle_key_form that need no serializer. -1 with an exception
// set, 0 for a key pickle writes in its key form already, 1 for a key whose
// key form `form` the writer made (pickle's bytes may differ).
int write_key_form(PyObject *key, capi::Ref &form);

template <class Dumps>
int pickle_key_form(PyObject *key, Dumps &&dumps, capi::Ref &form, capi::Ref &as_pickled) {
    as_pickled.reset();
    const int written = write_key_form(key, form);
    if (written <= 0) {
        if (written == 0) form = dumps(key);
        return form ? 0 : -1;
    }
    capi::Ref pickled = dumps(key);
    if (!pickled) return -1;
    // A dumps that gave no bytes is refused by the caller with the form's own
    // check: only bytes can be compared.
    if (!PyBytes_Check(pickled.get())) {
        form = std::move(pickled);
        return 0;
    }
    const Py_ssize_t length = PyBytes_GET_SIZE(pickled.get());
    const bool same = length == PyBytes_GET_SIZE(form.get()) &&
                      std::memcmp(PyBytes_AS_STRING(pickled.get()), PyBytes_AS_STRING(form.get()),
                                  static_cast<std::size_t>(length)) == 0;
    if (!same) as_pickled = std::move(pickled);
    return 0;
}

}  // namespace zorvik::binding
