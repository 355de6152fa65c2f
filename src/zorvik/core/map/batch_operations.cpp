// Batches: get, contains, remove and insert of many keys in one call.
//
// What a batch is
// ---------------
// Each key of a batch is its own operation: the batch calls the single-key
// operation (entry_operations.cpp) for each key in turn, in the batch's order,
// so every key gets exactly the locks, the result and the failure that
// operation gives it. One bucket lock is held at a time (and, for a get or
// remove in a bucket being split, its partner's while the first is held, as
// the single operations take them); no lock is held from one key to the next.
// So a batch is not a transaction: another thread or process may see some of
// its keys done and the others not yet, or change a key between two of them.
// A failure at one key leaves the keys before it done and the rest untouched.
//
// Why it is faster
// ----------------
// One key at a time, an operation is a chain of cache misses that depend on
// each other: the bucket (its lock and the head of its entry list), the
// bucket's first entry chunk, then the key's data chunks and the value's;
// nothing overlaps them. A batch knows the hashes of the keys to come, so it
// runs as a software pipeline over groups of kGroup keys. While group g is
// worked on, hints run for the three groups after it, one link of the chain
// further for each group nearer: the buckets of group g + 3 are being loaded,
// the first entry chunks of group g + 2 (their buckets, loaded one step
// before, give the chunk's address), and the key's and value's data of the
// entries of group g + 1 whose hash matches (their entry chunks, loaded one
// step before, give those addresses). So when group g is worked on, its
// chain is mostly in the cache, and the misses of three groups overlap.
//
// Hints are issued group by group, not key by key, because a hint that reads
// (the head of a bucket, an entry chunk) stalls when what it reads has not
// arrived, and a bucket lock taken after it waits for that read: the reads of
// one group's hints then wait together, once, instead of one after another
// between the keys' operations. A step of kGroup operations (several hundred
// nanoseconds) gives each link time to arrive before the next step reads it.
//
// The hints are made without a lock (map_state.cpp): a bucket changed or a
// table doubled between a hint and its key's operation only makes the hint a
// wasted one. The operation itself reads nothing the hints read.
#include <algorithm>
#include <array>
#include <stdexcept>

#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/file_errors.hpp"

namespace zorvik {
namespace {

// Keys per step of the pipeline. With about a dozen cache lines a key in
// flight (bucket, entry chunk, key and value chunks), three groups of 8 keep
// the core's outstanding misses near what it can have at once; a step of 8
// operations lasts longer than a miss takes, even past the caches.
constexpr std::size_t kGroup = 8;

// The hints read a bucket's head and an entry chunk's fields without the
// bucket's lock, while its holder writes them plainly: on purpose, since a
// value torn or stale only wastes a prefetch, and each is checked against the
// area before use. ThreadSanitizer reports every such pair of an atomic load
// and a plain store as a race and cannot be told which are meant, so its
// builds run the batches without hints: the same operations in the same
// order, only slower. (The hints' address checks run under AddressSanitizer:
// batch_test.cpp.)
#if defined(__SANITIZE_THREAD__)
constexpr bool kHints = false;
#else
constexpr bool kHints = true;
#endif

// A batch runs its hints only on a table of at least m.batch_hints_from
// entries (map_internal.hpp says why). The count is read once a batch; its
// load pairs with no write in particular (the inserts' and removes'
// fetch-adds only make it an estimate, which is all this needs).
bool worth_hinting(const MapState &m) { return kHints && m.entry_count() >= m.batch_hints_from; }

// Runs each(i) for the keys of group `group` (of n keys).
template <class Each>
void for_group(std::size_t group, std::size_t n, Each &&each) {
    const std::size_t end = std::min(n, (group + 1) * kGroup);
    for (std::size_t i = group * kGroup; i < end; ++i) each(i);
}

// Runs operate(i) for i = 0 .. n-1 in order, with the hints of the groups
// ahead started before each group. `values`: the operation reads the value
// (so its chunks are worth loading ahead).
template <class HashAt, class Operate>
void pipelined(MapState &m, std::size_t n, bool values, HashAt &&hash_at, Operate &&operate) {
    const std::size_t groups = (n + kGroup - 1) / kGroup;
    if (!worth_hinting(m)) {
        for (std::size_t i = 0; i < n; ++i) operate(i);
        return;
    }
    // Step s: buckets of group s, entry chunks of group s - 1, data of group
    // s - 2, and the operations of group s - 3.
    for (std::size_t step = 0; step < groups + 3; ++step) {
        if (step < groups) for_group(step, n, [&](std::size_t i) { m.prefetch_bucket(hash_at(i)); });
        if (step >= 1 && step - 1 < groups) {
            for_group(step - 1, n, [&](std::size_t i) { m.prefetch_entries(hash_at(i)); });
        }
        if (step >= 2 && step - 2 < groups) {
            for_group(step - 2, n, [&](std::size_t i) { m.prefetch_entry_data(hash_at(i), values); });
        }
        if (step >= 3) for_group(step - 3, n, operate);
    }
}

// The sink of one key of a get_many: its value goes to the batch's sink
// under the key's index.
class IndexedSink final : public ValueSink {
public:
    IndexedSink(BatchSink &batch, std::size_t index) : batch_(batch), index_(index) {}
    char *reserve(std::uint64_t length) override { return batch_.reserve(index_, length); }
    void abandon() noexcept override { batch_.abandon(index_); }

private:
    BatchSink &batch_;
    std::size_t index_;
};

void check_results(std::size_t keys, std::size_t results) {
    if (keys != results) throw std::invalid_argument("a batch needs one result slot per key");
}

// The data chains of one group of an insert_many. The group's keys and
// values go into one chain taken from the data pool in one take (one pool
// lock, a run when it is long: ChunkPool::take), filled before any bucket
// lock is taken; each key then only links its chains in under its bucket's
// lock (MapState::insert_filled). The chains are this process's alone until
// then: a death loses them to the segment, as it loses what a pool caches,
// until an offline repair gives back what nothing reaches.
//
// The chain is used in order: item k's key chain, its value chain, then item
// k + 1's. What the keys done so far did not take is given back to the pool
// in one give-back: the rest of the chain (from the first key not done:
// a failure leaves it, and the keys after it, untouched), the key chains of
// keys that were there (only their values were taken) and the values those
// replaced.
class FilledGroup {
public:
    explicit FilledGroup(MapState &m) : m_(m) {}
    // A batch left by an exception gives back what its group holds; a give-
    // back refused then (a segment damaged beyond use) leaves those chunks
    // allocated, as nothing can be reported from here.
    ~FilledGroup() {
        try {
            give_back_spare();
        } catch (...) {
        }
    }
    FilledGroup(const FilledGroup &) = delete;
    FilledGroup &operator=(const FilledGroup &) = delete;

    // Takes and fills the chains of `items` (at most kGroup), after giving
    // back what the group before left. A pool that cannot supply them at once
    // (a file nearly full, where a replacement may still use the last room
    // with a take of its own) or a chain it hands out that cannot be filled
    // leaves the group's keys to be inserted one at a time.
    void fill(std::span<const BatchItem> items) {
        give_back_spare();
        one_at_a_time_ = true;
        std::uint64_t links = 0;
        for (const BatchItem &item : items) links += m_.data_chunks(item.key.size()) + m_.data_chunks(item.value.size());
        Chain taken;
        try {
            taken = m_.data_pool.take(links);
        } catch (const SpaceExhausted &) {
            return;
        }
        rest_ = taken;
        try {
            Offset head = taken.head();
            for (std::size_t k = 0; k < items.size(); ++k) {
                const BatchItem &item = items[k];
                filled_[k] = m_.fill_new_entry(head, item.key.data(), item.key.size(), item.value.data(),
                                               item.value.size(), head);
            }
        } catch (const std::out_of_range &) {
            give_back_spare();
            return;
        }
        next_ = 0;
        one_at_a_time_ = false;
    }

    // Inserts the group's next item (the items in the order fill had them).
    void insert(const BatchItem &item) {
        if (one_at_a_time_) {
            m_.insert(item.key.data(), item.value.data(), item.key.size(), item.value.size(), item.hash);
            return;
        }
        const FilledEntry &filled = filled_[next_];
        const MapState::FilledInsert done = m_.insert_filled(item.key.data(), item.key.size(), item.hash, filled);
        // From here the item is done: its chains are the bucket's, or spare.
        ++next_;
        const std::uint64_t used = filled.key_chunks + filled.value_chunks;
        // The rest goes on at the next item's key chain, whose head filling it recorded.
        const std::uint64_t left = rest_.count() - used;
        rest_ = Chain(m_.area, left == 0 ? 0 : filled_[next_].key_head, left, m_.data_chunk_size);
        if (done.replaced) {
            add_spare(Chain(m_.area, filled.key_head, filled.key_chunks, m_.data_chunk_size), nullptr);
            add_spare(done.old_value, done.old_value_last);
        }
        m_.after_change(done.appended_to_entries);
    }

    // Gives back, in one give-back, the rest of the chain and the spare chains.
    void give_back_spare() {
        add_spare(rest_, nullptr);
        rest_ = Chain();
        const Chain spare(m_.area, spare_head_, spare_count_, m_.data_chunk_size);
        ChunkLink *last = spare_last_;
        spare_count_ = 0;
        spare_last_ = nullptr;
        m_.data_pool.give_back(spare, last);
    }

private:
    // Puts `chain` (with its last link, when known) behind the spare chains.
    void add_spare(const Chain &chain, ChunkLink *last) {
        if (chain.empty()) return;
        if (last == nullptr) last = chain.last();
        if (spare_count_ == 0) {
            spare_head_ = chain.head();
        } else {
            spare_last_->next = chain.head();
        }
        spare_last_ = last;
        spare_count_ += chain.count();
    }

    MapState &m_;
    bool one_at_a_time_ = true;
    std::array<FilledEntry, kGroup> filled_{};
    std::size_t next_ = 0;
    Chain rest_;  // the links no item done so far took, from the first item not done
    Offset spare_head_ = 0;
    std::uint64_t spare_count_ = 0;
    ChunkLink *spare_last_ = nullptr;
};

}  // namespace

void ConcurrentHashMap_string::get_many(std::span<const BatchKey> keys, BatchSink &values) {
    MapState &m = state();
    pipelined(m, keys.size(), true, [keys](std::size_t i) { return keys[i].hash; }, [&](std::size_t i) {
        IndexedSink sink(values, i);
        m.get(keys[i].key.data(), keys[i].key.size(), keys[i].hash, sink);
    });
}

void ConcurrentHashMap_string::contains_many(std::span<const BatchKey> keys, std::span<bool> found) {
    check_results(keys.size(), found.size());
    MapState &m = state();
    pipelined(m, keys.size(), false, [keys](std::size_t i) { return keys[i].hash; }, [&](std::size_t i) {
        found[i] = m.contains(keys[i].key.data(), keys[i].key.size(), keys[i].hash);
    });
}

void ConcurrentHashMap_string::remove_many(std::span<const BatchKey> keys, std::span<bool> removed) {
    check_results(keys.size(), removed.size());
    MapState &m = state();
    // A removal walks the value's chunks to give them back.
    pipelined(m, keys.size(), true, [keys](std::size_t i) { return keys[i].hash; }, [&](std::size_t i) {
        removed[i] = m.remove(keys[i].key.data(), keys[i].key.size(), keys[i].hash);
    });
}

void ConcurrentHashMap_string::insert_many(std::span<const BatchItem> items) {
    MapState &m = state();
    if (m.cache != nullptr) {
        // A cache's store may evict, stamps the entry and counts its bytes:
        // each key goes through insert, which does all of it.
        pipelined(m, items.size(), true, [items](std::size_t i) { return items[i].hash; }, [&](std::size_t i) {
            const BatchItem &item = items[i];
            m.insert(item.key.data(), item.value.data(), item.key.size(), item.value.size(), item.hash);
        });
        return;
    }
    FilledGroup group(m);
    // A replacement compares the stored key and rewrites the value's chunks:
    // both are worth loading ahead (a new key's hash matches no entry, and
    // its hint loads nothing more).
    pipelined(m, items.size(), true, [items](std::size_t i) { return items[i].hash; }, [&](std::size_t i) {
        if (i % kGroup == 0) group.fill(items.subspan(i, std::min(kGroup, items.size() - i)));
        group.insert(items[i]);
    });
    group.give_back_spare();
}

}  // namespace zorvik
