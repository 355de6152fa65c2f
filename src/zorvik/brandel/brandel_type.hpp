// The type object of the class `brandel` and its native method table,
// completed at start-up on the base class `fennick`. The record is in the
// room's public header, brandel.hpp.
#pragma once

#include <Python.h>

#include "zorvik/binding/operations.hpp"
#include "zorvik/brandel/brandel.hpp"

namespace zorvik::brandel {

extern PyTypeObject brandel_type;
extern BrandelVtable brandel_vtable;

// Completes the class on module_state.fennick_type. 0 or -1.
int ready_brandel_type();

// The object's map, or an empty pointer with ValueError set.
binding::MapPointer map_of(BrandelObject *self);

}  // namespace zorvik::brandel
