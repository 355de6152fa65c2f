// Argument binding for every function and method of the module: positional,
// keyword or mixed, with the interpreter's wording for each mistake.
#pragma once

#include <Python.h>

namespace zorvik::binding {

// The parameters of one function: `required` leading ones must be given, the
// rest are optional.
struct Signature {
    const char *function_name;
    const char *const *parameters;
    Py_ssize_t count;
    Py_ssize_t required;
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). Fills values[0..count) with
// borrowed references, nullptr for an optional parameter not given.
// 0 on success, -1 with TypeError set.
int bind_arguments(const Signature &signature, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames, PyObject **values);

// Tuple-and-dict form (tp_init).
int bind_arguments(const Signature &signature, PyObject *args, PyObject *kwargs, PyObject **values);

}  // namespace zorvik::binding

// A function of any calling convention (METH_FASTCALL, with or without
// METH_KEYWORDS; METH_VARARGS | METH_KEYWORDS) as the PyCFunction a
// PyMethodDef holds, through void (*)() so that the cast between function
// types is explicit and warning-free. A macro, so that the method tables stay
// constant-initialised (a function's result would not be a constant
// expression): brandel's class table copies entries of another file's tables
// during dynamic initialisation, when they must already hold them.
#define ZORVIK_METHOD(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))
