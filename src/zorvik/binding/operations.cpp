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
#include "zorvik/binding/module.hpp"

namespace zorvik::binding {
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
    PyObject *result = call_serializer(serializer, names.dumps, object);
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

// The state one operation works with, each part held by its own reference.
struct Request {
    MapPointer map;
    PyObject *serializer = nullptr;
    PyObject *key_bytes = nullptr;
    PyObject *value_bytes = nullptr;
    std::int64_t hash = 0;

    Request() = default;
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
    ~Request() {
        // Only a thread that the interpreter ends during its shutdown unwinds
        // through here (a forced unwind from a wait that released the
        // interpreter lock): it no longer holds that lock, so it must not
        // touch Python objects. The process is ending; the references stay.
        if (std::uncaught_exceptions() > 0) return;
        Py_XDECREF(serializer);
        Py_XDECREF(key_bytes);
        Py_XDECREF(value_bytes);
    }
};

// With the built-in hash, the hash of an exact int, str or bytes key is pure:
// it runs no Python code, so it can come first, and the map's cache misses
// then overlap the serializer's work instead of following it (the bucket's
// while the key is serialised, an insert's entry chunk while the value is).
// Every other key is hashed after the serializer, as it always was: its hash
// may run Python code that expects that order.
bool hashes_first(const BrandelObject *target, PyObject *key) {
    if (target->base.hash_function != module_state.builtin_hash) return false;
    return PyLong_CheckExact(key) || PyUnicode_CheckExact(key) || PyBytes_CheckExact(key);
}

// hash_key, which reports failure only through the pending exception. 0 or -1.
int hash_key(BrandelObject *target, PyObject *key, Request &request) {
    const Py_ssize_t hash = module_state.hash_key(&target->base, key);
    if (PyErr_Occurred()) return -1;
    request.hash = static_cast<std::int64_t>(hash);
    return 0;
}

// Serialises the key (and the value when given) and hashes the key. 0 or -1.
int prepare(BrandelObject *target, PyObject *key, PyObject *value, Request &request) {
    // A dictionary without a map is refused before anything runs.
    request.map = map_of(target);
    if (!request.map) return -1;
    const bool hashed_first = hashes_first(target, key);
    if (hashed_first) {
        if (hash_key(target, key, request) < 0) return -1;
        request.map->prefetch_bucket(request.hash);
    }
    request.serializer = Py_NewRef(target->serializer);
    const bool text_serializer = target->text_serializer;
    request.key_bytes = serialize(request.serializer, text_serializer, key);
    if (request.key_bytes == nullptr) return -1;
    if (value != nullptr) {
        if (hashed_first) request.map->prefetch_entries(request.hash);
        request.value_bytes = serialize(request.serializer, text_serializer, value);
        if (request.value_bytes == nullptr) return -1;
    }
    if (!hashed_first && hash_key(target, key, request) < 0) return -1;
    if (refuse_none(request.key_bytes) < 0) return -1;
    if (value != nullptr && refuse_none(request.value_bytes) < 0) return -1;
    // The serializer and the hash function may have finalised or
    // re-initialised the dictionary: the operation goes to the map it has now.
    if (target->chm.get() != request.map.get()) {
        request.map = map_of(target);
        if (!request.map) return -1;
    }
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

int insert_entry(BrandelObject *target, PyObject *key, PyObject *value) {
    Request request;
    if (prepare(target, key, value, request) < 0) return -1;
    ConcurrentHashMap_string *map = request.map.get();
    bool done = call_core([&] {
        map->insert(data_of(request.key_bytes), data_of(request.value_bytes), length_of(request.key_bytes),
                    length_of(request.value_bytes), request.hash);
    });
    return done ? 1 : -1;
}

// A found value goes straight into a new bytes object (the map copies it
// there under the bucket lock), with no buffer in between.
class BytesSink final : public ValueSink {
public:
    BytesSink() = default;
    BytesSink(const BytesSink &) = delete;
    BytesSink &operator=(const BytesSink &) = delete;
    ~BytesSink() {
        if (std::uncaught_exceptions() == 0) Py_XDECREF(bytes_);  // see Request
    }
    char *reserve(std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
        bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
        return bytes_ == nullptr ? nullptr : PyBytes_AS_STRING(bytes_);
    }
    void abandon() noexcept override { Py_CLEAR(bytes_); }
    PyObject *take() {
        PyObject *bytes = bytes_;
        bytes_ = nullptr;
        return bytes;
    }

private:
    PyObject *bytes_ = nullptr;
};

PyObject *get_entry(BrandelObject *target, PyObject *key) {
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
    PyObject *loaded = call_serializer(request.serializer, names.loads, bytes);
    Py_DECREF(bytes);
    if (loaded == nullptr) return nullptr;
    PyObject *list = new_list(Py_True, loaded);
    Py_DECREF(loaded);
    return list;
}

int remove_entry(BrandelObject *target, PyObject *key) {
    Request request;
    if (prepare(target, key, nullptr, request) < 0) return -1;
    ConcurrentHashMap_string *map = request.map.get();
    bool removed = false;
    if (!call_core([&] { removed = map->remove(data_of(request.key_bytes), length_of(request.key_bytes),
                                                request.hash); })) {
        return -1;
    }
    return removed ? 1 : 0;
}

// ---- module functions ------------------------------------------------------

const char *const insert_parameters[] = {"target", "input_key", "input_value"};
const char *const get_parameters[] = {"target", "input_key"};
const Signature dict_insert_signature{"dict_insert", insert_parameters, 3, 3};
const Signature dict_get_signature{"dict_get", get_parameters, 2, 2};
const Signature dict_remove_signature{"dict_remove", get_parameters, 2, 2};

// Binds the arguments of a module function and tests `target`. 0 or -1 (with
// the function's traceback entry added).
int bind_target(const Signature &signature, const char *entry, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames, PyObject **values) {
    if (bind_arguments(signature, args, nargs, kwnames, values) < 0 ||
        check_argument_type(values[0], &brandel_type, TypeMatch::or_subclass, "target") < 0) {
        add_traceback(entry, operations_file, __LINE__);
        return -1;
    }
    return 0;
}

PyObject *dict_insert_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[3];
    if (bind_target(dict_insert_signature, "zorvik.brandel.dict_insert", args, nargs, kwnames, values) < 0) {
        return nullptr;
    }
    int result = dict_insert(reinterpret_cast<BrandelObject *>(values[0]), values[1], values[2], 0);
    return result < 0 ? nullptr : PyLong_FromLong(result);
}

PyObject *dict_get_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[2];
    if (bind_target(dict_get_signature, "zorvik.brandel.dict_get", args, nargs, kwnames, values) < 0) {
        return nullptr;
    }
    return dict_get(reinterpret_cast<BrandelObject *>(values[0]), values[1], 0);
}

PyObject *dict_remove_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[2];
    if (bind_target(dict_remove_signature, "zorvik.brandel.dict_remove", args, nargs, kwnames, values) < 0) {
        return nullptr;
    }
    int result = dict_remove(reinterpret_cast<BrandelObject *>(values[0]), values[1], 0);
    return result < 0 ? nullptr : PyLong_FromLong(result);
}

// ---- methods ---------------------------------------------------------------

const char *const method_insert_parameters[] = {"input_key", "input_value"};
const char *const method_get_parameters[] = {"input_key"};
const Signature insert_signature{"insert", method_insert_parameters, 2, 2};
const Signature get_signature{"get", method_get_parameters, 1, 1};
const Signature remove_signature{"remove", method_get_parameters, 1, 1};

PyObject *insert_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[2];
    if (bind_arguments(insert_signature, args, nargs, kwnames, values) < 0) {
        add_traceback("zorvik.brandel.brandel.insert", operations_file, __LINE__);
        return nullptr;
    }
    int result = brandel_insert(reinterpret_cast<BrandelObject *>(self), values[0], values[1], 1);
    return result < 0 ? nullptr : PyLong_FromLong(result);
}

PyObject *get_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[1];
    if (bind_arguments(get_signature, args, nargs, kwnames, values) < 0) {
        add_traceback("zorvik.brandel.brandel.get", operations_file, __LINE__);
        return nullptr;
    }
    return brandel_get(reinterpret_cast<BrandelObject *>(self), values[0], 1);
}

PyObject *remove_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[1];
    if (bind_arguments(remove_signature, args, nargs, kwnames, values) < 0) {
        add_traceback("zorvik.brandel.brandel.remove", operations_file, __LINE__);
        return nullptr;
    }
    int result = brandel_remove(reinterpret_cast<BrandelObject *>(self), values[0], 1);
    return result < 0 ? nullptr : PyLong_FromLong(result);
}

// The attribute `name` of `self` when it is a Python override of the method
// `definition` (new reference); null when it is the class's own method or on
// failure (then with an exception set).
PyObject *find_override(BrandelObject *self, PyObject *name, const PyMethodDef &definition) {
    PyObject *found = PyObject_GetAttr(reinterpret_cast<PyObject *>(self), name);
    if (found == nullptr || !is_own_method(found, definition)) return found;
    Py_DECREF(found);
    return nullptr;
}

// The int an override returned. 0 or -1.
int override_int(PyObject *result, int *out) {
    if (result == nullptr) return -1;
    int status = to_int(result, out);
    Py_DECREF(result);
    return status;
}

}  // namespace

// ---- exported definitions --------------------------------------------------

PyMethodDef dict_insert_def = {
    "dict_insert", ZORVIK_FASTCALL(dict_insert_function), METH_FASTCALL | METH_KEYWORDS,
    "dict_insert(target: brandel, input_key, input_value) -> int\n\ninsert the target brandel with input_key and "
    "input_value\n\n    :param target: the target brandel\n    :param input_key: the target key value\n    "
    ":param input_value: python object to insert \n    :return: 1 if successful\n    "};

PyMethodDef dict_get_def = {
    "dict_get", ZORVIK_FASTCALL(dict_get_function), METH_FASTCALL | METH_KEYWORDS,
    "dict_get(target: brandel, input_key) -> list\n\nget the target object from brandel with input_key\n\n    "
    ":param target: the target brandel\n    :param input_key: the target key value\n    :return: list in form of "
    "[Boolean, object]. The first boolean value indicates whether the input_key is in the dict. The second python "
    "object is the target object if the first boolean value is True. \n    "};

PyMethodDef dict_remove_def = {
    "dict_remove", ZORVIK_FASTCALL(dict_remove_function), METH_FASTCALL | METH_KEYWORDS,
    "dict_remove(target: brandel, input_key) -> int\n\nremove the target object from brandel with input_key\n\n    "
    ":param target: the target brandel\n    :param input_key: the target key value\n    :return: 1 if successfully "
    "removed, 0 if the input_key not in the target brandel\n    "};

PyMethodDef insert_method_def = {
    "insert", ZORVIK_FASTCALL(insert_method), METH_FASTCALL | METH_KEYWORDS,
    "insert(self, input_key, input_value) -> int\n\ninsert the brandel with input_key and input_value\n\n        "
    ":param input_key: the target key value\n        :param input_value: python object to insert \n        "
    ":return: 1 if successful\n        "};

PyMethodDef get_method_def = {
    "get", ZORVIK_FASTCALL(get_method), METH_FASTCALL | METH_KEYWORDS,
    "get(self, input_key) -> list\n\nget the target object from brandel with input_key\n    \n        "
    ":param input_key: the target key value\n        :return: list in form of [Boolean, object]. The first boolean "
    "value indicates whether the input_key is in the dict. The second python object is the target object if the "
    "first boolean value is True. \n        "};

PyMethodDef remove_method_def = {
    "remove", ZORVIK_FASTCALL(remove_method), METH_FASTCALL | METH_KEYWORDS,
    "remove(self, input_key) -> int\n\nremove the target object from brandel with input_key\n\n        "
    ":param input_key: the target key value\n        :return: 1 if successfully removed, 0 if the input_key not in "
    "the target brandel\n        "};

bool is_own_method(PyObject *found, const PyMethodDef &definition) {
    return PyCFunction_Check(found) && PyCFunction_GET_FUNCTION(found) == definition.ml_meth;
}

// ---- native forms ----------------------------------------------------------

int dict_insert(BrandelObject *target, PyObject *key, PyObject *value, int) {
    int result = insert_entry(target, key, value);
    if (result < 0) add_traceback("zorvik.brandel.dict_insert", operations_file, __LINE__);
    return result;
}

PyObject *dict_get(BrandelObject *target, PyObject *key, int) {
    PyObject *result = get_entry(target, key);
    if (result == nullptr) add_traceback("zorvik.brandel.dict_get", operations_file, __LINE__);
    return result;
}

int dict_remove(BrandelObject *target, PyObject *key, int) {
    int result = remove_entry(target, key);
    if (result < 0) add_traceback("zorvik.brandel.dict_remove", operations_file, __LINE__);
    return result;
}

// ---- native method table entries -------------------------------------------

int brandel_insert(BrandelObject *self, PyObject *key, PyObject *value, int skip_dispatch) {
    int result = -1;
    if (skip_dispatch) {
        result = dict_insert(self, key, value, 0);
    } else if (PyObject *override = find_override(self, names.insert, insert_method_def)) {
        PyObject *returned = PyObject_CallFunctionObjArgs(override, key, value, nullptr);
        Py_DECREF(override);
        if (override_int(returned, &result) < 0) result = -1;
    } else if (!PyErr_Occurred()) {
        result = dict_insert(self, key, value, 0);
    }
    if (result == -1 && PyErr_Occurred()) add_traceback("zorvik.brandel.brandel.insert", operations_file, __LINE__);
    return result;
}

PyObject *brandel_get(BrandelObject *self, PyObject *key, int skip_dispatch) {
    PyObject *result = nullptr;
    if (skip_dispatch) {
        result = dict_get(self, key, 0);
    } else if (PyObject *override = find_override(self, names.get, get_method_def)) {
        result = PyObject_CallOneArg(override, key);
        Py_DECREF(override);
        if (result != nullptr && !PyList_CheckExact(result) && result != Py_None) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(result)->tp_name);
            Py_CLEAR(result);
        }
    } else if (!PyErr_Occurred()) {
        result = dict_get(self, key, 0);
    }
    if (result == nullptr) add_traceback("zorvik.brandel.brandel.get", operations_file, __LINE__);
    return result;
}

int brandel_remove(BrandelObject *self, PyObject *key, int skip_dispatch) {
    int result = -1;
    if (skip_dispatch) {
        result = dict_remove(self, key, 0);
    } else if (PyObject *override = find_override(self, names.remove, remove_method_def)) {
        PyObject *returned = PyObject_CallOneArg(override, key);
        Py_DECREF(override);
        if (override_int(returned, &result) < 0) result = -1;
    } else if (!PyErr_Occurred()) {
        result = dict_remove(self, key, 0);
    }
    if (result == -1 && PyErr_Occurred()) add_traceback("zorvik.brandel.brandel.remove", operations_file, __LINE__);
    return result;
}

}  // namespace zorvik::binding
