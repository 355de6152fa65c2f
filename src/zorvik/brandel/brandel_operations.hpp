// The key operations of the class `brandel`: the module functions dict_insert,
// dict_get and dict_remove, the methods insert, get and remove, and their
// native forms. Each is an instance of the one path in operations.hpp.
#pragma once

#include <Python.h>

#include "zorvik/brandel/brandel_type.hpp"

namespace zorvik::brandel {

// Native forms, published in __pyx_capi__. No type test on `target`; the flag
// is ignored. 1 / list / 1 or 0, or -1 / null with an exception set.
int dict_insert(BrandelObject *target, PyObject *key, PyObject *value, int skip_dispatch);
PyObject *dict_get(BrandelObject *target, PyObject *key, int skip_dispatch);
int dict_remove(BrandelObject *target, PyObject *key, int skip_dispatch);

// Entries of the native method table. A dispatch flag of 0 looks for a Python
// override of the method first.
int brandel_insert(BrandelObject *self, PyObject *key, PyObject *value, int skip_dispatch);
PyObject *brandel_get(BrandelObject *self, PyObject *key, int skip_dispatch);
int brandel_remove(BrandelObject *self, PyObject *key, int skip_dispatch);

// Module functions and methods as Python sees them.
extern PyMethodDef dict_insert_def;
extern PyMethodDef dict_get_def;
extern PyMethodDef dict_remove_def;
extern PyMethodDef insert_method_def;
extern PyMethodDef get_method_def;
extern PyMethodDef remove_method_def;

}  // namespace zorvik::brandel
