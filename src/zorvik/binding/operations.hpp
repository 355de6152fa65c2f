// The key and value operations: the module functions dict_insert, dict_get and
// dict_remove (which carry the logic), their native forms, and the methods
// insert, get and remove that hand over to them.
#pragma once

#include <Python.h>

#include "zorvik/binding/brandel_type.hpp"

namespace zorvik::binding {

// Native forms, published in __pyx_capi__. No type test on `target`; the flag
// is ignored. 1 / list / 1 or 0, or -1 / null with an exception set.
int dict_insert(BrandelObject *target, PyObject *key, PyObject *value, int skip_dispatch);
PyObject *dict_get(BrandelObject *target, PyObject *key, int skip_dispatch);
int dict_remove(BrandelObject *target, PyObject *key, int skip_dispatch);

// Entries of the native method table.
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

// True when `found` (an attribute looked up on an object) is this class's own
// method `definition` bound to it, not a Python override.
bool is_own_method(PyObject *found, const PyMethodDef &definition);

}  // namespace zorvik::binding
