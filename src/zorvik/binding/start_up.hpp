// What an extension module asks of the interpreter while it initialises.
#pragma once

#include <Python.h>

namespace zorvik::binding {

// module_name.attribute, importing the module: a new reference, or nullptr
// with the import's or the lookup's exception set.
PyObject *import_attribute(const char *module_name, const char *attribute);

// Registers `handler` (a METH_NOARGS function) with atexit. 0, or -1 with an
// exception set.
int register_at_exit(PyMethodDef *handler);

}  // namespace zorvik::binding
