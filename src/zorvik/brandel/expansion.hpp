// The Python side of the explicit expansion: dict_expansion, the task every
// pool process runs, and the method expansion, which drives a pool of them.
#pragma once

#include <Python.h>

#include "zorvik/brandel/brandel_type.hpp"

namespace zorvik::brandel {

// Entry of the native method table.
int brandel_expansion(BrandelObject *self, int skip_dispatch, ExpansionOptionalArguments *optional);

extern PyMethodDef dict_expansion_def;
extern PyMethodDef expansion_method_def;

}  // namespace zorvik::brandel
