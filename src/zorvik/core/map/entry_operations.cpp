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
// `forward` also sees the doubled count. On any CPU, weakly ordered ones
// included: the doubling is a read-modify-write (seq_cst, so a release) and
// so is every clear of a `forward`, made by a thread that read the doubled
// count before it; the `forward` load is an acquire, so the load of the count
// after it is neither made before it nor finds a count older than the one
// the clearing thread had seen.
//
// A bucket with `forward` set is being split by the expansion in progress. A
// get or remove that finds no match there also looks in the partner bucket
// `forward` names, under the partner's lock, taken while holding the first:
// the entries the split already moved are there. An insert does the same to
// find an existing key, and puts a new one where it belongs: in this bucket
// while the split is not done (the split will move it if it must), in the
// half its hash belongs to once it is (the bucket's split-done bit). Inserts
// never wait for an expansion. This cannot deadlock: `forward` always leads to
// a bucket of higher index, and no thread waits for a lower bucket's lock
// while holding a higher one's.
//
// Growth. Every operation that changes the table ends, with no lock held, by
// carrying the table's doubling a bounded step on (after_change; gets now and
// then too, after_get): growth.cpp.
//
// Failure. An operation takes every chunk it needs from its pools before it
// changes anything in the bucket, so when a pool cannot supply them (the
// segment or the file system is full) the exception leaves the bucket exactly
// as it was, with its lock released by the guard and the chunks already taken
// given back. What it gives back goes to the pools after the bucket is
// consistent again.
//
// Processes that die
// ------------------
// A process can be killed at any instruction, holding the bucket's lock. The
// next thread to take the lock takes it over (spin_lock.hpp) and finds, in
// the bucket's intent word (bucket_state.hpp), the change that was in
// progress; repair_bucket (bucket_lock.cpp) finishes or undoes it before the
// lock is handed on. Every change is a sequence of single stores whose every
// prefix a reader can meet, as follows (crash points mark the steps):
//
//   append (a new key; n entries before)
//     1. chunks taken from the pools, key and value written into them (the
//        process's own: a death loses them to the segment, nothing else);
//     2. a new entry chunk, when the list is full, linked behind the last
//        one (a `next` no walk follows until the count says so), the entry
//        written into place n (past the length: unseen), the chunk counted
//        (a list may own more chunks than its entries fill);
//     3. intent = append(n);  4. length = n + 1 (the commit);
//     5. the count of entries raised;  6. intent cleared.
//     A death before 3 leaves the bucket as it was, plus at most a spare
//     chunk. Repair after 3: length n: the place is cleared (an append that
//     did not happen); length n + 1: the entry is there, and the count is
//     taken as raised (whether it was, between 4 and 6, cannot be told: two
//     separate words; the offline repair recounts).
//
//   replace (the value of an existing entry)
//     1. a new chain from the pool, the new value written into it (the live
//        value is never overwritten: a death in the middle would tear it);
//     2. its head and length in the entry's scratch words (key.scratch,
//        value.scratch); 3. intent = replace(entry);
//     4. the value's head, length and chunk count; 5. intent cleared;
//     6. the old chain given back.
//     Repair after 3: the value's record is written again from the scratch
//     words, whatever part of it was written. The old value's chunks (or,
//     before 3, the new ones) are lost to the segment.
//
//   remove (entry i of n)
//     1. the list's `scratch` = n; 2. intent = remove(entry i);
//     3. the last entry copied over entry i (when i is not the last);
//     4. length = n - 1 (the commit); 5. the last place cleared and the
//     chunks no entry needs left out of the count; 6. the count of entries
//     lowered; 7. intent cleared; 8. the removed chains and spare chunks
//     given back.
//     Repair after 2: length n: redone from 3 (the last entry is intact
//     until after the commit), the count lowered by the repair; length n - 1:
//     redone from 5, the count taken as lowered. The removed entry's chunks
//     are lost to the segment.
//
// A reader thus finds every acknowledged entry, with its last acknowledged
// value or the one being written when the writer died, and never a torn one.
// An operation that throws after its intent was set (it cannot, as every
// check precedes the intent) would be repaired the same way by the next
// holder, which repairs whatever intent it finds.
//
// Lock order: a bucket's lock, then (to reach the entries a split moved) its
// partner's, then a pool's lock, then the allocator's. An operation lets go
// of its buckets before it steps the growth.
//
// The operations with a result (compare-and-set, insert-if-absent, take) and
// the walks of the whole table (scan, take_any, clear), at the end of this
// file, follow the same protocol and lock order: an operation that may append
// locks its bucket as insert does, the others as get and remove do. Their
// changes are made by the same three steps (append, replace, remove), so a
// death inside one of them leaves what a death inside insert, replace or
// remove leaves, and is repaired alike.
#include <cxxabi.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/entry_metadata.hpp"
#include "zorvik/core/map/lfu_counter.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/map/random_draw.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/scope_exit.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

// ---- a cache's metadata of use ------------------------------------------------------

// The V word of a cache's entry used at `now_us` (a hit, a replace, a
// touch): the stamp says now and, in an LFU cache, the counter has decayed
// for the periods since it last counted and then counted this use.
AccessMetadata accessed(const MapState &m, const MapEntry *entry, std::uint64_t now_us) {
    AccessMetadata access = read_access(entry);
    access.stamp = stamp_at(now_us);
    if (m.cache_settings.policy == CacheSettings::Policy::lfu) {
        const std::uint16_t minutes = lfu_minutes_at(now_us);
        const std::uint8_t decayed = lfu_decayed(access, minutes, m.lfu_decay_minutes);
        access.lfu_counter = lfu_incremented(decayed, m.lfu_log_factor, random_draw(now_us));
        access.lfu_minutes = minutes;
    }
    return access;
}

// ---- walking a bucket -------------------------------------------------------------

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
// of one relies on: a piece size, and exactly the links its length fills (so
// that a damaged count is refused before it is walked).
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

// The last link of a stored key's or value's chain (null for an empty one),
// reached by a checked walk: also the check that the whole chain is sound.
ChunkLink *last_link_of(const MapState &m, const ChunkArray &array) {
    const Chain chain = stored_bytes(m, array);
    return chain.empty() ? nullptr : chain.last();
}

// ---- writing keys and values ------------------------------------------------------

// Records the chain of `count` links from `head` (fresh from the data pool,
// filled with `length` bytes) in `array`, a place no reader sees yet.
void write_array(const MapState &m, ChunkArray &array, Offset head, std::uint64_t count, std::uint64_t length) {
    array.head = count == 0 ? 0 : head;
    array.length = length;
    array.chunk_count = count;
    array.per_chunk = m.data_chunk_size;
    std::memset(array.padding, 0, sizeof array.padding);
}

// Records the chain of `count` links from `first`, filled with `length` bytes
// and reachable from nowhere else, as the value of `entry` in locked
// `bucket`, under the intent `replace`. Throws nothing once the intent is set.
void record_value(MapState &m, Bucket *bucket, MapEntry &entry, Offset first, std::uint64_t count,
                  std::uint64_t length, const MapState::StoreStamp &stamp, std::uint64_t old_count) {
    ChunkArray &value = entry.value;
    const Offset head = count == 0 ? 0 : first;
    // The scratch fields first: what a repair writes the record from.
    entry.key.scratch = head;
    entry.value.scratch = length;
    const EntryMetadata before = read_metadata(&entry);
    const bool new_deadline = stamp.cache && (!before.present || before.deadline_ms != stamp.deadline_ms);
    // 0 unless stashed: a stash a replace killed before its intent left is
    // not taken for this one's.
    set_list_scratch(bucket, new_deadline ? kDeadlineStash | stamp.deadline_ms : 0);
    crash_points::step("replace: new value written");
    const bool split_done = begin_intent(bucket, Intent::replace, m.area.offset_of(&entry));
    crash_points::step("replace: intent set");
    store_head(value, head);
    crash_points::step("replace: head recorded");
    store_length(value, length);
    store_chunk_count(value, count);
    value.per_chunk = m.data_chunk_size;
    crash_points::step("replace: value recorded");
    if (stamp.cache && count != old_count) m.add_cache_bytes(m.chunk_bytes(count) - m.chunk_bytes(old_count));
    if (new_deadline) {
        write_deadline(&entry, stamp.deadline_ms);
        crash_points::step("replace: deadline recorded");
        set_list_scratch(bucket, 0);
    }
    if (stamp.cache) write_access(&entry, accessed(m, &entry, stamp.now_us));
    end_intent(bucket, split_done);
    crash_points::step("replace: done, old chain not given back");
}

// Replaces the value of `entry`, in locked `bucket`, by `length` bytes: they
// go into a new chain (taken before anything changes, so a full segment
// leaves the value as it was), which then replaces the old one in the
// value's record under the intent `replace` (record_value); the old chain
// goes back to the pool once the record is whole again.
//
// In a cache the store gives the entry the deadline `stamp` carries. When
// it changes, the new one is stashed in the list's scratch word before the
// intent, written into the K word with the value's record, and the stash
// cleared before the intent: a repair of the replace finds it there
// (bucket_lock.cpp) and no stash outlives its replace.
void assign_bytes(MapState &m, Bucket *bucket, MapEntry &entry, const char *bytes, std::uint64_t length,
                  const MapState::StoreStamp &stamp) {
    ChunkArray &value = entry.value;
    if (value.chunk_count != 0 && value.per_chunk != m.data_chunk_size) throw_offset_overflow();
    // Walk the old chain before taking anything, so that a broken chain
    // throws while nothing has been taken or changed.
    const Chain old_chain = stored_bytes(m, value);
    ChunkLink *old_last = old_chain.empty() ? nullptr : old_chain.last();
    const std::uint64_t count = m.data_chunks(length);
    // A replacement may use the last room new entries leave: shorter ones
    // go on working in a full file.
    const Chain fresh = m.take_links(m.data_pool, count, ChunkPool::Refill::as_needed);
    try {
        fresh.fill(bytes, length);
    } catch (...) {
        m.data_pool.give_back(fresh);  // a payload outside the area: nothing was linked yet
        throw;
    }
    record_value(m, bucket, entry, fresh.head(), count, length, stamp, old_chain.count());
    if (!old_chain.empty()) m.data_pool.give_back(old_chain, old_last);
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

// Fills `key_chunks` links from `head` with the key and the `value_chunks`
// after them with the value (a chain of the pool's, reachable from nowhere
// else); returns what an append records, and in `after` the `next` of the
// last link filled (what follows in a longer chain they were taken from).
FilledEntry fill_entry(const MapState &m, Offset head, std::uint64_t key_chunks, const char *key,
                       std::uint64_t key_length, std::uint64_t value_chunks, const char *value,
                       std::uint64_t value_length, Offset &after) {
    FilledEntry filled{head, key_chunks, key_length, 0, value_chunks, value_length};
    filled.value_head = Chain(m.area, head, key_chunks, m.data_chunk_size).fill(key, key_length);
    after = Chain(m.area, filled.value_head, value_chunks, m.data_chunk_size).fill(value, value_length);
    return filled;
}

// Appends a new entry whose key and value chains are `filled` to a locked
// bucket with no entry for the key. Returns whether the bucket held entries
// before (only such an append can start an expansion). Throws only before
// anything in the bucket changes; the chains stay the caller's then.
bool link_in_entry(MapState &m, Bucket *bucket, const FilledEntry &filled, std::int64_t hash,
                   const MapState::StoreStamp &stamp) {
    ChunkArray &entries = bucket->entries;
    const Chain list = bucket_entries(m, entries);
    const std::uint64_t n = entries.length;
    const bool needs_entry_chunk = n == entries.chunk_count * kEntriesPerChunk;

    // The slot's link, found before anything is taken (a broken chain throws
    // here); then the entry chunk the append needs, before anything in the
    // bucket changes.
    ChunkLink *link = list.link_at((needs_entry_chunk ? n - 1 : n) / kEntriesPerChunk);
    const Chain entry_chunk = m.take_links(m.entry_pool, needs_entry_chunk ? 1 : 0);
    MapEntry *slot = nullptr;
    try {
        slot = entry_slot(m, needs_entry_chunk ? entry_chunk.link_at(0) : link, n);
    } catch (...) {
        m.entry_pool.give_back(entry_chunk);
        throw;
    }

    // Past the length, and in a chunk no count covers yet: unseen until the
    // commit below.
    if (needs_entry_chunk) link->next = entry_chunk.head();
    write_array(m, slot->key, filled.key_head, filled.key_chunks, filled.key_length);
    write_array(m, slot->value, filled.value_head, filled.value_chunks, filled.value_length);
    if (stamp.cache) {
        write_deadline(slot, stamp.deadline_ms);
        write_access(slot, new_access(stamp.now_us));
    }
    slot->hash = hash;
    crash_points::step("append: entry written past the length");
    if (needs_entry_chunk) store_chunk_count(entries, entries.chunk_count + 1);
    crash_points::step("append: entry chunk counted");
    const bool split_done = begin_intent(bucket, Intent::append, n);
    crash_points::step("append: intent set");
    store_length(entries, n + 1);
    crash_points::step("append: committed");
    m.add_entries(1);
    if (stamp.cache) m.add_cache_bytes(m.entry_bytes(filled.key_chunks + filled.value_chunks));
    crash_points::step("append: counted");
    end_intent(bucket, split_done);
    return n != 0;
}

// Appends a new entry to a locked bucket with no entry for the key: its
// chains taken and filled first, so that nothing in the bucket changes until
// everything it needs is there. Returns what link_in_entry returns.
bool append_entry(MapState &m, Bucket *bucket, const char *key, const char *value, std::uint64_t key_length,
                  std::uint64_t value_length, std::int64_t hash, const MapState::StoreStamp &stamp) {
    const std::uint64_t key_chunks = m.data_chunks(key_length);
    const std::uint64_t value_chunks = m.data_chunks(value_length);
    const Chain data = m.take_links(m.data_pool, key_chunks + value_chunks);
    try {
        Offset after = 0;
        const FilledEntry filled =
            fill_entry(m, data.head(), key_chunks, key, key_length, value_chunks, value, value_length, after);
        return link_in_entry(m, bucket, filled, hash, stamp);
    } catch (...) {
        m.data_pool.give_back(data);
        throw;
    }
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
    ChunkLink *gone_key_last = last_link_of(m, gone_key);
    ChunkLink *gone_value_last = last_link_of(m, gone_value);
    // Entry chunks: keep the ones n - 1 entries fill, and always the first.
    // `last_link` is link filled_before - 1.
    const std::uint64_t needed = std::max<std::uint64_t>(1, chunks_for(n - 1, kEntriesPerChunk));
    const std::uint64_t filled_before = chunks_for(n, kEntriesPerChunk);
    const std::uint64_t surplus = entries.chunk_count - needed;
    Offset first_surplus = 0;
    if (surplus != 0) first_surplus = needed < filled_before ? m.area.offset_of(last_link) : last_link->next;

    set_list_scratch(bucket, n);
    crash_points::step("remove: length noted");
    const bool split_done = begin_intent(bucket, Intent::remove, m.area.offset_of(found));
    crash_points::step("remove: intent set");
    if (found != last) std::memcpy(static_cast<void *>(found), last, sizeof(MapEntry));
    crash_points::step("remove: last entry copied");
    store_length(entries, n - 1);
    crash_points::step("remove: committed");
    zero_entry(last);
    store_chunk_count(entries, needed);
    crash_points::step("remove: places settled");
    m.add_entries(-1);
    m.add_cache_bytes(-m.entry_bytes(gone_key.chunk_count + gone_value.chunk_count));
    crash_points::step("remove: counted");
    end_intent(bucket, split_done);
    crash_points::step("remove: done, chunks not given back");

    release_entry_data(m, gone_key, gone_key_last, gone_value, gone_value_last);
    m.entry_pool.give_back(Chain(m.area, first_surplus, surplus, kEntryChunkSize));
}

// Brings a locked bucket of a cache up to date at `now_us` before an
// operation looks at its entries, so that no operation meets an expired
// entry: each expired entry is removed (an ordinary remove, repaired as one
// when its process dies inside it), and each entry without metadata (one a
// version without caches appended) is adopted, with the cache's default TTL
// counted from now. A bucket holds a few entries: a removal, which moves the
// last entry into the place it frees, starts the walk again.
std::uint64_t settle_bucket(MapState &m, Bucket *bucket, std::uint64_t now_us) {
    const std::uint64_t now_ms = now_us / 1000;
    const std::uint64_t default_ttl = m.cache_settings.default_ttl_ms;
    for (std::uint64_t removed = 0;; ++removed) {
        MapEntry *expired = find_entry(m, bucket->entries, [&](MapEntry &entry) {
            if (!read_metadata(&entry).present) {
                write_deadline(&entry, default_ttl == 0 ? 0 : now_ms + default_ttl);
                write_access(&entry, new_access(now_us));
                m.add_cache_bytes(m.entry_bytes(entry.key.chunk_count + entry.value.chunk_count));
                return false;
            }
            return is_expired(&entry, now_ms);
        });
        if (expired == nullptr) {
            m.count(MapState::Count::expirations, removed);
            return removed;
        }
        remove_entry(m, bucket, expired);
    }
}

// A hit in a cache: the entry's access stamp says now, for LRU. Written only
// when it is older than kStampSlack units (64 us each, so about 1 ms): hits
// on a hot entry then leave its cache line clean, and LRU still orders
// entries to the millisecond. In an LFU cache the hit also counts
// (lfu_counter.hpp), which changes the counter rarely once it is high.
constexpr std::uint32_t kStampSlack = 16;

void note_access(MapState &m, MapEntry *entry, std::uint64_t now_us) {
    const AccessMetadata before = read_access(entry);
    const AccessMetadata after = accessed(m, entry, now_us);
    const bool stale = static_cast<std::uint32_t>(after.stamp - before.stamp) >= kStampSlack;
    if (stale || after.lfu_counter != before.lfu_counter) write_access(entry, after);
}

// A bucket just locked, settled when the map is a cache.
void settle_if_cache(MapState &m, Bucket *bucket, std::uint64_t now_us) {
    if (m.cache != nullptr) settle_bucket(m, bucket, now_us);
}

// Runs on_found(bucket, place) on the entry for the key, looked for in the
// bucket `hash` leads to and, while an expansion splits that bucket, in its
// partner bucket under the partner's lock too (the entries the split already
// moved lie there). False when neither holds the key.
//
// A bucket the running doubling has split (the split-done bit beside its
// mark, read under its lock) holds only the keys whose hash leaves the new
// bit clear, and its partner only the others: split_locked moves every such
// key in one hold of the bucket's lock before it sets the bit, and inserts
// put new keys into their own half from then on. So only one half is looked
// in, which keeps gets on a doubling table as cheap as on a settled one.
// `now` is the cache's clock as the caller read it (MapState::expiry_clock);
// each bucket looked in is settled at it first.
template <class OnFound>
bool with_entry_at(MapState &m, const char *key, std::uint64_t key_length, std::int64_t hash, std::uint64_t now,
                   OnFound &&on_found) {
    const BucketGuard locked = lock_bucket(m, hash);
    settle_if_cache(m, locked.bucket(), now);
    if (locked.forward() != 0 && read_intent(locked.bucket()).split_done) {
        const std::uint64_t split_bit = m.bucket_chunk_size * locked.chunks();
        if ((static_cast<std::uint64_t>(hash) & split_bit) == 0) {
            MapEntry *found = find_key(m, locked.bucket(), key, key_length, hash);
            if (found != nullptr) on_found(locked.bucket(), found);
            return found != nullptr;
        }
        const BucketGuard partner = lock_bucket_at(m, partner_bucket(m, locked.forward()));
        settle_if_cache(m, partner.bucket(), now);
        MapEntry *found = find_key(m, partner.bucket(), key, key_length, hash);
        if (found != nullptr) on_found(partner.bucket(), found);
        return found != nullptr;
    }
    if (MapEntry *found = find_key(m, locked.bucket(), key, key_length, hash)) {
        on_found(locked.bucket(), found);
        return true;
    }
    if (locked.forward() == 0) return false;
    const BucketGuard partner = lock_bucket_at(m, partner_bucket(m, locked.forward()));
    settle_if_cache(m, partner.bucket(), now);
    if (MapEntry *found = find_key(m, partner.bucket(), key, key_length, hash)) {
        on_found(partner.bucket(), found);
        return true;
    }
    return false;
}

template <class OnFound>
bool with_entry(MapState &m, const char *key, std::uint64_t key_length, std::int64_t hash, OnFound &&on_found) {
    return with_entry_at(m, key, key_length, hash, m.expiry_clock(), on_found);
}

// Where an operation that may append works: the key's entry when a bucket
// holds it (`found`, in `found_in`), else `target`, the bucket a new entry
// goes to. Holds the lock of the bucket in force and, while an expansion
// splits it, its partner's (taken second, as get and remove take it).
struct InsertPlace {
    BucketGuard locked;
    BucketGuard partner;
    Bucket *found_in = nullptr;
    MapEntry *found = nullptr;
    Bucket *target = nullptr;

    // Lets go of both locks, the partner's first.
    void release() {
        partner.release();
        locked.release();
    }
};

// Locks the buckets an insert of `key` edits and finds its entry. An insert
// never waits for an expansion: in a bucket the running expansion has
// marked but not split yet, a new entry goes into the bucket itself (the
// split moves it if it must); in one it has split (the split-done bit), into
// the half its hash belongs to, the partner under the partner's lock. An
// existing key may lie in either half while the split is running. Every
// operation that may append locks its bucket through here.
InsertPlace lock_bucket_for_insert(MapState &m, const char *key, std::uint64_t key_length, std::int64_t hash) {
    const std::uint64_t now = m.expiry_clock();
    for (;;) {
        InsertPlace place;
        place.locked = lock_bucket(m, hash);
        Bucket *bucket = place.locked.bucket();
        settle_if_cache(m, bucket, now);
        place.target = bucket;
        if (MapEntry *found = find_key(m, bucket, key, key_length, hash)) {
            place.found_in = bucket;
            place.found = found;
            return place;
        }
        if (place.locked.forward() == 0) return place;
        // The split may have moved the key to the partner.
        place.partner = lock_bucket_at(m, partner_bucket(m, place.locked.forward()));
        settle_if_cache(m, place.partner.bucket(), now);
        if (MapEntry *found = find_key(m, place.partner.bucket(), key, key_length, hash)) {
            place.found_in = place.partner.bucket();
            place.found = found;
            return place;
        }
        const std::uint64_t split_bit = m.bucket_chunk_size * place.locked.chunks();
        if (read_intent(bucket).split_done && (static_cast<std::uint64_t>(hash) & split_bit) != 0) {
            place.target = place.partner.bucket();
        }
        return place;
    }
}

// Locks the buckets a store of `key` edits, as lock_bucket_for_insert does,
// after making room in a cache at its bounds: when the store would pass
// max_entries (a new key) or max_bytes (a new key, or a value of more
// chunks when `replaces`), the locks go, one entry is evicted (evict_one
// takes its own locks, one bucket at a time) and the store starts over.
// After kEvictionRounds rounds it stores anyway: the cache passes a bound
// by at most the stores in flight (one per writing thread), whatever the
// others do meanwhile, or by an entry larger than max_bytes alone (the
// next one evicted).
constexpr int kEvictionRounds = 3;

InsertPlace lock_place_for_store(MapState &m, const char *key, std::uint64_t key_length, std::int64_t hash,
                                 std::uint64_t now_us, std::uint64_t value_length, bool replaces) {
    for (int round = 0;; ++round) {
        InsertPlace place = lock_bucket_for_insert(m, key, key_length, hash);
        if (m.cache == nullptr || round == kEvictionRounds) return place;
        if (place.found == nullptr) {
            if (!m.needs_room(1, m.entry_bytes(m.data_chunks(key_length) + m.data_chunks(value_length)))) return place;
        } else {
            if (!replaces) return place;
            const std::uint64_t before = place.found->value.chunk_count;
            const std::uint64_t after = m.data_chunks(value_length);
            if (after <= before || !m.needs_room(0, m.chunk_bytes(after - before))) return place;
        }
        place.release();
        m.evict_one(now_us);
    }
}

// Appends the new entry where `place` says, lets go of both locks, then
// steps the table's growth with no lock held (the load rule: more than two
// entries per bucket on average, checked after an append to a bucket that
// already held entries, the only append that can start a doubling): the end
// of every operation that appends.
void append_then_grow(MapState &m, InsertPlace &place, const char *key, const char *value,
                      std::uint64_t key_length, std::uint64_t value_length, std::int64_t hash,
                      const MapState::StoreStamp &stamp) {
    const bool appended_to_entries =
        append_entry(m, place.target, key, value, key_length, value_length, hash, stamp);
    place.release();
    m.after_change(appended_to_entries);
}

}  // namespace

void MapState::insert(const char *key, const char *value, std::uint64_t key_length, std::uint64_t value_length,
                      std::int64_t hash, std::optional<std::uint64_t> ttl_ms) {
    const StoreStamp stamp = store_stamp(ttl_ms);
    // The data links an append would take do not depend on the bucket: their
    // misses overlap the bucket's instead of following it.
    data_pool.prefetch_front(data_chunks(key_length) + data_chunks(value_length));
    InsertPlace place = lock_place_for_store(*this, key, key_length, hash, stamp.now_us, value_length, true);
    if (cache != nullptr) count(Count::sets);
    if (place.found != nullptr) {
        assign_bytes(*this, place.found_in, *place.found, value, value_length, stamp);
        place.release();
        after_change(false);
        return;
    }
    append_then_grow(*this, place, key, value, key_length, value_length, hash, stamp);
}

MapState::FilledInsert MapState::insert_filled(const char *key, std::uint64_t key_length, std::int64_t hash,
                                               const FilledEntry &filled) {
    InsertPlace place = lock_bucket_for_insert(*this, key, key_length, hash);
    FilledInsert done;
    if (place.found != nullptr) {
        ChunkArray &value = place.found->value;
        if (value.chunk_count != 0 && value.per_chunk != data_chunk_size) throw_offset_overflow();
        // The old chain walked before anything changes, as assign_bytes does.
        done.old_value = stored_bytes(*this, value);
        done.old_value_last = done.old_value.empty() ? nullptr : done.old_value.last();
        record_value(*this, place.found_in, *place.found, filled.value_head, filled.value_chunks,
                     filled.value_length, StoreStamp{}, done.old_value.count());
        done.replaced = true;
    } else {
        done.appended_to_entries = link_in_entry(*this, place.target, filled, hash, StoreStamp{});
    }
    place.release();
    return done;
}

FilledEntry MapState::fill_new_entry(Offset head, const char *key, std::uint64_t key_length, const char *value,
                                     std::uint64_t value_length, Offset &after) const {
    return fill_entry(*this, head, data_chunks(key_length), key, key_length, data_chunks(value_length), value,
                      value_length, after);
}

bool MapState::get(const char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &sink) {
    const std::uint64_t now = expiry_clock();
    const bool found = with_entry_at(*this, key, key_length, hash, now, [&](Bucket *, MapEntry *entry) {
        copy_value(*this, *entry, sink);
        if (cache != nullptr) note_access(*this, entry, now);
    });
    if (cache != nullptr) count(found ? Count::hits : Count::misses);
    after_get();
    return found;
}

bool MapState::remove(const char *key, std::uint64_t key_length, std::int64_t hash) {
    const bool removed = with_entry(*this, key, key_length, hash,
                                    [&](Bucket *bucket, MapEntry *found) { remove_entry(*this, bucket, found); });
    if (removed) after_change(false);
    return removed;
}

// ---- operations with a result ---------------------------------------------------
//
// Each works under the lock of the key's bucket, like the three above: one
// that may append locks it as insert does (lock_bucket_for_insert: into the
// bucket or, once it is split, the half the hash belongs to), one that only
// reads or removes finds the entry as get and remove do (with_entry,
// following `forward` into the partner). Values are compared by their stored
// bytes. Their changes are append_entry, assign_bytes and remove_entry, the
// steps insert, replace and remove make, so a death inside them leaves what
// those leave and is repaired alike.

namespace {

// A stored value equals (bytes, length) when its length and bytes match.
bool value_equals(const MapState &m, const ChunkArray &stored, const char *bytes, std::uint64_t length) {
    return key_equals(m, stored, bytes, length);
}

}  // namespace

bool MapState::contains(const char *key, std::uint64_t key_length, std::int64_t hash) {
    const bool found = with_entry(*this, key, key_length, hash, [](Bucket *, MapEntry *) {});
    if (cache != nullptr) count(found ? Count::hits : Count::misses);
    after_get();
    return found;
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
        if (removed) after_change(false);
        return found ? removed : expected == nullptr;
    }
    const StoreStamp stamp = store_stamp(std::nullopt);
    data_pool.prefetch_front(data_chunks(key_length) + data_chunks(desired_length));
    InsertPlace place = lock_place_for_store(*this, key, key_length, hash, stamp.now_us, desired_length, true);
    if (MapEntry *found = place.found) {
        if (expected == nullptr || !value_equals(*this, found->value, expected, expected_length)) return false;
        assign_bytes(*this, place.found_in, *found, desired, desired_length, stamp);
        place.release();
        after_change(false);
        return true;
    }
    if (expected != nullptr) return false;
    append_then_grow(*this, place, key, desired, key_length, desired_length, hash, stamp);
    return true;
}

bool MapState::insert_if_absent(const char *key, const char *value, std::uint64_t key_length,
                                std::uint64_t value_length, std::int64_t hash, ValueSink &existing) {
    const StoreStamp stamp = store_stamp(std::nullopt);
    data_pool.prefetch_front(data_chunks(key_length) + data_chunks(value_length));
    InsertPlace place = lock_place_for_store(*this, key, key_length, hash, stamp.now_us, value_length, false);
    if (place.found != nullptr) {
        copy_value(*this, *place.found, existing);
        return false;
    }
    append_then_grow(*this, place, key, value, key_length, value_length, hash, stamp);
    return true;
}

bool MapState::take(const char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &value) {
    const bool taken = with_entry(*this, key, key_length, hash, [&](Bucket *bucket, MapEntry *found) {
        // The copy first: when it fails, the entry stays.
        copy_value(*this, *found, value);
        remove_entry(*this, bucket, found);
    });
    if (taken) after_change(false);
    return taken;
}

// ---- a cache's expiry of one entry ------------------------------------------------

std::uint64_t MapState::settle(Bucket *bucket, std::uint64_t now_us) { return settle_bucket(*this, bucket, now_us); }

bool MapState::evict_entry(const char *key, std::uint64_t key_length, std::int64_t hash,
                           const EntryUse &seen) {
    bool evicted = false;
    with_entry(*this, key, key_length, hash, [&](Bucket *bucket, MapEntry *entry) {
        if (!(read_use(entry) == seen)) return;
        remove_entry(*this, bucket, entry);
        evicted = true;
    });
    if (evicted) count(Count::evictions);
    return evicted;
}
//
// Under the key's bucket lock as get is. Expiry's changes are one store of
// the K word (or V word), which a process killed around it leaves old or new.

bool MapState::ttl_left(const char *key, std::uint64_t key_length, std::int64_t hash,
                        std::optional<std::uint64_t> &left) {
    require_cache("ttl");
    const std::uint64_t now_ms = expiry_clock() / 1000;
    left.reset();
    return with_entry(*this, key, key_length, hash, [&](Bucket *, MapEntry *entry) {
        // Settled: the deadline, when there is one, lies ahead of `now_ms`.
        const std::uint64_t deadline = read_metadata(entry).deadline_ms;
        if (deadline != 0) left = deadline > now_ms ? deadline - now_ms : 0;
    });
}

bool MapState::expire(const char *key, std::uint64_t key_length, std::int64_t hash,
                      std::optional<std::uint64_t> ttl_ms) {
    require_cache("expire");
    // A TTL of none is kept as none, not as the default.
    const StoreStamp stamp = ttl_ms ? store_stamp(ttl_ms) : StoreStamp{true, expiry_clock(), 0};
    const bool found = with_entry(*this, key, key_length, hash,
                                  [&](Bucket *, MapEntry *entry) { write_deadline(entry, stamp.deadline_ms); });
    after_get();
    return found;
}

bool MapState::touch(const char *key, std::uint64_t key_length, std::int64_t hash) {
    require_cache("touch");
    const std::uint64_t now_us = expiry_clock();
    const bool found = with_entry(*this, key, key_length, hash,
                                  [&](Bucket *, MapEntry *entry) { write_access(entry, accessed(*this, entry, now_us)); });
    after_get();
    return found;
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
//
// Inserts during an expansion keep this: a new key goes into v while v's
// split is not done and into whichever half its hash belongs to once it is,
// in both cases under v's lock (and the partner's), which the walk holds
// while it visits v and its partner together; and a split moves entries
// between the two under both locks. So an entry present throughout the walk
// lies in v or its partner whenever the walk visits them, and a new one may
// or may not be visited, as for any entry inserted during a walk.

namespace {

// A bucket of the walk, locked, with its partner (locked too) while an
// expansion from `table` splits it.
struct VisitedBucket {
    BucketGuard locked;
    Bucket *partner = nullptr;
    BucketGuard partner_lock;
    std::uint64_t table = 0;  // buckets of the table in force, read under the lock
};

VisitedBucket lock_cursor_bucket(MapState &m, std::uint64_t cursor) {
    const std::uint64_t now = m.expiry_clock();
    VisitedBucket visit{lock_bucket(m, static_cast<std::int64_t>(cursor)), nullptr, BucketGuard(), 0};
    settle_if_cache(m, visit.locked.bucket(), now);
    // The count lock_bucket read under the lock after `forward` (an acquire
    // load that pairs with the ender's fetch-and-add), the one it judged the
    // bucket and its mark by.
    visit.table = m.bucket_chunk_size * visit.locked.chunks();
    const Offset forward = visit.locked.forward();
    if (forward == 0) return visit;
    const std::uint64_t half = visit.table / 2;
    const bool stale = half >= m.bucket_chunk_size && cursor < half &&
                       forward == m.area.offset_of(m.bucket_at(cursor + half));
    if (stale) return visit;
    // Taken as get and remove take it: repaired when its holder died.
    visit.partner_lock = lock_bucket_at(m, partner_bucket(m, forward));
    visit.partner = visit.partner_lock.bucket();
    settle_if_cache(m, visit.partner, now);
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
static_assert(reverse_bits(1) == std::uint64_t{1} << 63 && reverse_bits(0x6) == std::uint64_t{0x6} << 60,
              "bit i goes to bit 63 - i");

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
                visit.partner_lock.release();  // both locks let go before the step
                visit.locked.release();
                after_change(false);
                return true;  // the cursor stays: the bucket may hold more
            }
            cursor = advance_cursor(cursor, visit.table);
        } while (cursor != 0);
    }
    return false;
}

namespace {
// Buckets clear() empties between two questions to the host whether to stop:
// a few milliseconds of work at most, so an interrupt is answered at once.
constexpr std::uint64_t kBucketsBetweenInterruptChecks = 4096;
}  // namespace

void MapState::clear() {
    std::uint64_t cursor = 0;
    std::uint64_t visited = 0;
    do {
        {
            VisitedBucket visit = lock_cursor_bucket(*this, cursor);
            empty_bucket(*this, visit.locked.bucket());
            if (visit.partner != nullptr) empty_bucket(*this, visit.partner);
            cursor = advance_cursor(cursor, visit.table);
        }
        // No lock held here: a walk stopped now has emptied the buckets before.
        if (++visited % kBucketsBetweenInterruptChecks == 0) host::stop_if_interrupted();
    } while (cursor != 0);
    after_change(false);
}

}  // namespace zorvik
