// Each operation serialises the key (and the value) with the dictionary's
// serializer and hashes the key object through fennick's hash_key (first when
// that cannot run Python code, else after the serializer), and only then
// calls the map, so a failure before the map call leaves the dictionary as it
// was. Python code runs in the serializer and the hash function, and other
// threads run while the map waits for a lock; an operation therefore holds its
// own references to the serializer, the serialised bytes and the map.
#include "zorvik/binding/operations.hpp"

#include <cstdint>
#include <exception>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/convert.hpp"
#include "zorvik/binding/errors.hpp"

namespace zorvik::binding {

OperationContext operation_context;

namespace {

constexpr const char operations_file[] = "zorvik/binding/operations.cpp";

// ---- serialisation ---------------------------------------------------------

// serializer.<name>(argument). For a plain module the attribute is read from
// its dict directly (what attribute access on a module does, without the
// type's lookup first); anything else goes through getattr.
PyObject *call_serializer(PyObject *serializer, PyObject *name, PyObject *argument) {
    if (PyModule_CheckExact(serializer)) {
        PyObject *function = PyDict_GetItemWithError(PyModule_GetDict(serializer), name);
        if (function != nullptr) {
            Py_INCREF(function);  // the call may rebind the attribute
            PyObject *result = PyObject_CallOneArg(function, argument);
            Py_DECREF(function);
            return result;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_CallMethodOneArg(serializer, name, argument);
}

// What the serializer's dumps makes of `object`: a bytes object, or None
// (refused later, as an absent result). New reference, null on failure.
PyObject *serialize(PyObject *serializer, bool text_serializer, PyObject *object) {
    PyObject *result = call_serializer(serializer, operation_context.dumps, object);
    if (result == nullptr) return nullptr;
    if (text_serializer && PyUnicode_CheckExact(result)) {
        Py_SETREF(result, PyUnicode_AsUTF8String(result));
        if (result == nullptr) return nullptr;
    }
    if (PyBytes_CheckExact(result) || result == Py_None) return result;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

int refuse_none(PyObject *serialized) {
    if (serialized != Py_None) return 0;
    PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
    return -1;
}

const signed char *data_of(PyObject *bytes) { return reinterpret_cast<const signed char *>(PyBytes_AS_STRING(bytes)); }
std::uint64_t length_of(PyObject *bytes) { return static_cast<std::uint64_t>(PyBytes_GET_SIZE(bytes)); }

// With the built-in hash, the hash of an exact int, str or bytes key is pure:
// it runs no Python code, so it can come first, and the map's cache misses
// then overlap the serializer's work instead of following it (the bucket's
// while the key is serialised, an insert's entry chunk while the value is).
// Every other key is hashed after the serializer, as it always was: its hash
// may run Python code that expects that order.
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

PyObject *new_list(PyObject *first, PyObject *second) {
    PyObject *list = PyList_New(second == nullptr ? 1 : 2);
    if (list == nullptr) return nullptr;
    PyList_SET_ITEM(list, 0, Py_NewRef(first));
    if (second != nullptr) PyList_SET_ITEM(list, 1, Py_NewRef(second));
    return list;
}

// ---- the operations --------------------------------------------------------

PyObject *insert_item(const DictionaryParts &target, PyObject *key, PyObject *value) {
    Request request;
    if (prepare(target, key, value, request) < 0) return nullptr;
    ConcurrentHashMap_string *map = request.map.get();
    bool done = call_core([&] {
        map->insert(data_of(request.key_bytes), data_of(request.value_bytes), length_of(request.key_bytes),
                    length_of(request.value_bytes), request.hash);
    });
    return done ? PyLong_FromLong(1) : nullptr;
}

PyObject *get_item(const DictionaryParts &target, PyObject *key) {
    Request request;
    if (prepare(target, key, nullptr, request) < 0) return nullptr;
    ConcurrentHashMap_string *map = request.map.get();
    BytesSink sink;
    bool found = false;
    if (!call_core([&] { found = map->get(data_of(request.key_bytes), length_of(request.key_bytes), request.hash,
                                          sink); })) {
        return nullptr;
    }
    if (!found) return new_list(Py_False, nullptr);
    PyObject *bytes = sink.take();
    PyObject *loaded = call_serializer(request.serializer, operation_context.loads, bytes);
    Py_DECREF(bytes);
    if (loaded == nullptr) return nullptr;
    PyObject *list = new_list(Py_True, loaded);
    Py_DECREF(loaded);
    return list;
}

PyObject *remove_item(const DictionaryParts &target, PyObject *key) {
    Request request;
    if (prepare(target, key, nullptr, request) < 0) return nullptr;
    ConcurrentHashMap_string *map = request.map.get();
    bool removed = false;
    if (!call_core([&] { removed = map->remove(data_of(request.key_bytes), length_of(request.key_bytes),
                                                request.hash); })) {
        return nullptr;
    }
    return PyLong_FromLong(removed ? 1 : 0);
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

PyObject *call_override(PyObject *override, PyObject *key, PyObject *value) {
    return value != nullptr ? PyObject_CallFunctionObjArgs(override, key, value, nullptr)
                            : PyObject_CallOneArg(override, key);
}

}  // namespace

int prepare_item(const DictionaryParts &target, const ConcurrentHashMap_string *hints, PyObject *serializer,
                 PyObject *key, PyObject *value, PreparedItem &item) {
    const bool hashed_first = hashes_first(target, key);
    if (hashed_first) {
        if (hash_key(target, key, item.hash) < 0) return -1;
        if (hints != nullptr) hints->prefetch_bucket(item.hash);
    }
    const bool text_serializer = *target.text_serializer;
    item.key_bytes = serialize(serializer, text_serializer, key);
    if (item.key_bytes == nullptr) return -1;
    if (value != nullptr) {
        if (hashed_first && hints != nullptr) hints->prefetch_entries(item.hash);
        item.value_bytes = serialize(serializer, text_serializer, value);
        if (item.value_bytes == nullptr) return -1;
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
    request.serializer = Py_NewRef(*target.serializer);
    PreparedItem item;
    const int prepared = prepare_item(target, request.map.get(), request.serializer, key, value, item);
    // The request owns the bytes from here, made or not.
    request.key_bytes = item.key_bytes;
    request.value_bytes = item.value_bytes;
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

PyObject *serialize_value(const DictionaryParts &target, PyObject *serializer, PyObject *object) {
    PyObject *bytes = serialize(serializer, *target.text_serializer, object);
    if (bytes != nullptr && refuse_none(bytes) < 0) Py_CLEAR(bytes);
    return bytes;
}

PyObject *deserialize(PyObject *serializer, PyObject *bytes) {
    return call_serializer(serializer, operation_context.loads, bytes);
}

char *BytesSink::reserve(std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
    bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    return bytes_ == nullptr ? nullptr : PyBytes_AS_STRING(bytes_);
}

MapPointer map_of(const DictionaryParts &parts) {
    MapPointer map = *parts.map;
    if (!map) PyErr_SetString(PyExc_ValueError, parts.no_map_message);
    return map;
}

PyObject *perform(const OperationEntry &entry, PyObject *target, PyObject *key, PyObject *value) {
    const DictionaryParts parts = entry.parts(target);
    PyObject *result = nullptr;
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
    if (result == nullptr) add_traceback(entry.function_entry, operations_file, __LINE__);
    return result;
}

PyObject *dispatch(const OperationEntry &entry, PyObject *self, PyObject *key, PyObject *value,
                   bool look_for_override) {
    PyObject *result = nullptr;
    PyObject *override = look_for_override ? find_override(self, *entry.method_name, *entry.own_method) : nullptr;
    if (override != nullptr) {
        result = call_override(override, key, value);
        Py_DECREF(override);
        if (result != nullptr && check_override_result(entry.operation, result) < 0) Py_CLEAR(result);
    } else if (!PyErr_Occurred()) {
        result = perform(entry, self, key, value);
    }
    if (result == nullptr) add_traceback(entry.method_entry, operations_file, __LINE__);
    return result;
}

int int_result(PyObject *result) {
    if (result == nullptr) return -1;
    int value = -1;
    to_int(result, &value);  // checked already: an int the class made, or an override's checked result
    Py_DECREF(result);
    return value;
}

PyObject *call_function(const OperationEntry &entry, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[3] = {nullptr, nullptr, nullptr};  // target, key, value
    if (bind_arguments(entry.function_signature, args, nargs, kwnames, values) < 0 ||
        check_argument_type(values[0], entry.target_type, TypeMatch::or_subclass, "target") < 0) {
        add_traceback(entry.function_entry, operations_file, __LINE__);
        return nullptr;
    }
    return perform(entry, values[0], values[1], values[2]);
}

PyObject *call_method(const OperationEntry &entry, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    PyObject *values[2] = {nullptr, nullptr};  // key, value
    if (bind_arguments(entry.method_signature, args, nargs, kwnames, values) < 0) {
        add_traceback(entry.method_entry, operations_file, __LINE__);
        return nullptr;
    }
    // Python found this method on the object already: no override to look for.
    return dispatch(entry, self, values[0], values[1], false);
}

bool is_own_method(PyObject *found, const PyMethodDef &definition) {
    return PyCFunction_Check(found) && PyCFunction_GET_FUNCTION(found) == definition.ml_meth;
}

PyObject *find_override(PyObject *self, PyObject *name, const PyMethodDef &definition) {
    PyObject *found = PyObject_GetAttr(self, name);
    if (found == nullptr || !is_own_method(found, definition)) return found;
    Py_DECREF(found);
    return nullptr;
}

}  // namespace zorvik::binding
