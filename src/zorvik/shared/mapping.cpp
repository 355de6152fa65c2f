// SharedDict's mapping protocol and its atomic per-key operations. Each
// operation on a key runs the binding's one skeleton (binding/operations.hpp:
// serialise with the dictionary's serializer, hash with its hash function,
// then one core call under the one lock of the key's bucket) and shapes the
// result as a Python dict would.
//
// increment and update_with are optimistic: they read the value's bytes,
// compute the new value in Python with no lock held, and store it with a
// compare-and-set on the bytes they read, starting over when another
// thread or process changed the value meanwhile. So no lock is ever held
// while Python code runs, and a value is never changed by two at once.
#include <optional>
#include <string_view>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/batch_operations.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/shared/shared_dict.hpp"

namespace zorvik::shared {
namespace {

using binding::BytesSink;
using binding::call_core;
using binding::Request;
using binding::run_on_key;
using binding::view_of;

// The positional-only methods' count check, with the interpreter's wording.
bool check_positional(const char *name, Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most) {
    if (nargs >= least && nargs <= most) return true;
    if (nargs < least) {
        PyErr_Format(PyExc_TypeError, "%s expected at least %zd argument%s, got %zd", name, least,
                     least == 1 ? "" : "s", nargs);
    } else {
        PyErr_Format(PyExc_TypeError, "%s expected at most %zd arguments, got %zd", name, most, nargs);
    }
    return false;
}

// KeyError(key) as dict raises it: a tuple key stays one argument.
void set_key_error(PyObject *key) {
    const Ref arguments = Ref::steal(PyTuple_Pack(1, key));
    if (arguments) PyErr_SetObject(PyExc_KeyError, arguments.get());
}

// The value loaded from `bytes`.
Ref load(const Request &request, const Ref &bytes) { return binding::deserialize(request.serializer.get(), bytes.get()); }

// ---- the mapping slots ----------------------------------------------------------

Py_ssize_t shared_dict_length(PyObject *self) {
    MapPointer map = map_of(as_shared(self));
    if (!map) return -1;
    return static_cast<Py_ssize_t>(map->entry_count());
}

PyObject *shared_dict_subscript(PyObject *self, PyObject *key) {
    Ref value;
    if (binding::lookup_value(shared_parts(self), key, value) == 0) set_key_error(key);
    return value.release();
}

int shared_dict_ass_subscript(PyObject *self, PyObject *key, PyObject *value) {
    if (value != nullptr) return binding::store_value(shared_parts(self), key, value);
    const int removed = binding::remove_key(shared_parts(self), key);
    if (removed == 0) set_key_error(key);
    return removed == 1 ? 0 : -1;
}

int shared_dict_contains(PyObject *self, PyObject *key) {
    Request request;
    bool found = false;
    if (run_on_key(shared_parts(self), key, nullptr, request, [&](ConcurrentHashMap_string &map) {
            found = map.contains(request.key(), request.hash) ||
                    (request.pickled_key_bytes && map.contains(request.pickled_key(), request.hash));
        }) < 0) {
        return -1;
    }
    return found ? 1 : 0;
}

// ---- methods on a key ---------------------------------------------------------------

PyObject *get_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("get", nargs, 1, 2)) return nullptr;
    Ref value;
    if (binding::lookup_value(shared_parts(self), args[0], value) != 0) return value.release();
    return Py_NewRef(nargs == 2 ? args[1] : Py_None);
}

PyObject *pop_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("pop", nargs, 1, 2)) return nullptr;
    Request request;
    BytesSink sink;
    bool taken = false;
    if (run_on_key(shared_parts(self), args[0], nullptr, request, [&](ConcurrentHashMap_string &map) {
            taken = map.take(request.key(), request.hash, sink);
            // An entry of the key's pickled form goes too: the key is absent after pop.
            if (request.pickled_key_bytes) {
                if (taken) {
                    map.remove(binding::signed_data(request.pickled_key()), request.pickled_key().size(), request.hash);
                } else {
                    taken = map.take(request.pickled_key(), request.hash, sink);
                }
            }
        }) < 0) {
        return nullptr;
    }
    if (taken) return load(request, sink.take()).release();
    if (nargs == 2) return Py_NewRef(args[1]);
    set_key_error(args[0]);
    return nullptr;
}

PyObject *setdefault_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("setdefault", nargs, 1, 2)) return nullptr;
    PyObject *default_value = nargs == 2 ? args[1] : Py_None;
    Request request;
    BytesSink existing;
    bool inserted = false;
    if (binding::prepare(shared_parts(self), args[0], default_value, request) < 0 ||
        binding::adopt_pickled_entry(request) < 0 || !call_core([&] {
            inserted = request.map->insert_if_absent(request.key(), request.value(), request.hash, existing);
        })) {
        return nullptr;
    }
    return inserted ? Py_NewRef(default_value) : load(request, existing.take()).release();
}

// An optional value's bytes: nullopt for ABSENT, else the serialised object,
// whose bytes object `held` keeps alive. 0 or -1.
int bytes_or_absent(PyObject *self, const Request &request, PyObject *object, Ref &held,
                    std::optional<std::string_view> &bytes) {
    held.reset();
    bytes = std::nullopt;
    if (object == state.absent) return 0;
    held = binding::serialize_value(shared_parts(self), request.serializer.get(), object);
    if (!held) return -1;
    bytes = view_of(held.get());
    return 0;
}

const char *const cas_parameters[] = {"key", "expected", "new"};
const binding::Signature cas_signature{"compare_and_set", cas_parameters, 3, 3};

PyObject *compare_and_set_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[3];
    if (binding::bind_arguments(cas_signature, args, nargs, kwnames, values) < 0) return nullptr;
    Request request;
    if (binding::prepare(shared_parts(self), values[0], nullptr, request) < 0 ||
        binding::adopt_pickled_entry(request) < 0) {
        return nullptr;
    }
    Ref expected_bytes;
    Ref new_bytes;
    std::optional<std::string_view> expected;
    std::optional<std::string_view> desired;
    if (bytes_or_absent(self, request, values[1], expected_bytes, expected) < 0 ||
        bytes_or_absent(self, request, values[2], new_bytes, desired) < 0) {
        return nullptr;
    }
    ConcurrentHashMap_string *map = request.map.get();
    bool stored = false;
    const std::string_view key = request.key();
    if (!call_core([&] { stored = map->compare_and_set(key, request.hash, expected, desired); })) return nullptr;
    return PyBool_FromLong(stored);
}

// The key's value as it stands: its stored bytes go to `read` (empty for no
// entry, which gives `missing`, or KeyError when `missing` is ABSENT), the
// loaded object is returned (empty on failure).
Ref read_value(const Request &request, PyObject *key, PyObject *missing, Ref &read) {
    BytesSink sink;
    read.reset();
    const int found = binding::read_stored(request, sink);
    if (found < 0) return Ref();
    if (found == 1) {
        read = sink.take();
        return load(request, read);
    }
    if (missing == state.absent) {
        set_key_error(key);
        return Ref();
    }
    return Ref::borrow(missing);
}

// Stores `updated` (ABSENT: removes the key) if the key still holds the
// bytes `read` (null: still no entry), in one hold of the bucket's lock.
// 1 when stored, 0 when the value changed meanwhile, -1 on failure.
int store_if_unchanged(PyObject *self, const Request &request, PyObject *updated, const Ref &read) {
    Ref updated_bytes;
    std::optional<std::string_view> desired;
    if (bytes_or_absent(self, request, updated, updated_bytes, desired) < 0) return -1;
    const std::optional<std::string_view> expected =
        read ? std::optional<std::string_view>(view_of(read.get())) : std::nullopt;
    bool stored = false;
    const bool done = call_core(
        [&] { stored = request.map->compare_and_set(request.key(), request.hash, expected, desired); });
    return done ? (stored ? 1 : 0) : -1;
}

// The optimistic read-modify-write of increment and update_with: reads the
// value (its bucket locked for the copy only), has `modify` compute the new
// one with no lock held (ABSENT: remove the key), and stores it only if the
// bytes are still those it read; else it starts over. `missing` is what
// `modify` gets for an absent key (ABSENT: KeyError instead). Returns the
// value stored, or empty.
template <class Modify>
Ref read_modify_write(PyObject *self, PyObject *key, PyObject *missing, Modify &&modify) {
    Request request;
    if (binding::prepare(shared_parts(self), key, nullptr, request) < 0 ||
        binding::adopt_pickled_entry(request) < 0) {
        return Ref();
    }
    for (;;) {
        Ref read;
        Ref updated;
        {
            const Ref current = read_value(request, key, missing, read);
            if (!current) return Ref();
            updated = modify(current.get());
        }
        if (!updated) return Ref();
        const int stored = store_if_unchanged(self, request, updated.get(), read);
        if (stored == 1) return updated;
        // 0: another thread or process changed the value after it was read.
        if (stored < 0 || PyErr_CheckSignals() < 0) return Ref();
    }
}

const char *const increment_parameters[] = {"key", "delta", "default"};
const binding::Signature increment_signature{"increment", increment_parameters, 3, 1};

PyObject *increment_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[3];
    if (binding::bind_arguments(increment_signature, args, nargs, kwnames, values) < 0) return nullptr;
    const Ref delta = values[1] != nullptr ? Ref::borrow(values[1]) : Ref::steal(PyLong_FromLong(1));
    const Ref missing = values[2] != nullptr ? Ref::borrow(values[2]) : Ref::steal(PyLong_FromLong(0));
    if (!delta || !missing) return nullptr;
    return read_modify_write(self, values[0], missing.get(), [&delta](PyObject *current) {
               return Ref::steal(PyNumber_Add(current, delta.get()));
           }).release();
}

const char *const update_with_parameters[] = {"key", "function", "default"};
const binding::Signature update_with_signature{"update_with", update_with_parameters, 3, 2};

PyObject *update_with_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[3];
    if (binding::bind_arguments(update_with_signature, args, nargs, kwnames, values) < 0) return nullptr;
    PyObject *function = values[1];
    if (!PyCallable_Check(function)) {
        PyErr_Format(PyExc_TypeError, "update_with's function must be callable, not %.200s",
                     Py_TYPE(function)->tp_name);
        return nullptr;
    }
    PyObject *missing = values[2] != nullptr ? values[2] : state.absent;
    return read_modify_write(self, values[0], missing, [function](PyObject *current) {
               return Ref::steal(PyObject_CallOneArg(function, current));
           }).release();
}

// ---- methods on the whole dictionary ------------------------------------------------

PyObject *update_method(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *other = nullptr;
    if (!PyArg_UnpackTuple(args, "update", 0, 1, &other)) return nullptr;
    if (!map_of(as_shared(self))) return nullptr;
    const binding::DictionaryParts parts = shared_parts(self);
    if (other != nullptr && binding::update_in_batches(parts, other) < 0) return nullptr;
    if (kwargs != nullptr && binding::update_in_batches(parts, kwargs) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *clear_method(PyObject *self, PyObject *) {
    MapPointer map = map_of(as_shared(self));
    if (!map) return nullptr;
    if (!call_core([&] { map->clear(); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject *copy_method(PyObject *self, PyObject *) { return copy_to_dict(self).release(); }

}  // namespace

PyObject *shared_dict_richcompare(PyObject *self, PyObject *other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    const int is_mapping = PyObject_IsInstance(other, state.mapping_abc);
    if (is_mapping < 0) return nullptr;
    if (!is_mapping) Py_RETURN_NOTIMPLEMENTED;
    const Ref mine = copy_to_dict(self);
    if (!mine) return nullptr;
    const Ref theirs = PyDict_Check(other)
                           ? Ref::borrow(other)
                           : Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), other));
    if (!theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

PyMappingMethods shared_dict_as_mapping = {
    shared_dict_length,
    shared_dict_subscript,
    shared_dict_ass_subscript,
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PySequenceMethods shared_dict_as_sequence = {
    .sq_contains = shared_dict_contains,
};
#pragma GCC diagnostic pop

PyMethodDef mapping_methods[] = {
    {"get", ZORVIK_METHOD(get_method), METH_FASTCALL,
     "get(key, default=None, /) -> value\n\nThe value stored for key, or default when there is none. Locks "
     "key's bucket while the value is copied out."},
    {"pop", ZORVIK_METHOD(pop_method), METH_FASTCALL,
     "pop(key[, default], /) -> value\n\nRemoves key and returns its value, in one hold of key's bucket lock "
     "(of threads and processes popping one key at once, exactly one gets the value). Without default, "
     "KeyError when key is absent."},
    {"setdefault", ZORVIK_METHOD(setdefault_method), METH_FASTCALL,
     "setdefault(key, default=None, /) -> value\n\nStores default for key unless key is present, in one hold "
     "of key's bucket lock, and returns the value key then has: default itself when it was stored, else the "
     "value that was there."},
    {"compare_and_set", ZORVIK_METHOD(compare_and_set_method), METH_FASTCALL | METH_KEYWORDS,
     "compare_and_set(key, expected, new) -> bool\n\nWhen key's value is expected, stores new and returns "
     "True; otherwise changes nothing and returns False. Values are compared by their serialized bytes. ABSENT "
     "as expected means \"key is absent\"; ABSENT as new removes key. Locks key's bucket once, for the "
     "comparison and the store together."},
    {"increment", ZORVIK_METHOD(increment_method), METH_FASTCALL | METH_KEYWORDS,
     "increment(key, delta=1, default=0) -> value\n\nAdds delta to key's value (default + delta when key is "
     "absent) and returns the new value; no increment by another thread or process is lost. The addition runs "
     "with no lock held; the new value is stored by a compare_and_set with the value read, and the whole is "
     "done again when another changed it meanwhile. TypeError when the value and delta do not add up."},
    {"update_with", ZORVIK_METHOD(update_with_method), METH_FASTCALL | METH_KEYWORDS,
     "update_with(key, function, default=ABSENT) -> value\n\nStores function(value) for key and returns it, "
     "as increment does: function runs with no lock held and is called again when another thread or process "
     "changed the value meanwhile, so it must have no other effect. An absent key gives function default "
     "(KeyError when there is none); a function that returns ABSENT removes key."},
    {"update", ZORVIK_METHOD(update_method),
     METH_VARARGS | METH_KEYWORDS,
     "update(other=(), /, **kwargs) -> None\n\nd[k] = other[k] for every key of other when it has keys(), "
     "else d[k] = v for every pair (k, v) of other; then the same for kwargs. The pairs are stored as set_many "
     "stores them, a few thousand at a time as they are read: each store locks its key's bucket on its own, so "
     "other threads and processes may see part of the update. A pair that fails (malformed, or a key or value "
     "that cannot be serialized or hashed) raises with the pairs before it stored and the rest not, as storing "
     "one pair after another would leave them."},
    {"clear", clear_method, METH_NOARGS,
     "clear() -> None\n\nRemoves every entry, one bucket at a time under its lock: entries present from the "
     "start of the call to its end are removed; entries stored meanwhile may stay."},
    {"copy", copy_method, METH_NOARGS,
     "copy() -> dict\n\nThe entries as a plain dict, read as iteration reads them (one bucket at a time)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zorvik::shared
