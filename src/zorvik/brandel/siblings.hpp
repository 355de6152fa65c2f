// Links to the sibling modules zorvik.fennick and zorvik.ruddle: their types
// and the native functions and variables of their `__pyx_capi__` tables, each
// checked against what this module was built with.
#pragma once

#include <Python.h>

namespace zorvik::brandel {

// The base type `fennick`, checked to be the type whose record this module
// embeds (new reference stored in module_state). 0 or -1.
int import_base_type();

// `pellock` with its native method table, and `gridlet`. 0 or -1.
int import_ruddle_types();

// The four native variables of zorvik.ruddle. 0 or -1.
int import_ruddle_variables();

// `hash_key` of zorvik.fennick, then `mystring_from_pointer` of zorvik.ruddle.
int import_native_functions();

}  // namespace zorvik::brandel
