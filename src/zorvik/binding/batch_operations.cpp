// Batches in two phases: every key (and value) is prepared in order with no
// lock held, Python code and all (the serializer, the hash function, the
// source's iteration), then one core call runs the whole batch, which runs no
// Python code but the making of the found values' bytes objects. The found
// values are loaded afterwards, again with no lock held.
//
// Each phase holds its own references (to the keys, the serializer, the
// bytes, the map), since the Python code it runs may change or close the
// dictionary, or the caller's collections, meanwhile.
#include "zorvik/binding/batch_operations.hpp"

#include <exception>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "zorvik/binding/errors.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"

namespace zorvik::binding {
namespace {

// Objects held by one reference each, released with the holder (except by a
// thread that the interpreter ends at shutdown: see Request).
class References {
public:
    References() = default;
    References(const References &) = delete;
    References &operator=(const References &) = delete;
    ~References() {
        if (std::uncaught_exceptions() > 0) return;
        for (PyObject *object : objects_) Py_XDECREF(object);
    }
    std::vector<PyObject *> &objects() { return objects_; }
    PyObject *const *data() const { return objects_.data(); }
    PyObject *operator[](std::size_t i) const { return objects_[i]; }
    std::size_t size() const { return objects_.size(); }

private:
    std::vector<PyObject *> objects_;
};

// Runs `grow` (which may throw std::bad_alloc or std::length_error); a
// failure becomes MemoryError. 0 or -1.
template <class Grow>
int without_exceptions(Grow &&grow) {
    try {
        grow();
        return 0;
    } catch (const std::exception &) {
        PyErr_NoMemory();
        return -1;
    }
}

// A batch's keys (and values), prepared, with the map and serializer they go
// to. The items prepared before a failure stay, for an update's stored prefix.
class PreparedBatch {
public:
    PreparedBatch() = default;
    PreparedBatch(const PreparedBatch &) = delete;
    PreparedBatch &operator=(const PreparedBatch &) = delete;
    ~PreparedBatch() {
        if (std::uncaught_exceptions() > 0) return;
        for (const PreparedItem &item : items) {
            Py_DECREF(item.key_bytes);
            Py_XDECREF(item.value_bytes);
        }
        Py_XDECREF(serializer);
    }

    MapPointer map;
    PyObject *serializer = nullptr;
    std::vector<PreparedItem> items;

    // The views the core takes (the bytes objects outlive them).
    std::vector<BatchKey> keys() const {
        std::vector<BatchKey> out;
        out.reserve(items.size());
        for (const PreparedItem &item : items) out.push_back({view_of(item.key_bytes), item.hash});
        return out;
    }
    std::vector<BatchItem> pairs() const {
        std::vector<BatchItem> out;
        out.reserve(items.size());
        for (const PreparedItem &item : items) {
            out.push_back({view_of(item.key_bytes), view_of(item.value_bytes), item.hash});
        }
        return out;
    }
};

// Prepares keys[0..n) (with values[0..n) when not null) in order, each as a
// single-key operation prepares it; stops at the first that fails, keeping the
// ones before it. The batch then holds the map the dictionary has. 0 or -1.
int prepare_batch(const DictionaryParts &target, PyObject *const *keys, PyObject *const *values, std::size_t n,
                  PreparedBatch &batch) {
    // A dictionary without a map is refused before anything runs.
    batch.map = map_of(target);
    if (!batch.map) return -1;
    batch.serializer = Py_NewRef(*target.serializer);
    if (without_exceptions([&] { batch.items.reserve(n); }) < 0) return -1;
    for (std::size_t i = 0; i < n; ++i) {
        PreparedItem item;
        if (prepare_item(target, nullptr, batch.serializer, keys[i], values ? values[i] : nullptr, item) < 0) {
            Py_XDECREF(item.key_bytes);
            Py_XDECREF(item.value_bytes);
            return -1;
        }
        batch.items.push_back(item);  // reserved: cannot throw
    }
    return refresh_map(target, batch.map);
}

// The keys of a batch as a tuple: `keys` itself when it is one, else a tuple
// of what iterating it gives (so that Python code run later cannot change
// the batch under it). A new reference, or null.
PyObject *key_tuple(PyObject *keys) { return PySequence_Tuple(keys); }

PyObject *const *items_of(PyObject *tuple) { return &PyTuple_GET_ITEM(tuple, 0); }

// The found values of a get_many, by index: the core's sink makes each
// value's bytes object under its bucket's lock (which runs no Python code).
class BytesBatchSink final : public BatchSink {
public:
    explicit BytesBatchSink(References &values) : values_(values) {}
    char *reserve(std::size_t index, std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
        PyObject *&slot = values_.objects()[index];
        Py_XSETREF(slot, PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
        return slot == nullptr ? nullptr : PyBytes_AS_STRING(slot);
    }
    void abandon(std::size_t index) noexcept override { Py_CLEAR(values_.objects()[index]); }

private:
    References &values_;
};

// A new list of n bools.
PyObject *bool_list(const bool *results, std::size_t n) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), PyBool_FromLong(results[i]));
    return list;
}

enum class KeyQuery { contains, remove };

// contains_many or delete_many: a list of the core's results.
PyObject *query_many(const DictionaryParts &target, PyObject *keys, KeyQuery query) {
    PyObject *tuple = key_tuple(keys);
    if (tuple == nullptr) return nullptr;
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(tuple));
    PyObject *result = nullptr;
    {
        PreparedBatch batch;
        std::vector<BatchKey> views;
        std::unique_ptr<bool[]> results;
        if (prepare_batch(target, n == 0 ? nullptr : items_of(tuple), nullptr, n, batch) == 0 &&
            without_exceptions([&] {
                views = batch.keys();
                results.reset(new bool[n + 1]());
            }) == 0) {
            ConcurrentHashMap_string *map = batch.map.get();
            const std::span<bool> out(results.get(), n);
            if (call_core([&] {
                    if (query == KeyQuery::contains) {
                        map->contains_many(views, out);
                    } else {
                        map->remove_many(views, out);
                    }
                })) {
                result = bool_list(results.get(), n);
            }
        }
    }
    Py_DECREF(tuple);
    return result;
}

// ---- reading pairs ------------------------------------------------------------------

// The pairs of a set_many or update, read from a mapping (its keys() and
// [key], as MutableMapping.update reads one) or from an iterable of pairs.
class PairReader {
public:
    PairReader() = default;
    PairReader(const PairReader &) = delete;
    PairReader &operator=(const PairReader &) = delete;
    ~PairReader() {
        if (std::uncaught_exceptions() > 0) return;
        Py_XDECREF(iterator_);
        Py_XDECREF(mapping_);
    }

    // 0 or -1.
    int open(PyObject *source) {
        PyObject *keys_method = PyObject_GetAttrString(source, "keys");
        if (keys_method == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
        }
        PyObject *iterable = source;
        PyObject *keys = nullptr;
        if (keys_method != nullptr) {
            keys = PyObject_CallNoArgs(keys_method);
            Py_DECREF(keys_method);
            if (keys == nullptr) return -1;
            iterable = keys;
            mapping_ = Py_NewRef(source);
        }
        iterator_ = PyObject_GetIter(iterable);
        Py_XDECREF(keys);
        return iterator_ == nullptr ? -1 : 0;
    }

    // Appends up to `most` pairs (new references) to keys and values. 1 when
    // the source may hold more, 0 when it is exhausted, -1 on failure, with
    // the pairs read before the failing one appended.
    int read(std::size_t most, References &keys, References &values) {
        for (std::size_t read = 0; read < most; ++read) {
            PyObject *item = PyIter_Next(iterator_);
            if (item == nullptr) return PyErr_Occurred() ? -1 : 0;
            PyObject *key = nullptr;
            PyObject *value = nullptr;
            const int split = mapping_ != nullptr ? value_of(item, key, value) : pair_of(item, key, value);
            Py_DECREF(item);
            if (split < 0) return -1;
            if (without_exceptions([&] { keys.objects().push_back(key); }) < 0) {
                Py_DECREF(key);
                Py_DECREF(value);
                return -1;
            }
            if (without_exceptions([&] { values.objects().push_back(value); }) < 0) {
                keys.objects().pop_back();
                Py_DECREF(key);
                Py_DECREF(value);
                return -1;
            }
            ++index_;
        }
        return 1;
    }

private:
    // A key of a mapping, and mapping[key].
    int value_of(PyObject *item, PyObject *&key, PyObject *&value) {
        value = PyObject_GetItem(mapping_, item);
        if (value == nullptr) return -1;
        key = Py_NewRef(item);
        return 0;
    }

    // An element of an iterable of pairs, with dict.update's messages.
    int pair_of(PyObject *item, PyObject *&key, PyObject *&value) {
        PyObject *pair = PySequence_Fast(item, "");
        if (pair == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Format(PyExc_TypeError,
                             "cannot convert dictionary update sequence element #%zd to a sequence", index_);
            }
            return -1;
        }
        int result = -1;
        if (PySequence_Fast_GET_SIZE(pair) != 2) {
            PyErr_Format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required",
                         index_, PySequence_Fast_GET_SIZE(pair));
        } else {
            key = Py_NewRef(PySequence_Fast_GET_ITEM(pair, 0));
            value = Py_NewRef(PySequence_Fast_GET_ITEM(pair, 1));
            result = 0;
        }
        Py_DECREF(pair);
        return result;
    }

    PyObject *iterator_ = nullptr;
    PyObject *mapping_ = nullptr;  // the source, when it is read as a mapping
    Py_ssize_t index_ = 0;
};

// Stores the pairs in one batch. `prefix`: when a key or value cannot be
// prepared, the pairs before it are stored before its error is raised
// (update's order); else nothing is stored. 0 or -1.
int store_pairs(const DictionaryParts &target, const References &keys, const References &values, bool prefix) {
    PreparedBatch batch;
    const std::size_t n = keys.size();
    const int prepared = prepare_batch(target, keys.data(), values.data(), n, batch);
    if (prepared == 0 && n == 0) return 0;
    if (prepared < 0 && (!prefix || batch.items.empty() || !batch.map)) return -1;
    // The error of the pair that failed waits while the pairs before it are
    // stored; a failure of that store comes first in order, and wins.
    PyObject *failure = prepared < 0 ? take_exception() : nullptr;
    std::vector<BatchItem> pairs;
    bool stored = false;
    if (prepared == 0 || refresh_map(target, batch.map) == 0) {
        ConcurrentHashMap_string *map = batch.map.get();
        stored = without_exceptions([&] { pairs = batch.pairs(); }) == 0 &&
                 call_core([&] { map->insert_many(pairs); });
    }
    if (!stored) {
        Py_XDECREF(failure);
        return -1;
    }
    if (failure == nullptr) return 0;
    restore_exception(failure);
    return -1;
}

}  // namespace

PyObject *get_many(const DictionaryParts &target, PyObject *keys, PyObject *default_value) {
    PyObject *tuple = key_tuple(keys);
    if (tuple == nullptr) return nullptr;
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(tuple));
    PyObject *list = nullptr;
    {
        PreparedBatch batch;
        References found;
        std::vector<BatchKey> views;
        bool done = false;
        if (prepare_batch(target, n == 0 ? nullptr : items_of(tuple), nullptr, n, batch) == 0 &&
            without_exceptions([&] {
                views = batch.keys();
                found.objects().assign(n, nullptr);
            }) == 0) {
            ConcurrentHashMap_string *map = batch.map.get();
            BytesBatchSink sink(found);
            done = call_core([&] { map->get_many(views, sink); });
        }
        list = done ? PyList_New(static_cast<Py_ssize_t>(n)) : nullptr;
        for (std::size_t i = 0; list != nullptr && i < n; ++i) {
            PyObject *value = found[i] != nullptr ? deserialize(batch.serializer, found[i]) : Py_NewRef(default_value);
            if (value == nullptr) Py_CLEAR(list);
            else PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
        }
    }
    Py_DECREF(tuple);
    return list;
}

PyObject *contains_many(const DictionaryParts &target, PyObject *keys) {
    return query_many(target, keys, KeyQuery::contains);
}

PyObject *delete_many(const DictionaryParts &target, PyObject *keys) {
    return query_many(target, keys, KeyQuery::remove);
}

int set_many(const DictionaryParts &target, PyObject *items) {
    PairReader reader;
    References keys;
    References values;
    if (reader.open(items) < 0 || reader.read(SIZE_MAX, keys, values) < 0) return -1;
    return store_pairs(target, keys, values, false);
}

int update_in_batches(const DictionaryParts &target, PyObject *other) {
    PairReader reader;
    if (reader.open(other) < 0) return -1;
    for (;;) {
        References keys;
        References values;
        const int more = reader.read(static_cast<std::size_t>(kUpdateBatch), keys, values);
        // A pair that cannot be read comes after those read before it: they
        // are stored first, as a store of one pair after another leaves them.
        PyObject *failure = more < 0 ? take_exception() : nullptr;
        if (store_pairs(target, keys, values, true) < 0) {
            Py_XDECREF(failure);
            return -1;
        }
        if (failure != nullptr) {
            restore_exception(failure);
            return -1;
        }
        if (more == 0) return 0;
    }
}

}  // namespace zorvik::binding
