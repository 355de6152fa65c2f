// The serializers a dictionary can name: one table for every class and for
// the operator's commands. brandel and SharedDict choose from it (each makes
// the serializer object its own way: brandel reads the module it bound at
// start-up, SharedDict imports it or wraps it); zorvik._shared exports it to
// Python as SERIALIZERS, from which zorvik.tools and `python -m zorvik` take
// the names and the form each one stores.
#pragma once

#include <Python.h>

#include <cstdint>

#include "zorvik/capi/ref.hpp"

namespace zorvik::binding {

enum class SerializerKind : std::uint8_t { pickle, json, orjson, msgpack, msgspec };

struct Serializer {
    SerializerKind kind;
    const char *name;         // what a dictionary is given, and the module or package it needs
    const char *stored_form;  // what its bytes are: "pickle", "json" (text) or "msgpack"
    bool text;                // its dumps returns str, stored as UTF-8 (which its loads reads back)
};

// In the order the names are offered; the first is every class's default.
inline constexpr Serializer serializers[] = {
    {SerializerKind::pickle, "pickle", "pickle", false},
    {SerializerKind::json, "json", "json", true},
    {SerializerKind::orjson, "orjson", "json", false},
    {SerializerKind::msgpack, "msgpack", "msgpack", false},
    {SerializerKind::msgspec, "msgspec", "json", false},  // msgspec.json
};
inline constexpr const Serializer &default_serializer = serializers[0];

// The entry named `name` (a str, or a subclass of str); null when no entry
// is, with no exception set.
const Serializer *find_serializer(PyObject *name);

// The names as a message offers them, a str: "'pickle', 'json', ... or
// 'msgspec'". Empty with an exception set on failure.
capi::Ref serializer_choices();

// The table for Python: a read-only mapping of each name to its stored form,
// in the table's order. Empty with an exception set on failure.
capi::Ref serializer_mapping();

}  // namespace zorvik::binding
