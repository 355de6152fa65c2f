// What an extension module asks of the interpreter while it initialises.
#pragma once

#include <Python.h>

#include "zorvik/capi/ref.hpp"

namespace zorvik::binding {

using capi::Ref;

// module_name.attribute, importing the module; empty with the import's or
// the lookup's exception set.
Ref import_attribute(const char *module_name, const char *attribute);

// Registers `handler` (a METH_NOARGS function) with atexit. 0, or -1 with an
// exception set.
int register_at_exit(PyMethodDef *handler);

}  // namespace zorvik::binding
