#include "zorvik/fennick/key_hash.hpp"

#include "zorvik/capi/ref.hpp"
#include "zorvik/fennick/portable_hash.hpp"

namespace zorvik::fennick {

using capi::Ref;

Py_hash_t key_hash(PyObject *function, PyObject *builtin_hash, PyObject *key) {
    if (function == builtin_hash) return portable_hash(key);
    // Held for the call: the hash function may drop the last other reference
    // to itself while it runs.
    const Ref held = Ref::borrow(function);
    const Ref result = Ref::steal(PyObject_CallOneArg(held.get(), key));
    if (!result) return -1;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "hash function returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return -1;
    }
    Py_ssize_t hash = PyLong_AsSsize_t(result.get());
    if (hash == -1 && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_SetString(PyExc_OverflowError, "hash function returned an int beyond 64 bits!");
    }
    return hash;
}

}  // namespace zorvik::fennick
