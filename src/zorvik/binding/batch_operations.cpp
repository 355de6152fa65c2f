// Batches in two phases: every key (and value) is prepared in order with no
// lock held, Python code and all (the serializer, the hash function, the
// source's iteration), then one core call runs the whole batch, which runs no
// Python code but the making of the found values' bytes objects. The found
// values are loaded afterwards, again with no lock held.
//
// Each phase holds its own references (to the keys, the serializer, the
// bytes, the map), since the Python code it runs may change or close the
// dictionary, or the caller's collections, meanwhile.
//
// A batch of millions of keys answers a signal (Ctrl-C) as it goes: between
// groups of keys, in both phases, it lets the interpreter run its signal
// handlers, and stops with their exception (KeyboardInterrupt). It then
// leaves what a batch killed at that point leaves: the groups before stored
// (or removed), the rest not.
#include "zorvik/binding/batch_operations.hpp"

#include <algorithm>
#include <exception>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "zorvik/binding/errors.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"

namespace zorvik::binding {
namespace {

// Keys between two checks for a signal, in each phase: a few milliseconds of
// work (serialising a key takes about 0.5 µs, the core's pipeline about 0.3 µs),
// and core calls long enough that the pipeline keeps its pace.
constexpr std::size_t kKeysBetweenSignalChecks = 8192;

// True at the end of each group of keys.
bool group_ends(std::size_t i) { return (i + 1) % kKeysBetweenSignalChecks == 0; }

// Runs `group(from, to)` (one core call, and what goes with it) on
// consecutive groups of the n keys, letting signal handlers run between two
// groups. 0, or -1 with an exception set: the groups before it are done.
template <class Group>
int in_groups(std::size_t n, Group &&group) {
    for (std::size_t from = 0; from < n; from += kKeysBetweenSignalChecks) {
        if (from != 0 && PyErr_CheckSignals() < 0) return -1;
        const std::size_t to = std::min(n, from + kKeysBetweenSignalChecks);
        if (!call_core([&] { group(from, to); })) return -1;
    }
    return 0;
}

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
struct PreparedBatch {
    MapPointer map;
    Ref serializer;
    std::vector<PreparedItem> items;

    // The views the core takes (the bytes objects outlive them).
    std::vector<BatchKey> keys() const {
        std::vector<BatchKey> out;
        out.reserve(items.size());
        for (const PreparedItem &item : items) out.push_back({view_of(item.key_bytes.get()), item.hash});
        return out;
    }
    std::vector<BatchItem> pairs() const {
        std::vector<BatchItem> out;
        out.reserve(items.size());
        for (const PreparedItem &item : items) {
            out.push_back({view_of(item.key_bytes.get()), view_of(item.value_bytes.get()), item.hash});
        }
        return out;
    }
};

// One key of a batch, and its value (null for a batch of keys), borrowed.
struct KeyAndValue {
    PyObject *key;
    PyObject *value;
};

// Prepares the n keys (and values) `item_at(i)` gives, in order, each as a
// single-key operation prepares it; stops at the first that fails, keeping
// the ones before it. The batch then holds the map the dictionary has. 0 or -1.
template <class ItemAt>
int prepare_batch(const DictionaryParts &target, std::size_t n, ItemAt &&item_at, PreparedBatch &batch) {
    // A dictionary without a map is refused before anything runs.
    batch.map = map_of(target);
    if (!batch.map) return -1;
    batch.serializer = Ref::borrow(*target.serializer);
    if (without_exceptions([&] { batch.items.reserve(n); }) < 0) return -1;
    for (std::size_t i = 0; i < n; ++i) {
        const KeyAndValue given = item_at(i);
        PreparedItem item;
        if (prepare_item(target, nullptr, batch.serializer.get(), given.key, given.value, item) < 0) return -1;
        batch.items.push_back(std::move(item));  // reserved: cannot throw
        if (group_ends(i) && PyErr_CheckSignals() < 0) return -1;
    }
    return refresh_map(target, batch.map);
}

// Prepares the keys of a tuple.
int prepare_keys(const DictionaryParts &target, PyObject *tuple, PreparedBatch &batch) {
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(tuple));
    return prepare_batch(
        target, n, [tuple](std::size_t i) { return KeyAndValue{PyTuple_GET_ITEM(tuple, i), nullptr}; }, batch);
}

// The keys of a batch as a tuple: `keys` itself when it is one, else a tuple
// of what iterating it gives (so that Python code run later cannot change
// the batch under it).
Ref key_tuple(PyObject *keys) { return Ref::steal(PySequence_Tuple(keys)); }

// The found values of a get_many, by index: the core's sink makes each
// value's bytes object under its bucket's lock (which runs no Python code).
// A group's indexes count from its first key, at `first` of the batch.
class BytesBatchSink final : public BatchSink {
public:
    explicit BytesBatchSink(std::vector<Ref> &values) : values_(values) {}
    void start_group(std::size_t first) { first_ = first; }
    char *reserve(std::size_t index, std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
        Ref &slot = values_[first_ + index];
        slot = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
        return slot ? PyBytes_AS_STRING(slot.get()) : nullptr;
    }
    void abandon(std::size_t index) noexcept override { values_[first_ + index].reset(); }

private:
    std::vector<Ref> &values_;
    std::size_t first_ = 0;
};

// The key's pickled form, for a key that has one (see read_either).
std::string_view pickled_key(const PreparedItem &item) { return view_of(item.pickled_key_bytes.get()); }

// A new list of n bools.
Ref bool_list(const bool *results, std::size_t n) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return list;
    for (std::size_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), PyBool_FromLong(results[i]));
    }
    return list;
}

enum class KeyQuery { contains, remove };

// contains_many or delete_many: a list of the core's results.
Ref query_many(const DictionaryParts &target, PyObject *keys, KeyQuery query) {
    const Ref tuple = key_tuple(keys);
    if (!tuple) return Ref();
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(tuple.get()));
    PreparedBatch batch;
    std::vector<BatchKey> views;
    std::unique_ptr<bool[]> results;
    if (prepare_keys(target, tuple.get(), batch) < 0 || without_exceptions([&] {
            views = batch.keys();
            results.reset(new bool[n + 1]());
        }) < 0) {
        return Ref();
    }
    ConcurrentHashMap_string *map = batch.map.get();
    const std::span<const BatchKey> all_keys(views);
    const std::span<bool> out(results.get(), n);
    const int done = in_groups(n, [&](std::size_t from, std::size_t to) {
        const std::span<const BatchKey> keys = all_keys.subspan(from, to - from);
        if (query == KeyQuery::contains) {
            map->contains_many(keys, out.subspan(from, to - from));
        } else {
            map->remove_many(keys, out.subspan(from, to - from));
        }
        // A key an earlier version stored in its pickled form: found or
        // removed there too (read_either, remove_key).
        for (std::size_t i = from; i < to; ++i) {
            const PreparedItem &item = batch.items[i];
            if (!item.pickled_key_bytes || (query == KeyQuery::contains && out[i])) continue;
            const bool there = query == KeyQuery::contains ? map->contains(pickled_key(item), item.hash)
                                                           : map->remove(signed_data(pickled_key(item)),
                                                                         pickled_key(item).size(), item.hash);
            out[i] = out[i] || there;
        }
    });
    return done == 0 ? bool_list(results.get(), n) : Ref();
}

// ---- reading pairs ------------------------------------------------------------------

struct Pair {
    Ref key;
    Ref value;
};

// The pairs of a set_many or update, read from a mapping (its keys() and
// [key], as MutableMapping.update reads one) or from an iterable of pairs.
class PairReader {
public:
    // 0 or -1.
    int open(PyObject *source) {
        const Ref keys_method = Ref::steal(PyObject_GetAttrString(source, "keys"));
        if (!keys_method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            iterator_ = Ref::steal(PyObject_GetIter(source));
            return iterator_ ? 0 : -1;
        }
        const Ref keys = Ref::steal(PyObject_CallNoArgs(keys_method.get()));
        if (!keys) return -1;
        mapping_ = Ref::borrow(source);
        iterator_ = Ref::steal(PyObject_GetIter(keys.get()));
        return iterator_ ? 0 : -1;
    }

    // Appends up to `most` pairs to `pairs`. 1 when the source may hold
    // more, 0 when it is exhausted, -1 on failure, with the pairs read before
    // the failing one appended.
    int read(std::size_t most, std::vector<Pair> &pairs) {
        for (std::size_t read = 0; read < most; ++read) {
            const Ref item = Ref::steal(PyIter_Next(iterator_.get()));
            if (!item) return PyErr_Occurred() ? -1 : 0;
            Pair pair;
            const int split = mapping_ ? value_of(item.get(), pair) : pair_of(item.get(), pair);
            if (split < 0) return -1;
            if (without_exceptions([&] { pairs.push_back(std::move(pair)); }) < 0) return -1;
            ++index_;
            // Reading a mapping runs no bytecode, which would answer a signal.
            if (group_ends(read) && PyErr_CheckSignals() < 0) return -1;
        }
        return 1;
    }

private:
    // A key of a mapping, and mapping[key].
    int value_of(PyObject *item, Pair &pair) {
        pair.value = Ref::steal(PyObject_GetItem(mapping_.get(), item));
        if (!pair.value) return -1;
        pair.key = Ref::borrow(item);
        return 0;
    }

    // An element of an iterable of pairs, with dict.update's messages.
    int pair_of(PyObject *item, Pair &pair) {
        const Ref sequence = Ref::steal(PySequence_Fast(item, ""));
        if (!sequence) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Format(PyExc_TypeError,
                             "cannot convert dictionary update sequence element #%zd to a sequence", index_);
            }
            return -1;
        }
        if (PySequence_Fast_GET_SIZE(sequence.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required",
                         index_, PySequence_Fast_GET_SIZE(sequence.get()));
            return -1;
        }
        pair.key = Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), 0));
        pair.value = Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), 1));
        return 0;
    }

    Ref iterator_;
    Ref mapping_;  // the source, when it is read as a mapping
    Py_ssize_t index_ = 0;
};

// Stores the pairs in one batch. `prefix`: when a key or value cannot be
// prepared, the pairs before it are stored before its error is raised
// (update's order); else nothing is stored. 0 or -1.
int store_pairs(const DictionaryParts &target, const std::vector<Pair> &given, bool prefix) {
    PreparedBatch batch;
    const std::size_t n = given.size();
    const int prepared = prepare_batch(
        target, n, [&given](std::size_t i) { return KeyAndValue{given[i].key.get(), given[i].value.get()}; }, batch);
    if (prepared == 0 && n == 0) return 0;
    if (prepared < 0 && (!prefix || batch.items.empty() || !batch.map)) return -1;
    // The error of the pair that failed waits while the pairs before it are
    // stored; a failure of that store comes first in order, and wins.
    Ref failure = prepared < 0 ? take_exception() : Ref();
    std::vector<BatchItem> pairs;
    bool stored = false;
    if (prepared == 0 || refresh_map(target, batch.map) == 0) {
        ConcurrentHashMap_string *map = batch.map.get();
        stored = without_exceptions([&] { pairs = batch.pairs(); }) == 0 &&
                 in_groups(pairs.size(), [&](std::size_t from, std::size_t to) {
                     map->insert_many(std::span<const BatchItem>(pairs).subspan(from, to - from));
                     // The key form's entry replaces one of the pickled form (store_value).
                     for (std::size_t i = from; i < to; ++i) {
                         const PreparedItem &item = batch.items[i];
                         if (!item.pickled_key_bytes) continue;
                         map->remove(signed_data(pickled_key(item)), pickled_key(item).size(), item.hash);
                     }
                 }) == 0;
    }
    if (!stored) return -1;
    if (!failure) return 0;
    restore_exception(std::move(failure));
    return -1;
}

}  // namespace

Ref get_many(const DictionaryParts &target, PyObject *keys, PyObject *default_value) {
    const Ref tuple = key_tuple(keys);
    if (!tuple) return Ref();
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(tuple.get()));
    PreparedBatch batch;
    std::vector<Ref> found;
    std::vector<BatchKey> views;
    if (prepare_keys(target, tuple.get(), batch) < 0 || without_exceptions([&] {
            views = batch.keys();
            found.resize(n);
        }) < 0) {
        return Ref();
    }
    ConcurrentHashMap_string *map = batch.map.get();
    BytesBatchSink sink(found);
    const std::span<const BatchKey> all_keys(views);
    const int done = in_groups(n, [&](std::size_t from, std::size_t to) {
        sink.start_group(from);
        map->get_many(all_keys.subspan(from, to - from), sink);
        for (std::size_t i = from; i < to; ++i) {
            const PreparedItem &item = batch.items[i];
            if (found[i] || !item.pickled_key_bytes) continue;
            BytesSink value;  // read_either's second look
            if (map->get(signed_data(pickled_key(item)), pickled_key(item).size(), item.hash, value)) {
                found[i] = value.take();
            }
        }
    });
    if (done < 0) return Ref();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; list && i < n; ++i) {
        Ref value = found[i] ? deserialize(batch.serializer.get(), found[i].get()) : Ref::borrow(default_value);
        if (!value) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
    }
    return list;
}

Ref contains_many(const DictionaryParts &target, PyObject *keys) { return query_many(target, keys, KeyQuery::contains); }

Ref delete_many(const DictionaryParts &target, PyObject *keys) { return query_many(target, keys, KeyQuery::remove); }

int set_many(const DictionaryParts &target, PyObject *items) {
    PairReader reader;
    std::vector<Pair> pairs;
    if (reader.open(items) < 0 || reader.read(SIZE_MAX, pairs) < 0) return -1;
    return store_pairs(target, pairs, false);
}

int update_in_batches(const DictionaryParts &target, PyObject *other) {
    PairReader reader;
    if (reader.open(other) < 0) return -1;
    for (;;) {
        std::vector<Pair> pairs;
        // The pairs before are stored: a signal stops the update here.
        if (PyErr_CheckSignals() < 0) return -1;
        const int more = reader.read(static_cast<std::size_t>(kUpdateBatch), pairs);
        // A pair that cannot be read comes after those read before it: they
        // are stored first, as a store of one pair after another leaves them.
        Ref failure = more < 0 ? take_exception() : Ref();
        if (store_pairs(target, pairs, true) < 0) return -1;
        if (failure) {
            restore_exception(std::move(failure));
            return -1;
        }
        if (more == 0) return 0;
    }
}

}  // namespace zorvik::binding
