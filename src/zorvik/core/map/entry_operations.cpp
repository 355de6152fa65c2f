// Entry operations: insert, get and remove on byte-string keys and values,
// called by any number of threads in any number of attached processes at once.
//
// The protocol
// ------------
// Each operation locks exactly the bucket its hash leads to in the table in
// force (bucket = hash mod B x chunks_in_use) and holds that lock for all of its
// work on the bucket; nothing else guards a bucket's entries, so every read of
// them happens under the lock, and a reader never sees a half-written entry.
//
// The table can double while an operation waits for its lock (expansion.cpp).
// So after taking the lock an operation reads the bucket's `forward` and then
// chunks_in_use again; when the table has doubled and the hash now leads
// elsewhere, it lets go and starts over. The order of those two reads is what
// makes this sound: the participant that ends an expansion doubles
// chunks_in_use before it clears any `forward`, so a thread that sees a cleared
// `forward` also sees the doubled count (loads are not reordered with loads on
// x86-64, and the clear is a locked instruction).
//
// A bucket with `forward` set is being split. An insert does not touch it: it
// lets go, joins the expansion on its first such meeting when the load rule
// admits it, or sleeps a millisecond, and starts over. A get or remove that
// finds no match there also looks in the partner bucket `forward` names, under
// the partner's lock, taken while holding the first: the entries the split
// already moved are there. This cannot deadlock: `forward` always leads to a
// bucket of higher index, and no thread waits for a lower bucket's lock while
// holding a higher one's.
//
// Failure. An operation takes every chunk it needs from its pools before it
// changes anything in the bucket, so when a pool cannot supply them (the
// segment is full) the exception leaves the bucket exactly as it was, with its
// lock released by the guard and the chunks already taken given back. What it
// gives back goes to the pools after the bucket is consistent again.
//
// Lock order: a bucket's lock, then (for get and remove) its partner's, then a
// pool's lock, then the allocator's. insert lets go of its bucket before it
// takes expansion_lock.
#include <cxxabi.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

using Impl = ConcurrentHashMap_string::Impl;

// One entry of a bucket, with the link whose entry chunk holds it.
struct EntryPlace {
    MapEntry *entry = nullptr;
    ChunkLink *link = nullptr;
    std::uint64_t index = 0;
    explicit operator bool() const { return entry != nullptr; }
};

// Checks what every walk of a bucket relies on; a bucket that breaks it is
// reported as "offset overflow!" rather than walked.
void check_entries(const ChunkArray &entries) {
    if (entries.per_chunk != kEntriesPerChunk || entries.chunk_count == 0 ||
        entries.chunk_count < chunks_for(entries.length, kEntriesPerChunk)) {
        throw offset_overflow_exception();
    }
}

// Calls visit(place) for entries 0 .. length-1 until it returns true; returns
// the place it stopped at, or an empty place.
template <class Visit>
EntryPlace walk_entries(const Impl &m, Bucket *bucket, Visit visit) {
    const ChunkArray &entries = bucket->entries;
    check_entries(entries);
    EntryPlace place;
    place.link = m.link_at(entries.head);
    for (std::uint64_t i = 0; i < entries.length; ++i) {
        if (i != 0 && i % kEntriesPerChunk == 0) place.link = m.link_at(place.link->next);
        place.index = i;
        place.entry = entry_in(m, place.link, i);
        if (visit(place)) return place;
    }
    return EntryPlace{};
}

// The link holding entry `index` of a bucket (index < chunk_count x 2).
ChunkLink *entry_link_at(const Impl &m, const ChunkArray &entries, std::uint64_t index) {
    ChunkLink *link = m.link_at(entries.head);
    for (std::uint64_t k = index / kEntriesPerChunk; k != 0; --k) link = m.link_at(link->next);
    return link;
}

// A stored key equals (key, length) when its length and bytes match; its bytes
// are compared piece by piece along its chain.
bool key_equals(const Impl &m, const ChunkArray &stored, const signed char *key, std::uint64_t length) {
    if (stored.length != length) return false;
    if (length == 0) return true;
    const std::uint64_t per_chunk = stored.per_chunk;
    if (per_chunk == 0 || stored.chunk_count != chunks_for(length, per_chunk)) throw offset_overflow_exception();
    Offset link_offset = stored.head;
    for (std::uint64_t done = 0; done < length;) {
        const ChunkLink *link = m.link_at(link_offset);
        std::uint64_t piece = std::min(per_chunk, length - done);
        if (std::memcmp(m.payload_of(link, piece), key + done, piece) != 0) return false;
        done += piece;
        link_offset = link->next;
    }
    return true;
}

EntryPlace find_key(const Impl &m, Bucket *bucket, const signed char *key, std::uint64_t key_length,
                    std::int64_t hash) {
    return walk_entries(m, bucket, [&](const EntryPlace &place) {
        return place.entry->hash == hash && key_equals(m, place.entry->key, key, key_length);
    });
}

// Copies the bytes of `array` into `out` (array.length bytes).
void copy_out(const Impl &m, const ChunkArray &array, signed char *out) {
    const std::uint64_t length = array.length;
    const std::uint64_t per_chunk = array.per_chunk;
    if (length == 0) return;
    if (per_chunk == 0 || array.chunk_count != chunks_for(length, per_chunk)) throw offset_overflow_exception();
    Offset link_offset = array.head;
    for (std::uint64_t done = 0; done < length;) {
        const ChunkLink *link = m.link_at(link_offset);
        std::uint64_t piece = std::min(per_chunk, length - done);
        std::memcpy(out + done, m.payload_of(link, piece), piece);
        done += piece;
        link_offset = link->next;
    }
}

// Writes `length` bytes into the `count` links chained from `first` (fresh
// from the data pool); returns the link after the last one used (the chain's
// `next`), which is where the following array of a combined take begins.
ChunkLink *fill_links(const Impl &m, ChunkLink *first, std::uint64_t count, const signed char *bytes,
                      std::uint64_t length) {
    const std::uint64_t per_chunk = m.data_chunk_size;
    ChunkLink *link = first;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t done = i * per_chunk;
        std::uint64_t piece = std::min(per_chunk, length - done);
        std::memcpy(m.payload_of(link, piece), bytes + done, piece);
        if (i + 1 < count) link = m.link_at(link->next);
    }
    return count ? reinterpret_cast<ChunkLink *>(m.base + link->next) : first;
}

void write_array(const Impl &m, ChunkArray &array, ChunkLink *first, std::uint64_t count, std::uint64_t length) {
    array.head = count ? to_offset(m.base, first) : 0;
    array.length = length;
    array.chunk_count = count;
    array.per_chunk = m.data_chunk_size;
    std::memset(array.padding, 0, sizeof array.padding);
    array.base = reinterpret_cast<std::uint64_t>(m.base);
}

void zero_array(ChunkArray &array) { std::memset(&array, 0, sizeof array); }

// Replaces the bytes of `array` (a key or value stored with the data pool):
// reuses its chunks in place, takes only the extra ones (before changing
// anything, so a full segment leaves the array as it was) and gives back the
// surplus once the array is consistent.
void assign_bytes(Impl &m, ChunkArray &array, const signed char *bytes, std::uint64_t length) {
    const std::uint64_t per_chunk = m.data_chunk_size;
    const std::uint64_t old_count = array.chunk_count;
    const std::uint64_t new_count = chunks_for(length, per_chunk);
    if (old_count != 0 && array.per_chunk != per_chunk) throw offset_overflow_exception();

    // Walk the chain before taking anything, so that a broken chain throws
    // while nothing has been taken or changed.
    ChunkLink *link = old_count ? m.link_at(array.head) : nullptr;
    for (std::uint64_t i = 1; i < old_count; ++i) link = m.link_at(link->next);
    char *extra = new_count > old_count ? m.data_pool.take_data_links(new_count - old_count) : nullptr;

    const std::uint64_t kept = std::min(old_count, new_count);
    link = old_count ? m.link_at(array.head) : nullptr;
    ChunkLink *last_kept = nullptr;
    for (std::uint64_t i = 0; i < kept; ++i) {
        std::uint64_t done = i * per_chunk;
        std::uint64_t piece = std::min(per_chunk, length - done);
        std::memcpy(m.payload_of(link, piece), bytes + done, piece);
        last_kept = link;
        if (i + 1 < old_count) link = m.link_at(link->next);
    }
    // `link` is now the first surplus link when old_count > new_count.
    ChunkLink *surplus = old_count > new_count ? (new_count == 0 ? m.link_at(array.head) : link) : nullptr;

    if (extra) {
        ChunkLink *first_extra = reinterpret_cast<ChunkLink *>(extra);
        if (last_kept) {
            last_kept->next = to_offset(m.base, first_extra);
        } else {
            array.head = to_offset(m.base, first_extra);
        }
        fill_links(m, first_extra, new_count - old_count, bytes + kept * per_chunk, length - kept * per_chunk);
    }
    array.length = length;
    array.chunk_count = new_count;
    array.per_chunk = static_cast<std::uint8_t>(per_chunk);
    array.base = reinterpret_cast<std::uint64_t>(m.base);

    if (surplus) m.data_pool.give_back(old_count - new_count, reinterpret_cast<char *>(surplus));
}

// Gives the data chunks of a removed entry back to the pool in one call, the
// key's chain followed by the value's: the order in which an append takes
// them, so that the next append takes neighbouring chunks again. `key_last`
// is the key's last link (null for an empty key); its `next` is stale, and the
// entry has left the bucket, so it is free to chain the value behind the key.
void release_entry_data(Impl &m, const ChunkArray &key, ChunkLink *key_last, const ChunkArray &value) {
    if (key.chunk_count == 0) {
        if (value.chunk_count != 0) {
            m.data_pool.give_back(value.chunk_count, reinterpret_cast<char *>(m.link_at(value.head)));
        }
        return;
    }
    if (value.chunk_count != 0) key_last->next = value.head;
    m.data_pool.give_back(key.chunk_count + value.chunk_count, reinterpret_cast<char *>(m.link_at(key.head)));
}

// Locks the bucket `hash` leads to in the table in force and returns it with
// its `forward` as read under the lock. Starts over when the table doubled
// while this thread waited and the hash now leads to another bucket.
Bucket *lock_bucket(Impl &m, std::int64_t hash, Offset &forward) {
    for (;;) {
        const std::uint64_t chunks = m.chunks_in_use();
        const std::uint64_t index = m.bucket_index(hash, chunks);
        Bucket *bucket = m.bucket_at(index);
        char *word = lock_word(bucket);
        lock_segment_word(word, kBucketLockName);
        // Read `forward` before the count: see the essay above.
        forward = static_cast<Offset>(atomics::load_field48(forward_word(bucket)));
        const std::uint64_t now = m.chunks_in_use();
        // The entries' `base` field is scratch that no process reads; it is
        // not written here, as its last two bytes share the aligned word
        // through which a splitter sets `forward` without the bucket lock.
        if (now == chunks || m.bucket_index(hash, now) == index) return bucket;
        unlock_segment_word(word);
    }
}

Bucket *partner_of(const Impl &m, Offset forward) {
    if (forward % 8 != 2) throw offset_overflow_exception();
    return reinterpret_cast<Bucket *>(m.checked(forward, sizeof(Bucket)));
}

bool copy_value(const Impl &m, const MapEntry &entry, ValueSink &sink) {
    const ChunkArray &value = entry.value;
    const std::uint64_t size = value.chunk_count == 0 ? 0 : value.length;
    char *out = sink.reserve(size);
    if (!out) throw std::bad_alloc();
    try {
        copy_out(m, value, reinterpret_cast<signed char *>(out));
    } catch (...) {
        sink.abandon();
        throw;
    }
    return true;
}

// Appends a new entry to a locked bucket with no entry for the key. Returns
// whether the bucket held entries before (only such an append can start an
// expansion).
bool append_entry(Impl &m, Bucket *bucket, const signed char *key, const signed char *value,
                  std::uint64_t key_length, std::uint64_t value_length, std::int64_t hash) {
    ChunkArray &entries = bucket->entries;
    check_entries(entries);
    const std::uint64_t n = entries.length;
    const bool needs_entry_chunk = n == entries.chunk_count * kEntriesPerChunk;
    const std::uint64_t key_chunks = chunks_for(key_length, m.data_chunk_size);
    const std::uint64_t value_chunks = chunks_for(value_length, m.data_chunk_size);

    // The slot's link, found before anything is taken (a broken chain throws
    // here); then everything the append needs, before anything changes.
    ChunkLink *link = entry_link_at(m, entries, needs_entry_chunk ? n - 1 : n);
    char *new_entry_link = needs_entry_chunk ? m.entry_pool.take_entry_links(1) : nullptr;
    char *data = nullptr;
    if (key_chunks + value_chunks != 0) {
        try {
            data = m.data_pool.take_data_links(key_chunks + value_chunks);
        } catch (...) {
            if (new_entry_link) m.entry_pool.give_back(1, new_entry_link);
            throw;
        }
    }

    if (needs_entry_chunk) {
        link->next = to_offset(m.base, new_entry_link);
        link = reinterpret_cast<ChunkLink *>(new_entry_link);
    }
    MapEntry *slot = entry_in(m, link, n);
    ChunkLink *key_first = reinterpret_cast<ChunkLink *>(data);
    ChunkLink *value_first = fill_links(m, key_first, key_chunks, key, key_length);
    fill_links(m, value_first, value_chunks, value, value_length);
    write_array(m, slot->key, key_first, key_chunks, key_length);
    write_array(m, slot->value, value_first, value_chunks, value_length);
    slot->hash = hash;
    if (needs_entry_chunk) entries.chunk_count += 1;
    entries.length = n + 1;
    m.add_entries(1);
    return n != 0;
}

// Walks the chain of a key or value by its count, so that a broken chain
// throws before anything has been changed; returns its last link (null for an
// empty array).
ChunkLink *checked_last_link(const Impl &m, const ChunkArray &array) {
    if (array.chunk_count == 0) return nullptr;
    ChunkLink *link = m.link_at(array.head);
    for (std::uint64_t i = 1; i < array.chunk_count; ++i) link = m.link_at(link->next);
    return link;
}

// Removes the entry at `found` from a locked bucket: the last entry moves into
// its slot, the slots beyond the new length are all zero, and the entry chunks
// that no entry needs any more go back to the pool with the key's and value's
// data chunks, once the bucket is consistent.
void remove_entry(Impl &m, Bucket *bucket, const EntryPlace &found) {
    ChunkArray &entries = bucket->entries;
    const std::uint64_t n = entries.length;
    ChunkLink *last_link = entry_link_at(m, entries, n - 1);
    MapEntry *last = entry_in(m, last_link, n - 1);
    const ChunkArray gone_key = found.entry->key;
    const ChunkArray gone_value = found.entry->value;
    ChunkLink *gone_key_last = checked_last_link(m, gone_key);
    checked_last_link(m, gone_value);

    if (found.entry != last) {
        found.entry->key = last->key;
        found.entry->value = last->value;
        found.entry->hash = last->hash;
    } else {
        last->hash = 0;
    }
    zero_array(last->key);
    zero_array(last->value);
    entries.length = n - 1;

    // Entry chunks: keep the ones n - 1 entries fill, and always the first.
    const std::uint64_t needed = std::max<std::uint64_t>(1, chunks_for(n - 1, kEntriesPerChunk));
    const std::uint64_t filled_before = chunks_for(n, kEntriesPerChunk);  // last_link is link filled_before - 1
    const std::uint64_t surplus = entries.chunk_count - needed;
    ChunkLink *first_surplus = nullptr;
    if (surplus != 0) {
        first_surplus = needed < filled_before ? last_link : m.link_at(last_link->next);
    }
    entries.chunk_count = needed;
    m.add_entries(-1);

    release_entry_data(m, gone_key, gone_key_last, gone_value);
    if (first_surplus) m.entry_pool.give_back(surplus, reinterpret_cast<char *>(first_surplus));
}

}  // namespace

// The insert is done when this runs: a failure of the expansion it starts or
// joins (a lock whose holder died, a broken structure) must not report the
// stored entry as a failed insert. It stays for the operations that need
// what is broken to report.
void Impl::help_expand_after_insert() {
    try {
        if (join_locked()) expansion_worker();
    } catch (abi::__forced_unwind &) {
        throw;  // the thread is being ended: nothing may hold it up
    } catch (...) {
    }
}

void Impl::insert(const signed char *key, const signed char *value, std::uint64_t key_length,
                  std::uint64_t value_length, std::int64_t hash) {
    bool first_meeting = true;
    std::uint64_t waits = 0;
    ExpansionProgress progress;
    // The data links an append would take do not depend on the bucket: their
    // misses overlap the bucket's instead of following it.
    data_pool.prefetch_front(chunks_for(key_length, data_chunk_size) + chunks_for(value_length, data_chunk_size));
    for (;;) {
        Offset forward = 0;
        Bucket *bucket = lock_bucket(*this, hash, forward);
        SegmentLockGuard guard(lock_word(bucket), SegmentLockGuard::Adopt{});
        if (forward != 0) {
            // The bucket is being split: wait outside it until the expansion
            // has ended, helping it the first time if the load rule admits.
            guard.release();
            if (first_meeting) {
                first_meeting = false;
                if (join_locked()) {
                    expansion_worker();
                    continue;
                }
            }
            {
                host::WaitScope counted;
                host::sleep_1ms();
            }
            if (host::stop_requested()) throw WaitAbandoned("end of the expansion");
            after_waiting_on_mark(bucket, ++waits, progress);
            continue;
        }
        if (EntryPlace found = find_key(*this, bucket, key, key_length, hash)) {
            assign_bytes(*this, found.entry->value, value, value_length);
            return;
        }
        const bool appended_to_entries = append_entry(*this, bucket, key, value, key_length, value_length, hash);
        guard.release();
        // The load rule: more than two entries per bucket on average, checked
        // after an append to a bucket that already held entries.
        if (appended_to_entries && 2 * bucket_chunk_size * chunks_in_use() < entry_count()) {
            help_expand_after_insert();
        }
        return;
    }
}

bool Impl::get(const signed char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &sink) {
    Offset forward = 0;
    Bucket *bucket = lock_bucket(*this, hash, forward);
    SegmentLockGuard guard(lock_word(bucket), SegmentLockGuard::Adopt{});
    if (EntryPlace found = find_key(*this, bucket, key, key_length, hash)) {
        return copy_value(*this, *found.entry, sink);
    }
    if (forward == 0) return false;
    Bucket *partner = partner_of(*this, forward);
    SegmentLockGuard partner_guard(lock_word(partner), kBucketLockName);
    if (EntryPlace found = find_key(*this, partner, key, key_length, hash)) {
        return copy_value(*this, *found.entry, sink);
    }
    return false;
}

bool Impl::remove(const signed char *key, std::uint64_t key_length, std::int64_t hash) {
    Offset forward = 0;
    Bucket *bucket = lock_bucket(*this, hash, forward);
    SegmentLockGuard guard(lock_word(bucket), SegmentLockGuard::Adopt{});
    if (EntryPlace found = find_key(*this, bucket, key, key_length, hash)) {
        remove_entry(*this, bucket, found);
        return true;
    }
    if (forward == 0) return false;
    Bucket *partner = partner_of(*this, forward);
    SegmentLockGuard partner_guard(lock_word(partner), kBucketLockName);
    if (EntryPlace found = find_key(*this, partner, key, key_length, hash)) {
        remove_entry(*this, partner, found);
        return true;
    }
    return false;
}

}  // namespace zorvik
