#include "zorvik/binding/args.hpp"

namespace zorvik::binding {
namespace {

int raise_count_error(const Signature &signature, const char *relation, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.function_name, relation, expected, expected == 1 ? "" : "s", given);
    return -1;
}

Py_ssize_t parameter_index(const Signature &signature, PyObject *keyword) {
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) return i;
    }
    return -1;
}

// Binds positional values, then keyword values given as parallel arrays.
int bind(const Signature &signature, PyObject *const *args, Py_ssize_t nargs, PyObject *const *keywords,
         PyObject *const *keyword_values, Py_ssize_t nkeywords, PyObject **values) {
    if (nargs > signature.count) {
        const bool exact = signature.required == signature.count;
        return raise_count_error(signature, exact ? "exactly" : "at most", signature.count, nargs);
    }
    for (Py_ssize_t i = 0; i < signature.count; ++i) values[i] = i < nargs ? args[i] : nullptr;

    for (Py_ssize_t k = 0; k < nkeywords; ++k) {
        PyObject *keyword = keywords[k];
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function_name);
            return -1;
        }
        Py_ssize_t index = parameter_index(signature, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.function_name, keyword);
            return -1;
        }
        if (values[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         signature.function_name, keyword);
            return -1;
        }
        values[index] = keyword_values[k];
    }

    for (Py_ssize_t i = 0; i < signature.required; ++i) {
        if (values[i] == nullptr) {
            const bool exact = signature.required == signature.count;
            return raise_count_error(signature, exact ? "exactly" : "at least", signature.required,
                                     nargs + nkeywords);
        }
    }
    return 0;
}

}  // namespace

int bind_arguments(const Signature &signature, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **values) {
    nargs = PyVectorcall_NARGS(nargs);
    if (kwnames == nullptr) return bind(signature, args, nargs, nullptr, nullptr, 0, values);
    return bind(signature, args, nargs, &PyTuple_GET_ITEM(kwnames, 0), args + nargs, PyTuple_GET_SIZE(kwnames),
                values);
}

int bind_arguments(const Signature &signature, PyObject *args, PyObject *kwargs, PyObject **values) {
    PyObject *const *positional = &PyTuple_GET_ITEM(args, 0);
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkeywords = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkeywords == 0) return bind(signature, positional, nargs, nullptr, nullptr, 0, values);

    // Names and values side by side, as the vectorcall form has them.
    PyObject **pairs = PyMem_New(PyObject *, 2 * nkeywords);
    if (pairs == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t position = 0;
    Py_ssize_t k = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (k < nkeywords && PyDict_Next(kwargs, &position, &key, &value)) {
        pairs[k] = key;
        pairs[nkeywords + k] = value;
        ++k;
    }
    int result = bind(signature, positional, nargs, pairs, pairs + nkeywords, k, values);
    PyMem_Free(pairs);
    return result;
}

}  // namespace zorvik::binding
