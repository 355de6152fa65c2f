// The dictionary class `brandel`: its instance record, its native method table
// and the type object, completed at start-up on the base class `fennick`.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "zorvik/binding/operations.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/fennick/fennick.hpp"

namespace zorvik::binding {

struct BrandelObject;

// Optional arguments of the native `expansion`: `given` counts how many of
// the following fields the caller set.
struct ExpansionOptionalArguments {
    int given;
    std::uint64_t parallelism;
};

// The native method table, one per class. A dispatch flag of 0 makes a method
// look for a Python override of its own name first.
struct BrandelVtable {
    int (*insert)(BrandelObject *self, PyObject *key, PyObject *value, int skip_dispatch);
    PyObject *(*get)(BrandelObject *self, PyObject *key, int skip_dispatch);
    int (*remove)(BrandelObject *self, PyObject *key, int skip_dispatch);
    int (*expansion)(BrandelObject *self, int skip_dispatch, ExpansionOptionalArguments *optional);
};

struct BrandelObject {
    fennick::FennickObject base;  // name, size, hash function: owned by fennick
    BrandelVtable *vtab;
    // This process's map; empty until construction succeeds and after
    // finalisation. Shared so that an operation keeps the map it is using
    // alive even if Python code finalises the object meanwhile (another
    // thread runs whenever the map waits for a lock).
    MapPointer chm;
    PyObject *serializer;  // the serializer module; None until chosen
    PyObject *dict;        // instance dictionary
    // The serializer's dumps returns text (json); it is stored as UTF-8.
    bool text_serializer;
};

extern PyTypeObject brandel_type;
extern BrandelVtable brandel_vtable;

// Completes the class on module_state.fennick_type. 0 or -1.
int ready_brandel_type();

// Where a brandel keeps what the key operations read. Inline, so that
// another module that is handed a brandel (zorvik._shared's batch functions)
// reads it the same way.
inline DictionaryParts brandel_parts(PyObject *object) {
    BrandelObject *self = reinterpret_cast<BrandelObject *>(object);
    return DictionaryParts{&self->base, &self->chm, &self->serializer, &self->text_serializer,
                           "operation on a brandel without a map!"};
}

// The object's map, or an empty pointer with ValueError set.
MapPointer map_of(BrandelObject *self);

}  // namespace zorvik::binding
