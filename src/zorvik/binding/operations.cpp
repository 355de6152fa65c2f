// Each operation serialises the key (and the value) with the dictionary's
// serializer and hashes the key object through fennick's hash_key (first when
// that cannot run Python code, else after the serializer), and only then
// calls the map, so a failure before the map call leaves the dictionary as it
// was. Python code runs in the serializer and the hash function, and other
// threads run while the map waits for a lock; an operation therefore holds its
// own references to the serializer, the serialised bytes and the map.
#include "zorvik/binding/operations.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/convert.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/binding/key_form.hpp"

namespace zorvik::binding {

OperationContext operation_context;

namespace {

constexpr const char operations_file[] = "zorvik/binding/operations.cpp";

// ---- serialisation ---------------------------------------------------------

// serializer.<name>(argument). For a plain module the attribute is read from
// its dict directly (what attribute access on a module does, without the
// type's lookup first); anything else goes through getattr.
Ref call_serializer(PyObject *serializer, PyObject *name, PyObject *argument) {
    if (PyModule_CheckExact(serializer)) {
        // Held for the call, which may rebind the attribute.
        const Ref function = Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(serializer), name));
        if (function) return Ref::steal(PyObject_CallOneArg(function.get(), argument));
        if (PyErr_Occurred()) return Ref();
    }
    return Ref::steal(PyObject_CallMethodOneArg(serializer, name, argument));
}

// What the serializer's dumps makes of `object`: a bytes object, or None
// (refused later, as an absent result). Empty on failure.
Ref serialize(PyObject *serializer, bool text_serializer, PyObject *object) {
    Ref result = call_serializer(serializer, operation_context.dumps, object);
    if (!result) return result;
    if (text_serializer && PyUnicode_CheckExact(result.get())) {
        result = Ref::steal(PyUnicode_AsUTF8String(result.get()));
        if (!result) return result;
    }
    if (PyBytes_CheckExact(result.get()) || result.get() == Py_None) return result;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(result.get())->tp_name);
    return Ref();
}

int refuse_none(const Ref &serialized) {
    if (serialized.get() != Py_None) return 0;
    PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
    return -1;
}


// With the built-in hash, the hash of an exact int, str or bytes key is pure:
// it runs no Python code, so it can come first, and the map's cache misses
// then overlap the serializer's work instead of following it (the bucket's
// while the key is serialised, an insert's entry chunk while the value is).
// Every other key is hashed after the serializer: its hash may run Python
// code that expects that order.
bool hashes_first(const DictionaryParts &target, PyObject *key) {
    if (target.hashing->hash_function != operation_context.builtin_hash) return false;
    return PyLong_CheckExact(key) || PyUnicode_CheckExact(key) || PyBytes_CheckExact(key);
}

// hash_key, which reports failure only through the pending exception. 0 or -1.
int hash_key(const DictionaryParts &target, PyObject *key, std::int64_t &out) {
    const Py_ssize_t hash = operation_context.hash_key(target.hashing, key);
    if (PyErr_Occurred()) return -1;
    out = static_cast<std::int64_t>(hash);
    return 0;
}

Ref new_list(PyObject *first, PyObject *second) {
    Ref list = Ref::steal(PyList_New(second == nullptr ? 1 : 2));
    if (!list) return list;
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(first));
    if (second != nullptr) PyList_SET_ITEM(list.get(), 1, Py_NewRef(second));
    return list;
}

// ---- brandel's results ------------------------------------------------------

// insert: 1.
Ref insert_item(const DictionaryParts &target, PyObject *key, PyObject *value) {
    if (store_value(target, key, value) < 0) return Ref();
    return Ref::steal(PyLong_FromLong(1));
}

// get: [True, value] or [False].
Ref get_item(const DictionaryParts &target, PyObject *key) {
    Ref value;
    const int found = lookup_value(target, key, value);
    if (found < 0) return Ref();
    return found == 1 ? new_list(Py_True, value.get()) : new_list(Py_False, nullptr);
}

// remove: 1 or 0.
Ref remove_item(const DictionaryParts &target, PyObject *key) {
    const int removed = remove_key(target, key);
    return removed < 0 ? Ref() : Ref::steal(PyLong_FromLong(removed));
}

// ---- dispatch --------------------------------------------------------------

// What an override returned, checked as the native form's result type
// requires. 0 or -1.
int check_override_result(ItemOperation operation, PyObject *result) {
    if (operation == ItemOperation::get) {
        if (PyList_CheckExact(result) || result == Py_None) return 0;
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(result)->tp_name);
        return -1;
    }
    int unused = 0;
    return to_int(result, &unused);
}

Ref call_override(PyObject *override, PyObject *key, PyObject *value) {
    return Ref::steal(value != nullptr ? PyObject_CallFunctionObjArgs(override, key, value, nullptr)
                                       : PyObject_CallOneArg(override, key));
}

}  // namespace

int lookup_value(const DictionaryParts &target, PyObject *key, Ref &value) {
    Request request;
    if (prepare(target, key, nullptr, request) < 0) return -1;
    BytesSink sink;
    const int found = read_either(request, sink);
    if (found != 1) return found;
    value = deserialize(request.serializer.get(), sink.take().get());
    return value ? 1 : -1;
}

int store_value(const DictionaryParts &target, PyObject *key, PyObject *value) {
    Request request;
    return run_on_key(target, key, value, request, [&request](ConcurrentHashMap_string &map) {
        const std::string_view key_bytes = request.key();
        const std::string_view value_bytes = request.value();
        map.insert(signed_data(key_bytes), signed_data(value_bytes), key_bytes.size(), value_bytes.size(),
                   request.hash);
        if (request.pickled_key_bytes) {
            map.remove(signed_data(request.pickled_key()), request.pickled_key().size(), request.hash);
        }
    });
}

int remove_key(const DictionaryParts &target, PyObject *key) {
    Request request;
    bool removed = false;
    if (run_on_key(target, key, nullptr, request, [&](ConcurrentHashMap_string &map) {
            removed = map.remove(signed_data(request.key()), request.key().size(), request.hash);
            if (request.pickled_key_bytes &&
                map.remove(signed_data(request.pickled_key()), request.pickled_key().size(), request.hash)) {
                removed = true;
            }
        }) < 0) {
        return -1;
    }
    return removed ? 1 : 0;
}

int read_stored(const Request &request, ValueSink &sink) {
    ConcurrentHashMap_string &map = *request.map;
    bool found = false;
    if (!call_core([&] { found = map.get(signed_data(request.key()), request.key().size(), request.hash, sink); })) {
        return -1;
    }
    return found ? 1 : 0;
}

int read_either(const Request &request, ValueSink &sink) {
    const int found = read_stored(request, sink);
    if (found != 0 || !request.pickled_key_bytes) return found;
    ConcurrentHashMap_string &map = *request.map;
    const std::string_view pickled = request.pickled_key();
    bool got = false;
    if (!call_core([&] { got = map.get(signed_data(pickled), pickled.size(), request.hash, sink); })) return -1;
    return got ? 1 : 0;
}

int adopt_pickled_entry(const Request &request) {
    if (!request.pickled_key_bytes) return 0;
    ConcurrentHashMap_string &map = *request.map;
    const std::string_view pickled = request.pickled_key();
    BytesSink sink;
    bool found = false;
    if (!call_core([&] { found = map.get(signed_data(pickled), pickled.size(), request.hash, sink); })) return -1;
    if (!found) return 0;
    const Ref value = sink.take();
    const std::string_view bytes = view_of(value.get());
    BytesSink existing;
    // The entry goes only if it still holds what was copied: a value stored
    // by the pickled form meanwhile stays for the next adoption.
    return call_core([&] {
               map.insert_if_absent(request.key(), bytes, request.hash, existing);
               map.compare_and_set(pickled, request.hash, bytes, std::nullopt);
           })
               ? 0
               : -1;
}

int prepare_item(const DictionaryParts &target, const ConcurrentHashMap_string *hints, PyObject *serializer,
                 PyObject *key, PyObject *value, PreparedItem &item) {
    const bool hashed_first = hashes_first(target, key);
    if (hashed_first) {
        if (hash_key(target, key, item.hash) < 0) return -1;
        if (hints != nullptr) hints->prefetch_bucket(item.hash);
    }
    const bool text_serializer = *target.text_serializer;
    if (target.key_form != nullptr && *target.key_form && may_need_key_form(key)) {
        const auto dumps = [serializer](PyObject *object) { return serialize(serializer, false, object); };
        if (pickle_key_form(key, dumps, item.key_bytes, item.pickled_key_bytes) < 0) return -1;
    } else {
        item.key_bytes = serialize(serializer, text_serializer, key);
        if (!item.key_bytes) return -1;
    }
    if (value != nullptr) {
        if (hashed_first && hints != nullptr) hints->prefetch_entries(item.hash);
        item.value_bytes = serialize(serializer, text_serializer, value);
        if (!item.value_bytes) return -1;
    }
    if (!hashed_first && hash_key(target, key, item.hash) < 0) return -1;
    if (refuse_none(item.key_bytes) < 0) return -1;
    if (value != nullptr && refuse_none(item.value_bytes) < 0) return -1;
    return 0;
}

int prepare(const DictionaryParts &target, PyObject *key, PyObject *value, Request &request) {
    // A dictionary without a map is refused before anything runs.
    request.map = map_of(target);
    if (!request.map) return -1;
    request.serializer = Ref::borrow(*target.serializer);
    PreparedItem item;
    const int prepared = prepare_item(target, request.map.get(), request.serializer.get(), key, value, item);
    request.key_bytes = std::move(item.key_bytes);
    request.value_bytes = std::move(item.value_bytes);
    request.pickled_key_bytes = std::move(item.pickled_key_bytes);
    request.hash = item.hash;
    if (prepared < 0) return -1;
    // The serializer and the hash function may have finalised or
    // re-initialised the dictionary: the operation goes to the map it has now.
    return refresh_map(target, request.map);
}

int refresh_map(const DictionaryParts &target, MapPointer &map) {
    if (target.map->get() == map.get()) return 0;
    map = map_of(target);
    return map ? 0 : -1;
}

Ref serialize_value(const DictionaryParts &target, PyObject *serializer, PyObject *object) {
    Ref bytes = serialize(serializer, *target.text_serializer, object);
    if (bytes && refuse_none(bytes) < 0) return Ref();
    return bytes;
}

Ref deserialize(PyObject *serializer, PyObject *bytes) {
    return call_serializer(serializer, operation_context.loads, bytes);
}

char *BytesSink::reserve(std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
    bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    return bytes_ ? PyBytes_AS_STRING(bytes_.get()) : nullptr;
}

MapPointer map_of(const DictionaryParts &parts) {
    MapPointer map = *parts.map;
    if (!map) PyErr_SetString(PyExc_ValueError, parts.no_map_message);
    return map;
}

Ref perform(const OperationEntry &entry, PyObject *target, PyObject *key, PyObject *value) {
    const DictionaryParts parts = entry.parts(target);
    Ref result;
    switch (entry.operation) {
        case ItemOperation::insert:
            result = insert_item(parts, key, value);
            break;
        case ItemOperation::get:
            result = get_item(parts, key);
            break;
        case ItemOperation::remove:
            result = remove_item(parts, key);
            break;
    }
    if (!result) add_traceback(entry.function_entry, operations_file, __LINE__);
    return result;
}

Ref dispatch(const OperationEntry &entry, PyObject *self, PyObject *key, PyObject *value, bool look_for_override) {
    Ref result;
    const Ref override = look_for_override ? find_override(self, *entry.method_name, *entry.own_method) : Ref();
    if (override) {
        result = call_override(override.get(), key, value);
        if (result && check_override_result(entry.operation, result.get()) < 0) result.reset();
    } else if (!PyErr_Occurred()) {
        result = perform(entry, self, key, value);
    }
    if (!result) add_traceback(entry.method_entry, operations_file, __LINE__);
    return result;
}

int int_result(const Ref &result) {
    if (!result) return -1;
    int value = -1;
    to_int(result.get(), &value);  // checked already: an int the class made, or an override's checked result
    return value;
}

PyObject *call_function(const OperationEntry &entry, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[3] = {nullptr, nullptr, nullptr};  // target, key, value
    if (bind_arguments(entry.function_signature, args, nargs, kwnames, values) < 0 ||
        check_argument_type(values[0], entry.target_type, TypeMatch::or_subclass, "target") < 0) {
        add_traceback(entry.function_entry, operations_file, __LINE__);
        return nullptr;
    }
    return perform(entry, values[0], values[1], values[2]).release();
}

PyObject *call_method(const OperationEntry &entry, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    PyObject *values[2] = {nullptr, nullptr};  // key, value
    if (bind_arguments(entry.method_signature, args, nargs, kwnames, values) < 0) {
        add_traceback(entry.method_entry, operations_file, __LINE__);
        return nullptr;
    }
    // Python found this method on the object already: no override to look for.
    return dispatch(entry, self, values[0], values[1], false).release();
}

bool is_own_method(PyObject *found, const PyMethodDef &definition) {
    return PyCFunction_Check(found) && PyCFunction_GET_FUNCTION(found) == definition.ml_meth;
}

Ref find_override(PyObject *self, PyObject *name, const PyMethodDef &definition) {
    Ref found = Ref::steal(PyObject_GetAttr(self, name));
    if (found && is_own_method(found.get(), definition)) found.reset();
    return found;
}

}  // namespace zorvik::binding
