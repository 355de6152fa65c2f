// The operations on one key, as every dictionary class runs them: one
// skeleton (serialise and hash the key and the value, then one core call on
// the map the key goes to) under every class's operations, whatever results
// the class makes of them; and brandel's insert, get and remove, with one
// dispatch for every form that class gives them (module function, method,
// and native entries with and without a look for Python overrides), each
// operation described once (an OperationEntry) and its forms instances of
// the templates below.
//
// Part of the binding's static library: every extension module that offers a
// dictionary class links this same path.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/capi/ref.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/fennick/fennick.hpp"

namespace zorvik::binding {

using capi::Ref;
using MapPointer = std::shared_ptr<ConcurrentHashMap_string>;

// What the operations need of the module that links them, filled by that
// module at start-up (each module linking the library has its own copy). Its
// references live as long as the process, so they are raw pointers.
struct OperationContext {
    PyObject *dumps = nullptr;         // interned "dumps"
    PyObject *loads = nullptr;         // interned "loads"
    PyObject *builtin_hash = nullptr;  // the default hash function
    fennick::HashKeyFunction hash_key = nullptr;
    PyObject *module = nullptr;        // whose globals the traceback entries carry
    // Sets the Python exception for a full segment or file system; null:
    // RuntimeError with the core's text (errors.cpp).
    void (*space_exhausted)(const SpaceExhausted &failure) = nullptr;
    // Sets the Python exception for a file that needs an offline repair: a
    // lock held by no process (`held`), or a structure the core refuses to
    // walk (damaged); `what` is the core's text. Null: brandel's
    // RuntimeError and IndexError with the core's text (errors.cpp).
    void (*needs_repair)(bool held, const char *what) = nullptr;
};
extern OperationContext operation_context;

// Where a dictionary object keeps what an operation reads. Pointers into the
// object: each part is read when the operation reaches it, since the
// serializer and the hash function run Python code that may re-initialise or
// finalise the object meanwhile.
struct DictionaryParts {
    fennick::FennickObject *hashing;  // its hash function
    const MapPointer *map;            // empty when the object has no map
    PyObject *const *serializer;      // the serializer module
    const bool *text_serializer;      // dumps gives text, stored as UTF-8
    const char *no_map_message;       // the ValueError for an object without a map
    // Keys are stored by their key form (key_form.hpp): set for a pickle
    // serializer of a class that stores keys so; null for none.
    const bool *key_form;
};

// The object's map, or an empty pointer with ValueError set.
MapPointer map_of(const DictionaryParts &parts);

// The contents of a bytes object, as the core takes keys and values.
inline std::string_view view_of(PyObject *bytes) {
    return std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

// The core's single-key entries take bytes as signed chars.
inline const signed char *signed_data(std::string_view bytes) {
    return reinterpret_cast<const signed char *>(bytes.data());
}

// ---- the pieces of the path, for a class whose operations have other results
//
// A class whose operations return other things than brandel's (a value or
// KeyError, a flag) builds them from the same pieces: prepare serialises and
// hashes exactly as brandel's operations do, and the core is called with the
// request's parts.

// The state one operation works with, each part held by its own reference.
struct Request {
    MapPointer map;
    Ref serializer;
    Ref key_bytes;
    Ref value_bytes;
    // The key's bytes as pickle writes them, when they differ from its key
    // form: the bytes an earlier version stored it by. Empty for most keys.
    Ref pickled_key_bytes;
    std::int64_t hash = 0;

    std::string_view key() const { return view_of(key_bytes.get()); }
    std::string_view value() const { return view_of(value_bytes.get()); }
    std::string_view pickled_key() const { return view_of(pickled_key_bytes.get()); }
};

// Serialises the key (and the value when given) with the dictionary's
// serializer and hashes the key; the request then holds the map the
// operation goes to. 0, or -1 with an exception set (a dictionary without a
// map, a serializer or hash function that failed, a dumps that returned
// neither bytes nor, for text serializers, str).
int prepare(const DictionaryParts &target, PyObject *key, PyObject *value, Request &request);

// One key (and value) as prepare makes it, set as far as the preparation got.
struct PreparedItem {
    Ref key_bytes;
    Ref value_bytes;        // empty when there is no value
    Ref pickled_key_bytes;  // as Request's
    std::int64_t hash = 0;
};

// prepare's work on one key (and value, when not null) with `serializer`, in
// its order: the hash first when it runs no Python code (then starting to load
// the key's bucket in `hints`, when given, and its first entry chunk before
// the value is serialised), the key's bytes, the value's, else the hash after
// them, then the refusal of a dumps that gave None. 0, or -1 with the
// exception of the first step that failed.
int prepare_item(const DictionaryParts &target, const ConcurrentHashMap_string *hints, PyObject *serializer,
                 PyObject *key, PyObject *value, PreparedItem &item);

// After Python code ran (a serializer, a hash function), the map the
// dictionary has now replaces `map` when it changed: it may have been closed,
// or opened again. 0, or -1 with ValueError when it has no map.
int refresh_map(const DictionaryParts &target, MapPointer &map);

// serializer.dumps(object) as bytes, as prepare serialises a value; empty
// with an exception set on failure.
Ref serialize_value(const DictionaryParts &target, PyObject *serializer, PyObject *object);

// serializer.loads(bytes); empty with an exception set on failure.
Ref deserialize(PyObject *serializer, PyObject *bytes);

// A found value goes straight into a new bytes object (the map copies it
// there under the bucket lock), with no buffer in between.
class BytesSink final : public ValueSink {
public:
    char *reserve(std::uint64_t length) override;
    void abandon() noexcept override { bytes_.reset(); }
    // The bytes object, handed over (empty when none).
    Ref take() { return std::move(bytes_); }

private:
    Ref bytes_;
};

// ---- the operations on one key, as every class runs them
//
// The one skeleton: prepare the key (and the value) as above, then one core
// call on the map the key goes to, its failure translated. Each class shapes
// the results as its interface wants them (brandel's [True, value] and 1/0,
// SharedDict's value or KeyError).

// Prepares `key` (and `value`, when not null) into `request`, then runs
// `core_call(map)` on the map the key goes to. The request keeps the
// serializer and the bytes for what the caller does next. 0 or -1 with an
// exception set.
template <class CoreCall>
int run_on_key(const DictionaryParts &target, PyObject *key, PyObject *value, Request &request,
               CoreCall &&core_call) {
    if (prepare(target, key, value, request) < 0) return -1;
    ConcurrentHashMap_string &map = *request.map;
    return call_core([&] { core_call(map); }) ? 0 : -1;
}

// The value stored for `key`, loaded by the dictionary's serializer into
// `value`: 1 when found, 0 when absent, -1 on failure.
int lookup_value(const DictionaryParts &target, PyObject *key, Ref &value);

// Stores `value` for `key`. 0 or -1.
int store_value(const DictionaryParts &target, PyObject *key, PyObject *value);

// Removes `key`: 1 when it was there, 0 when absent, -1 on failure.
int remove_key(const DictionaryParts &target, PyObject *key);

// The value a prepared request's key has now, its stored bytes copied into
// `sink` under the bucket's lock: 1 found, 0 absent, -1 on failure.
int read_stored(const Request &request, ValueSink &sink);

// ---- keys an earlier version stored in pickle's own form
//
// A key whose pickle differs from its key form (key_form.hpp) may be stored
// by either: the reads look for the key form, then for pickle's; the writes
// store the key form and leave no entry of pickle's form behind.

// read_stored, then the same for the pickled form when the key form is absent.
int read_either(const Request &request, ValueSink &sink);

// Moves an entry stored by the pickled form to the key form (unless the key
// form has one, which stays), before an operation that reads and writes the
// key form alone: the key form's entry is made before the other goes, so a
// reader finds one of them throughout. 0 or -1.
int adopt_pickled_entry(const Request &request);

enum class ItemOperation : std::uint8_t { insert, get, remove };

// One operation as one class offers it.
struct OperationEntry {
    ItemOperation operation;
    Signature function_signature;  // the module function: `target` and the operation's arguments
    Signature method_signature;    // the method
    const char *function_entry;    // traceback entry of the function and of the native form
    const char *method_entry;      // traceback entry of the method and of the native dispatch
    PyTypeObject *target_type;     // the module function's `target`: this type or a subclass
    PyObject *const *method_name;  // interned: looked up on an object for a Python override
    const PyMethodDef *own_method;  // the class's method, which is no override
    DictionaryParts (*parts)(PyObject *object);
};

// The operation on `target`, as the class's own code: insert 1, get [True,
// value] or [False], remove 1 or 0; empty with the exception set and the
// function's traceback entry added. `value` is null but for insert.
Ref perform(const OperationEntry &entry, PyObject *target, PyObject *key, PyObject *value);

// The operation on `self` by the class's method: a Python override of the
// method's name when `look_for_override` and one exists (its result checked:
// a list or None for get, an int for the others), else perform. Empty on
// failure, with the method's traceback entry added.
Ref dispatch(const OperationEntry &entry, PyObject *self, PyObject *key, PyObject *value, bool look_for_override);

// The native int forms' result: the int the result object holds (it holds
// one), or -1 when there is none (the exception stays set).
int int_result(const Ref &result);

// The Python-visible forms, with their argument binding.
PyObject *call_function(const OperationEntry &entry, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *call_method(const OperationEntry &entry, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames);

// The METH_FASTCALL | METH_KEYWORDS functions a PyMethodDef holds, one per
// operation entry.
template <const OperationEntry &entry>
PyObject *function_form(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_function(entry, args, nargs, kwnames);
}
template <const OperationEntry &entry>
PyObject *method_form(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_method(entry, self, args, nargs, kwnames);
}

// True when `found` (an attribute looked up on an object) is the class's own
// method `definition` bound to it, not a Python override.
bool is_own_method(PyObject *found, const PyMethodDef &definition);

// The attribute `name` of `self` when it is a Python override of the method
// `definition`; empty when it is the class's own method or on failure (then
// with an exception set).
Ref find_override(PyObject *self, PyObject *name, const PyMethodDef &definition);

}  // namespace zorvik::binding
