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
//
// The operations with a result (compare-and-set, insert-if-absent, take) and
// the walks of the whole table (scan, take_any, clear), at the end of this
// file, follow the same protocol and lock order: an operation that may append
// locks its bucket as insert does, the others as get and remove do.
#include <cxxabi.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/scope_exit.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

// ---- walking a bucket -------------------------------------------------------------

// The chain of a locked bucket's entries, after the checks every walk of it
// relies on: two entries a chunk, at least one chunk, and chunks for every
// entry. A bucket that breaks them is reported as "offset overflow!" rather
// than walked.
Chain bucket_entries(const MapState &m, const ChunkArray &entries) {
    if (entries.per_chunk != kEntriesPerChunk || entries.chunk_count == 0 ||
        entries.length > std::numeric_limits<std::uint64_t>::max() / sizeof(MapEntry) ||
        entries.chunk_count < chunks_for(entries.length, kEntriesPerChunk)) {
        throw_offset_overflow();
    }
    return entry_chain(m.area, entries);
}

// Entry `index` of a bucket, in the entry chunk that `link` carries.
MapEntry *entry_slot(const MapState &m, const ChunkLink *link, std::uint64_t index) {
    char *chunk = m.area.bytes(link->chunk, kEntryChunkSize);
    return reinterpret_cast<MapEntry *>(chunk + (index % kEntriesPerChunk) * sizeof(MapEntry));
}

// Calls visit(entry) for the entries of a locked bucket in order until it
// returns true; returns the entry it stopped at, or null. (Callables are
// taken by reference throughout: a copy passed on the stack costs a
// store-forwarding stall when the callee reads it back whole.)
template <class Visit>
MapEntry *find_entry(const MapState &m, const ChunkArray &entries, Visit &&visit) {
    MapEntry *found = nullptr;
    bucket_entries(m, entries).for_each_piece(entries.length * sizeof(MapEntry), [&](const ChainPiece &piece) {
        for (std::uint64_t at = 0; at < piece.length; at += sizeof(MapEntry)) {
            MapEntry *entry = reinterpret_cast<MapEntry *>(piece.bytes + at);
            if (visit(*entry)) {
                found = entry;
                return false;
            }
        }
        return true;
    });
    return found;
}

// The chain of a stored key's or value's bytes, after the checks every walk
// of one relies on: a piece size, and exactly the links its length fills.
Chain stored_bytes(const MapState &m, const ChunkArray &array) {
    const Chain chain = byte_chain(m.area, array);
    if (array.length != 0 && !chain.filled_by(array.length)) throw_offset_overflow();
    return chain;
}

// A stored key equals (key, length) when its length and bytes match.
bool key_equals(const MapState &m, const ChunkArray &stored, const char *key, std::uint64_t length) {
    return stored.length == length && (length == 0 || stored_bytes(m, stored).equals(key, length));
}

MapEntry *find_key(const MapState &m, const Bucket *bucket, const char *key, std::uint64_t key_length,
                   std::int64_t hash) {
    return find_entry(m, bucket->entries, [&](const MapEntry &entry) {
        return entry.hash == hash && key_equals(m, entry.key, key, key_length);
    });
}

// ---- writing keys and values ------------------------------------------------------

// Records the chain of `count` links from `head` (fresh from the data pool,
// filled with `length` bytes) in `array`.
void write_array(const MapState &m, ChunkArray &array, Offset head, std::uint64_t count, std::uint64_t length) {
    array.head = count == 0 ? 0 : head;
    array.length = length;
    array.chunk_count = count;
    array.per_chunk = m.data_chunk_size;
    std::memset(array.padding, 0, sizeof array.padding);
    array.base = reinterpret_cast<std::uint64_t>(m.base);
}

void zero_array(ChunkArray &array) { std::memset(&array, 0, sizeof array); }

// Replaces the bytes of `array` (a value stored with the data pool): reuses
// its chunks in place, takes only the extra ones (before changing anything, so
// a full segment leaves the array as it was) and gives back the surplus once
// the array is consistent.
void assign_bytes(MapState &m, ChunkArray &array, const char *bytes, std::uint64_t length) {
    const std::uint64_t per_chunk = m.data_chunk_size;
    const std::uint64_t old_count = array.chunk_count;
    const std::uint64_t new_count = m.data_chunks(length);
    if (old_count != 0 && array.per_chunk != per_chunk) throw_offset_overflow();
    const Chain old_chain(m.area, array.head, old_count, per_chunk);

    // Walk the chain before taking anything, so that a broken chain throws
    // while nothing has been taken or changed.
    ChunkLink *old_last = old_chain.empty() ? nullptr : old_chain.last();
    const Chain extra = m.data_pool.take(new_count > old_count ? new_count - old_count : 0);

    // The kept links are rewritten in place; the fill returns what follows
    // them, the first surplus link when the value shrinks.
    const std::uint64_t kept = std::min(old_count, new_count);
    const std::uint64_t kept_bytes = std::min(length, kept * per_chunk);
    Offset surplus = 0;
    try {
        surplus = old_chain.front(kept).fill(bytes, kept_bytes);
    } catch (...) {
        m.data_pool.give_back(extra);  // a payload outside the area: nothing was linked yet
        throw;
    }
    if (!extra.empty()) {
        // All old links are kept: the extra ones follow the last of them.
        if (old_last != nullptr) {
            old_last->next = extra.head();
        } else {
            array.head = extra.head();
        }
        extra.fill(bytes + kept_bytes, length - kept_bytes);
    }
    array.length = length;
    array.chunk_count = new_count;
    array.per_chunk = static_cast<std::uint8_t>(per_chunk);
    array.base = reinterpret_cast<std::uint64_t>(m.base);

    if (old_count > new_count) m.data_pool.give_back(Chain(m.area, surplus, old_count - new_count, per_chunk), old_last);
}

// Gives the data chunks of a removed entry back to the pool in one call, the
// key's chain followed by the value's: the order in which an append takes
// them, so that the next append takes neighbouring chunks again. `key_last`
// and `value_last` are the chains' last links as checked walks reached them
// (null for an empty one); the key's `next` is stale, and the entry has left
// the bucket, so it is free to chain the value behind the key.
void release_entry_data(MapState &m, const ChunkArray &key, ChunkLink *key_last, const ChunkArray &value,
                        ChunkLink *value_last) {
    if (key.chunk_count == 0) {
        m.data_pool.give_back(byte_chain(m.area, value), value_last);
        return;
    }
    if (value.chunk_count != 0) key_last->next = value.head;
    m.data_pool.give_back(Chain(m.area, key.head, key.chunk_count + value.chunk_count, m.data_chunk_size),
                          value.chunk_count != 0 ? value_last : key_last);
}

// ---- the three operations' bodies -------------------------------------------------

bool copy_value(const MapState &m, const MapEntry &entry, ValueSink &sink) {
    const ChunkArray &value = entry.value;
    char *out = sink.reserve(value.chunk_count == 0 ? 0 : value.length);
    if (!out) throw std::bad_alloc();
    ScopeExit abandon([&sink] { sink.abandon(); });
    if (value.length != 0) stored_bytes(m, value).copy_to(out, value.length);
    abandon.dismiss();
    return true;
}

// `n` data links, or, when the pool cannot supply them, `taken` given back to
// the entry pool before the failure leaves.
Chain take_data_or_give_back(MapState &m, std::uint64_t n, const Chain &taken) {
    try {
        return m.data_pool.take(n);
    } catch (...) {
        m.entry_pool.give_back(taken);
        throw;
    }
}

// Appends a new entry to a locked bucket with no entry for the key. Returns
// whether the bucket held entries before (only such an append can start an
// expansion).
bool append_entry(MapState &m, Bucket *bucket, const char *key, const char *value, std::uint64_t key_length,
                  std::uint64_t value_length, std::int64_t hash) {
    ChunkArray &entries = bucket->entries;
    const Chain list = bucket_entries(m, entries);
    const std::uint64_t n = entries.length;
    const bool needs_entry_chunk = n == entries.chunk_count * kEntriesPerChunk;
    const std::uint64_t key_chunks = m.data_chunks(key_length);
    const std::uint64_t value_chunks = m.data_chunks(value_length);

    // The slot's link, found before anything is taken (a broken chain throws
    // here); then everything the append needs, and the bytes written into
    // it, before anything in the bucket changes.
    ChunkLink *link = list.link_at((needs_entry_chunk ? n - 1 : n) / kEntriesPerChunk);
    const Chain entry_chunk = m.entry_pool.take(needs_entry_chunk ? 1 : 0);
    const Chain data = take_data_or_give_back(m, key_chunks + value_chunks, entry_chunk);
    MapEntry *slot = nullptr;
    Offset value_head = 0;
    try {
        slot = entry_slot(m, needs_entry_chunk ? entry_chunk.link_at(0) : link, n);
        value_head = data.front(key_chunks).fill(key, key_length);
        Chain(m.area, value_head, value_chunks, m.data_chunk_size).fill(value, value_length);
    } catch (...) {
        m.data_pool.give_back(data);
        m.entry_pool.give_back(entry_chunk);
        throw;
    }

    if (needs_entry_chunk) link->next = entry_chunk.head();
    write_array(m, slot->key, data.head(), key_chunks, key_length);
    write_array(m, slot->value, value_head, value_chunks, value_length);
    slot->hash = hash;
    if (needs_entry_chunk) entries.chunk_count += 1;
    entries.length = n + 1;
    m.add_entries(1);
    return n != 0;
}

// Removes the entry at `found` from a locked bucket: the last entry moves into
// its slot, the slots beyond the new length are all zero, and the entry chunks
// that no entry needs any more go back to the pool with the key's and value's
// data chunks, once the bucket is consistent.
void remove_entry(MapState &m, Bucket *bucket, MapEntry *found) {
    ChunkArray &entries = bucket->entries;
    const std::uint64_t n = entries.length;
    ChunkLink *last_link = bucket_entries(m, entries).link_at((n - 1) / kEntriesPerChunk);
    MapEntry *last = entry_slot(m, last_link, n - 1);
    const ChunkArray gone_key = found->key;
    const ChunkArray gone_value = found->value;
    // Both chains are walked by their counts, so that a broken chain throws
    // before anything has been changed.
    const Chain key_chain = stored_bytes(m, gone_key);
    ChunkLink *gone_key_last = key_chain.empty() ? nullptr : key_chain.last();
    const Chain value_chain = stored_bytes(m, gone_value);
    ChunkLink *gone_value_last = value_chain.empty() ? nullptr : value_chain.last();

    if (found != last) {
        found->key = last->key;
        found->value = last->value;
        found->hash = last->hash;
    } else {
        last->hash = 0;
    }
    zero_array(last->key);
    zero_array(last->value);
    entries.length = n - 1;

    // Entry chunks: keep the ones n - 1 entries fill, and always the first.
    // `last_link` is link filled_before - 1.
    const std::uint64_t needed = std::max<std::uint64_t>(1, chunks_for(n - 1, kEntriesPerChunk));
    const std::uint64_t filled_before = chunks_for(n, kEntriesPerChunk);
    const std::uint64_t surplus = entries.chunk_count - needed;
    Offset first_surplus = 0;
    if (surplus != 0) first_surplus = needed < filled_before ? m.area.offset_of(last_link) : last_link->next;
    entries.chunk_count = needed;
    m.add_entries(-1);

    release_entry_data(m, gone_key, gone_key_last, gone_value, gone_value_last);
    m.entry_pool.give_back(Chain(m.area, first_surplus, surplus, kEntryChunkSize));
}

// Runs on_found(bucket, place) on the entry for the key, looked for in the
// bucket `hash` leads to and, while an expansion splits that bucket, in its
// partner bucket under the partner's lock too (the entries the split already
// moved lie there). False when neither holds the key.
template <class OnFound>
bool with_entry(MapState &m, const char *key, std::uint64_t key_length, std::int64_t hash, OnFound &&on_found) {
    const BucketGuard locked = lock_bucket(m, hash);
    if (MapEntry *found = find_key(m, locked.bucket(), key, key_length, hash)) {
        on_found(locked.bucket(), found);
        return true;
    }
    if (locked.forward() == 0) return false;
    Bucket *partner = partner_bucket(m, locked.forward());
    const SegmentLockGuard partner_lock(lock_word(partner), kBucketLockName);
    if (MapEntry *found = find_key(m, partner, key, key_length, hash)) {
        on_found(partner, found);
        return true;
    }
    return false;
}

// Locks the bucket an insert of `hash` edits: the one in force, once no
// expansion is splitting it (the guard's forward() is 0). While an expansion
// splits it, waits outside it until the expansion has ended, helping it the
// first time if the load rule admits, and starts over. Every operation that
// may append an entry locks its bucket through here.
BucketGuard lock_bucket_for_insert(MapState &m, std::int64_t hash) {
    bool first_meeting = true;
    std::uint64_t waits = 0;
    ExpansionProgress progress;
    for (;;) {
        BucketGuard locked = lock_bucket(m, hash);
        Bucket *bucket = locked.bucket();
        if (locked.forward() != 0) {
            // The bucket is being split: wait outside it until the expansion
            // has ended, helping it the first time if the load rule admits.
            locked.release();
            if (first_meeting) {
                first_meeting = false;
                if (m.join_locked()) {
                    m.expansion_worker();
                    continue;
                }
            }
            {
                host::WaitScope counted;
                host::sleep_1ms();
            }
            if (host::stop_requested()) throw WaitAbandoned("end of the expansion");
            m.after_waiting_on_mark(bucket, ++waits, progress);
            continue;
        }
        return locked;
    }
}

// After an append, with the bucket's lock released: the load rule, more than
// two entries per bucket on average, checked after an append to a bucket
// that already held entries (only such an append can start an expansion).
void expand_if_loaded(MapState &m, bool appended_to_entries) {
    if (appended_to_entries && 2 * m.bucket_chunk_size * m.chunks_in_use() < m.entry_count()) {
        m.help_expand_after_insert();
    }
}

}  // namespace

// The insert is done when this runs: a failure of the expansion it starts or
// joins (a lock whose holder died, a broken structure) must not report the
// stored entry as a failed insert. It stays for the operations that need
// what is broken to report.
void MapState::help_expand_after_insert() {
    try {
        if (join_locked()) expansion_worker();
    } catch (abi::__forced_unwind &) {
        throw;  // the thread is being ended: nothing may hold it up
    } catch (...) {
    }
}

void MapState::insert(const char *key, const char *value, std::uint64_t key_length, std::uint64_t value_length,
                      std::int64_t hash) {
    // The data links an append would take do not depend on the bucket: their
    // misses overlap the bucket's instead of following it.
    data_pool.prefetch_front(data_chunks(key_length) + data_chunks(value_length));
    BucketGuard locked = lock_bucket_for_insert(*this, hash);
    Bucket *bucket = locked.bucket();
    if (MapEntry *found = find_key(*this, bucket, key, key_length, hash)) {
        assign_bytes(*this, found->value, value, value_length);
        return;
    }
    const bool appended_to_entries = append_entry(*this, bucket, key, value, key_length, value_length, hash);
    locked.release();
    expand_if_loaded(*this, appended_to_entries);
}

bool MapState::get(const char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &sink) {
    return with_entry(*this, key, key_length, hash,
                      [&](Bucket *, MapEntry *found) { copy_value(*this, *found, sink); });
}

bool MapState::remove(const char *key, std::uint64_t key_length, std::int64_t hash) {
    return with_entry(*this, key, key_length, hash,
                      [&](Bucket *bucket, MapEntry *found) { remove_entry(*this, bucket, found); });
}

// ---- operations with a result ---------------------------------------------------
//
// Each works under the lock of the key's bucket, like the three above: one
// that may append locks it as insert does (lock_bucket_for_insert, waiting
// out a split of the bucket), one that only reads or removes finds the entry
// as get and remove do (with_entry, following `forward` into the partner).
// Values are compared by their stored bytes.

namespace {

// A stored value equals (bytes, length) when its length and bytes match.
bool value_equals(const MapState &m, const ChunkArray &stored, const char *bytes, std::uint64_t length) {
    return key_equals(m, stored, bytes, length);
}

}  // namespace

bool MapState::contains(const char *key, std::uint64_t key_length, std::int64_t hash) {
    return with_entry(*this, key, key_length, hash, [](Bucket *, MapEntry *) {});
}

bool MapState::compare_and_set(const char *key, std::uint64_t key_length, std::int64_t hash, const char *expected,
                               std::uint64_t expected_length, const char *desired, std::uint64_t desired_length) {
    if (desired == nullptr) {
        // A removal when the value is `expected`: no append, so no wait on a split.
        bool removed = false;
        const bool found = with_entry(*this, key, key_length, hash, [&](Bucket *bucket, MapEntry *entry) {
            if (expected != nullptr && value_equals(*this, entry->value, expected, expected_length)) {
                remove_entry(*this, bucket, entry);
                removed = true;
            }
        });
        return found ? removed : expected == nullptr;
    }
    data_pool.prefetch_front(data_chunks(key_length) + data_chunks(desired_length));
    BucketGuard locked = lock_bucket_for_insert(*this, hash);
    Bucket *bucket = locked.bucket();
    if (MapEntry *found = find_key(*this, bucket, key, key_length, hash)) {
        if (expected == nullptr || !value_equals(*this, found->value, expected, expected_length)) return false;
        assign_bytes(*this, found->value, desired, desired_length);
        return true;
    }
    if (expected != nullptr) return false;
    const bool appended_to_entries = append_entry(*this, bucket, key, desired, key_length, desired_length, hash);
    locked.release();
    expand_if_loaded(*this, appended_to_entries);
    return true;
}

bool MapState::insert_if_absent(const char *key, const char *value, std::uint64_t key_length,
                                std::uint64_t value_length, std::int64_t hash, ValueSink &existing) {
    data_pool.prefetch_front(data_chunks(key_length) + data_chunks(value_length));
    BucketGuard locked = lock_bucket_for_insert(*this, hash);
    Bucket *bucket = locked.bucket();
    if (MapEntry *found = find_key(*this, bucket, key, key_length, hash)) {
        copy_value(*this, *found, existing);
        return false;
    }
    const bool appended_to_entries = append_entry(*this, bucket, key, value, key_length, value_length, hash);
    locked.release();
    expand_if_loaded(*this, appended_to_entries);
    return true;
}

bool MapState::take(const char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &value) {
    return with_entry(*this, key, key_length, hash, [&](Bucket *bucket, MapEntry *found) {
        // The copy first: when it fails, the entry stays.
        copy_value(*this, *found, value);
        remove_entry(*this, bucket, found);
    });
}

// ---- visiting the whole table -------------------------------------------------------
//
// scan, take_any and clear walk the table one bucket at a time, each bucket
// under its own lock, with no lock held between two buckets. What they visit
// next is a cursor v that runs through the bucket indexes in reversed-bit
// order: for a table of T = 2^t buckets, the t low bits of v, read backwards,
// count up from 0 to T - 1 (advance: set the bits from t up, reverse the
// word, add one, reverse it back); the walk is over when v wraps to 0.
//
// Why this survives doublings. A doubling splits bucket i into i and i + T
// (the same low t bits; bit t tells them apart). In reversed-bit order the
// buckets of the doubled table visited before v are exactly the two halves
// of the buckets of the old table visited before v: the bit told apart is
// the last one the order counts. So a walk that has visited the old bucket
// i has visited everything both halves hold, never comes to either half
// again, and every bucket it has not visited lies ahead of the cursor in the
// doubled table too; several doublings compose. An entry present throughout
// the walk is therefore visited exactly once.
//
// A cursor computed at table size T is below T, and tables only grow, so it
// is always a bucket of the table in force: the walk locks bucket v with
// lock_bucket(v), whose hash v leads to bucket v in every table from T on,
// and reads the table size T' after `forward` (the order every operation
// reads them in; see the essay at the top), advancing at T'. While an
// expansion from T' splits bucket v (`forward` set and leading to v + T'),
// the entries of old bucket v lie in v or in its partner, and the walk
// takes both locks (v's first, as get and remove do) and visits both: it is
// at table T', where they are one bucket. A `forward` left over from the
// expansion that made T' (its ender doubles the count before it clears the
// marks) leads to v + T'/2, a bucket in force of its own, which the walk
// must not visit twice: it is not followed.

namespace {

// A bucket of the walk, locked, with its partner (locked too) while an
// expansion from `table` splits it.
struct VisitedBucket {
    BucketGuard locked;
    Bucket *partner = nullptr;
    SegmentLockGuard partner_lock;
    std::uint64_t table = 0;  // buckets of the table in force, read under the lock
};

VisitedBucket lock_cursor_bucket(MapState &m, std::uint64_t cursor) {
    VisitedBucket visit{lock_bucket(m, static_cast<std::int64_t>(cursor)), nullptr, SegmentLockGuard(), 0};
    // After `forward` (which lock_bucket read under the lock): an acquire
    // load that pairs with the ender's fetch-and-add of the count.
    visit.table = m.bucket_chunk_size * m.chunks_in_use();
    const Offset forward = visit.locked.forward();
    if (forward == 0) return visit;
    const std::uint64_t half = visit.table / 2;
    const bool stale = half >= m.bucket_chunk_size && cursor < half &&
                       forward == m.area.offset_of(m.bucket_at(cursor + half));
    if (stale) return visit;
    visit.partner = partner_bucket(m, forward);
    visit.partner_lock = SegmentLockGuard(lock_word(visit.partner), kBucketLockName);
    return visit;
}

// `v` with its 64 bits in reverse order: swap neighbouring bits, then pairs,
// then nibbles, then the bytes.
constexpr std::uint64_t reverse_bits(std::uint64_t v) {
    v = ((v >> 1) & 0x5555555555555555u) | ((v & 0x5555555555555555u) << 1);
    v = ((v >> 2) & 0x3333333333333333u) | ((v & 0x3333333333333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((v & 0x0F0F0F0F0F0F0F0Fu) << 4);
    return __builtin_bswap64(v);
}
static_assert(reverse_bits(1) == std::uint64_t{1} << 63 && reverse_bits(0x6) == std::uint64_t{0x6} << 60);

// The cursor after `cursor` in reversed-bit order over `table` buckets; 0
// when the walk is over.
std::uint64_t advance_cursor(std::uint64_t cursor, std::uint64_t table) {
    cursor |= ~(table - 1);
    cursor = reverse_bits(cursor);
    ++cursor;
    return reverse_bits(cursor);
}

// Copies a stored key's or value's bytes into what the sink reserves.
void hand_over(const MapState &m, const ChunkArray &array, EntrySink &sink, EntrySink::Part part) {
    if (!sink.wants(part)) return;
    const std::uint64_t length = array.chunk_count == 0 ? 0 : array.length;
    char *out = sink.reserve(part, length);
    if (out == nullptr) throw std::bad_alloc();
    if (length != 0) stored_bytes(m, array).copy_to(out, length);
}

void hand_over_entry(const MapState &m, const MapEntry &entry, EntrySink &sink) {
    ScopeExit abandon([&sink] { sink.abandon(); });
    hand_over(m, entry.key, sink, EntrySink::Part::key);
    hand_over(m, entry.value, sink, EntrySink::Part::value);
    abandon.dismiss();
    sink.commit();
}

void hand_over_bucket(const MapState &m, const Bucket *bucket, EntrySink &sink) {
    find_entry(m, bucket->entries, [&](const MapEntry &entry) {
        hand_over_entry(m, entry, sink);
        return false;
    });
}

// Removes every entry of a locked bucket, the last one first (which moves
// nothing).
void empty_bucket(MapState &m, Bucket *bucket) {
    while (bucket->entries.length != 0) {
        const ChunkArray &entries = bucket->entries;
        const std::uint64_t last = entries.length - 1;
        MapEntry *entry = entry_slot(m, bucket_entries(m, entries).link_at(last / kEntriesPerChunk), last);
        remove_entry(m, bucket, entry);
    }
}

// The first entry of a locked bucket with entries, else null.
MapEntry *first_entry(const MapState &m, Bucket *bucket) {
    if (bucket->entries.length == 0) return nullptr;
    return find_entry(m, bucket->entries, [](const MapEntry &) { return true; });
}

}  // namespace

std::uint64_t MapState::scan(std::uint64_t cursor, EntrySink &sink, std::uint64_t buckets) {
    do {
        VisitedBucket visit = lock_cursor_bucket(*this, cursor);
        hand_over_bucket(*this, visit.locked.bucket(), sink);
        if (visit.partner != nullptr) hand_over_bucket(*this, visit.partner, sink);
        cursor = advance_cursor(cursor, visit.table);
    } while (cursor != 0 && --buckets > 0);
    return cursor;
}

bool MapState::take_any(std::uint64_t &cursor, EntrySink &sink) {
    // From `cursor` to the end, then (when it did not start at 0) a whole
    // walk from 0: every bucket is visited at least once.
    for (int round = cursor == 0 ? 1 : 0; round < 2; ++round) {
        do {
            VisitedBucket visit = lock_cursor_bucket(*this, cursor);
            Bucket *bucket = visit.locked.bucket();
            MapEntry *entry = first_entry(*this, bucket);
            if (entry == nullptr && visit.partner != nullptr) {
                bucket = visit.partner;
                entry = first_entry(*this, bucket);
            }
            if (entry != nullptr) {
                // The copy first: when it fails, the entry stays.
                hand_over_entry(*this, *entry, sink);
                remove_entry(*this, bucket, entry);
                return true;  // the cursor stays: the bucket may hold more
            }
            cursor = advance_cursor(cursor, visit.table);
        } while (cursor != 0);
    }
    return false;
}

void MapState::clear() {
    std::uint64_t cursor = 0;
    do {
        VisitedBucket visit = lock_cursor_bucket(*this, cursor);
        empty_bucket(*this, visit.locked.bucket());
        if (visit.partner != nullptr) empty_bucket(*this, visit.partner);
        cursor = advance_cursor(cursor, visit.table);
    } while (cursor != 0);
}

}  // namespace zorvik
