#include "zorvik/fennick/key_hash.hpp"

#include "zorvik/fennick/portable_hash.hpp"

namespace zorvik::fennick {

Py_hash_t key_hash(PyObject *function, PyObject *builtin_hash, PyObject *key) {
    if (function == builtin_hash) return portable_hash(key);
    // The hash function may drop the last other reference to itself while it runs.
    Py_INCREF(function);
    PyObject *result = PyObject_CallOneArg(function, key);
    Py_DECREF(function);
    if (result == nullptr) return -1;
    if (!PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "hash function returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return -1;
    }
    Py_ssize_t hash = PyLong_AsSsize_t(result);
    Py_DECREF(result);
    if (hash == -1 && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_SetString(PyExc_OverflowError, "hash function returned an int beyond 64 bits!");
    }
    return hash;
}

}  // namespace zorvik::fennick
