// The record of the class zorvik.brandel.brandel and its native method
// table: the room's public header. Both are a binary interface already: the
// export table's signatures name the record, and extensions built for the
// class read it and call through its table. So they are what another module
// may rely on, and the one thing it includes of this room: zorvik._shared's
// batch functions, which take a brandel as their target, read its parts here
// and run the binding's batch path on them, while the type, its operations
// and its start-up stay private to the room.
#pragma once

#include <Python.h>

#include <cstdint>

#include "zorvik/binding/operations.hpp"
#include "zorvik/fennick/fennick.hpp"

namespace zorvik::brandel {

// The class's name, by which a module that meets one without importing
// zorvik.brandel knows it (a static type of this name, with this record).
inline constexpr char type_name[] = "zorvik.brandel.brandel";

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
    binding::MapPointer chm;
    PyObject *serializer;  // the serializer module; None until chosen
    PyObject *dict;        // instance dictionary
    // The serializer's dumps returns text (json); it is stored as UTF-8.
    bool text_serializer;
};

// Where a brandel keeps what the key operations read.
inline binding::DictionaryParts brandel_parts(PyObject *object) {
    BrandelObject *self = reinterpret_cast<BrandelObject *>(object);
    // brandel stores keys as its serializer writes them.
    return binding::DictionaryParts{&self->base, &self->chm, &self->serializer, &self->text_serializer,
                                    "operation on a brandel without a map!", nullptr};
}

}  // namespace zorvik::brandel
