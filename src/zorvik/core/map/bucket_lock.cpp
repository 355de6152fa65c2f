#include "zorvik/core/map/bucket_lock.hpp"

#include <algorithm>
#include <cstring>

#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/map/entry_metadata.hpp"
#include "zorvik/core/segment/crash_points.hpp"

namespace zorvik {
namespace {

// ---- repairs, one per change (entry_operations.cpp and expansion.cpp say
// what each change writes, in which order, and what a death leaves) ----------------
//
// Each repair is itself a sequence of single stores that ends with clearing
// the intent, and each of its steps can be run again: a process killed while
// repairing leaves the intent for the next holder, who repairs again.

// An append of entry `n`: committed when the length says n + 1; else the slot
// written beyond the length is cleared (its chains are lost to the segment).
void repair_append(const MapState &m, Bucket *bucket, std::uint64_t n) {
    ChunkArray &entries = bucket->entries;
    if (entries.length == n) {
        zero_entry(entry_place(m, entries, n));
    } else if (entries.length != n + 1) {
        throw_offset_overflow();
    }
    crash_points::step("repair of an append: entry settled");
    end_intent(bucket);
}

// A replace of an entry's value: the new chain's head and length wait in the
// entry's scratch words (the key's and the value's `scratch`) from before the
// intent was set, so the value's record is written from them again. A
// cache's replace that changes the entry's deadline stashed it in the list's
// scratch word (entry_metadata.hpp): it is written too, then the stash
// cleared. (A replace by a version without caches stashes nothing and keeps
// the deadline; one that dies there after a cache's replace died before its
// intent would get that stash: a double failure of mixed versions, which
// costs a deadline, never an entry.)
void repair_replace(const MapState &m, Bucket *bucket, Offset entry_offset) {
    ChunkArray &entries = bucket->entries;
    MapEntry *entry = entry_named(m, entries, entry_offset, entries.length);
    if (entry == nullptr) throw_offset_overflow();
    const std::uint64_t length = entry->value.scratch;
    const std::uint64_t count = m.data_chunks(length);
    const Offset head = count == 0 ? 0 : entry->key.scratch;
    // The new chain must be one before it is recorded: a walk of it checks.
    const Chain chain(m.area, head, count, m.data_chunk_size);
    if (count != 0) chain.last();
    store_head(entry->value, head);
    store_length(entry->value, length);
    store_chunk_count(entry->value, count);
    entry->value.per_chunk = m.data_chunk_size;
    crash_points::step("repair of a replace: value recorded");
    if (const std::uint64_t stash = entries.scratch; (stash & kDeadlineStash) != 0) {
        write_deadline(entry, stash & (kDeadlineStash - 1));
        crash_points::step("repair of a replace: deadline recorded");
        set_list_scratch(bucket, 0);
    }
    end_intent(bucket);
}

// A remove of the entry at `entry_offset` from a list of `n` (in `scratch`):
// before the commit (the length still n) it is done again from the start,
// the last entry being intact until after the commit; after it, the last
// place is cleared and the surplus entry chunks left out of the count (they
// and the removed entry's chains are lost to the segment). The count of
// entries (and a cache's count of bytes) is lowered here only when the
// commit is made here; after a commit
// the dead process made, whether it lowered the count is unknowable (two
// separate words), and it is taken to have done so.
void repair_remove(MapState &m, Bucket *bucket, Offset entry_offset) {
    ChunkArray &entries = bucket->entries;
    const std::uint64_t n = entries.scratch;
    if (n == 0) throw_offset_overflow();
    bool committed_here = false;
    std::uint64_t gone_chunks = 0;
    if (entries.length == n) {
        MapEntry *found = entry_named(m, entries, entry_offset, n);
        if (found == nullptr) throw_offset_overflow();
        gone_chunks = found->key.chunk_count + found->value.chunk_count;
        MapEntry *last = entry_place(m, entries, n - 1);
        if (found != last) std::memcpy(static_cast<void *>(found), last, sizeof(MapEntry));
        crash_points::step("repair of a remove: last entry copied");
        store_length(entries, n - 1);
        committed_here = true;
    } else if (entries.length != n - 1) {
        throw_offset_overflow();
    }
    crash_points::step("repair of a remove: committed");
    // The last place, unless the chunk that holds it is already out of the count.
    if (n - 1 < kEntriesPerChunk * entries.chunk_count) zero_entry(entry_place(m, entries, n - 1));
    const std::uint64_t needed = std::max<std::uint64_t>(1, chunks_for(n - 1, kEntriesPerChunk));
    if (entries.chunk_count > needed) store_chunk_count(entries, needed);
    crash_points::step("repair of a remove: places settled");
    if (committed_here) {
        m.add_entries(-1);
        m.add_cache_bytes(-m.entry_bytes(gone_chunks));
    }
    crash_points::step("repair of a remove: counted");
    end_intent(bucket);
}

// A split that had written the moved entries into the partner but not yet
// touched its own list: undone, by setting the partner's length back (the
// copies beyond it are cleared; the old list still holds every entry). The
// split is made again later, by a participant or by the sweep that ends the
// expansion; the split-done bit is cleared with the intent (an undone split
// is no split, whatever bit an earlier doubling left). Only operations that
// hold this bucket's lock reach the partner before the doubling, so the
// partner is not locked here.
void repair_split_moves(const MapState &m, Bucket *bucket, std::uint64_t partner_length) {
    Bucket *partner = partner_bucket(m, static_cast<Offset>(atomics::load_field48(forward_word(bucket))));
    ChunkArray &list = partner->entries;
    const std::uint64_t length = list.length;
    if (length < partner_length) throw_offset_overflow();
    if (length != partner_length) {
        store_length(list, partner_length);
        crash_points::step("repair of a split: partner's length set back");
        for (std::uint64_t k = partner_length; k < length; ++k) zero_entry(entry_place(m, list, k));
    }
    crash_points::step("repair of a split: partner settled");
    write_intent(bucket, Intent::none, 0, false);
}

// A split whose moved entries are committed in the partner, and whose
// remaining entries were laid out in a new list: the list's record is
// written from the new head (in `scratch`) and the count (the argument) again.
// The old list's chunks are lost to the segment.
void repair_split_stays(const MapState &m, Bucket *bucket, std::uint64_t stays) {
    ChunkArray &entries = bucket->entries;
    const Offset head = entries.scratch;
    const std::uint64_t count = std::max<std::uint64_t>(1, chunks_for(stays, kEntriesPerChunk));
    entry_chain(m.area, ChunkArray{head, stays, count, kEntriesPerChunk, {}, 0}).last();  // a walk checks it
    store_head(entries, head);
    store_length(entries, stays);
    store_chunk_count(entries, count);
    crash_points::step("repair of a split: list recorded");
    write_intent(bucket, Intent::none, 0, true);
}

}  // namespace

void repair_bucket(MapState &m, Bucket *bucket) {
    const IntentWord word = read_intent(bucket);
    switch (word.intent) {
        case Intent::none:
            return;
        case Intent::append:
            repair_append(m, bucket, word.argument);
            return;
        case Intent::replace:
            repair_replace(m, bucket, word.argument);
            return;
        case Intent::remove:
            repair_remove(m, bucket, word.argument);
            return;
        case Intent::split_moves:
            repair_split_moves(m, bucket, word.argument);
            return;
        case Intent::split_stays:
            repair_split_stays(m, bucket, word.argument);
            return;
    }
    throw_offset_overflow();  // a value no version writes: a damaged file
}

namespace {

// `bucket`'s lock, with the change its last holder left half done repaired.
// A lock taken over from an ended holder, or one whose last holder failed
// half way, finds the intent set; any other finds it clear.
SegmentLockGuard lock_repaired(MapState &m, Bucket *bucket) {
    SegmentLockGuard lock(lock_word(bucket), kBucketLockName);
    if (intent_pending(bucket)) repair_bucket(m, bucket);
    return lock;
}

}  // namespace

BucketGuard lock_bucket_at(MapState &m, Bucket *bucket) {
    SegmentLockGuard lock = lock_repaired(m, bucket);
    const auto forward = static_cast<Offset>(atomics::load_field48(forward_word(bucket)));
    return BucketGuard(bucket, forward, 0, std::move(lock));
}

BucketGuard lock_bucket(MapState &m, std::int64_t hash) {
    for (;;) {
        const std::uint64_t chunks = m.chunks_in_use();
        const std::uint64_t index = m.bucket_index(hash, chunks);
        Bucket *bucket = m.bucket_at(index);
        SegmentLockGuard lock = lock_repaired(m, bucket);
        // Read `forward` before the count: see the essay in entry_operations.cpp.
        // Both loads are acquires; the `forward` load pairs with a splitter's
        // exchange, the count's with the ender's fetch-and-add.
        auto forward = static_cast<Offset>(atomics::load_field48(forward_word(bucket)));
        const std::uint64_t now = m.chunks_in_use();
        if (now == chunks || m.bucket_index(hash, now) == index) {
            if (forward != 0 && !is_current_mark(m, index, now, forward)) {
                // Left by an expansion that has ended: its ender would have
                // cleared it.
                clear_split_mark(bucket);
                forward = 0;
            }
            return BucketGuard(bucket, forward, now, std::move(lock));
        }
        // The table doubled meanwhile and the hash leads elsewhere: `lock`
        // lets go of this bucket (repaired), and the next round takes the
        // right one.
    }
}

Bucket *partner_bucket(const MapState &m, Offset forward) {
    if (forward % kChunkGrid != kDataPastGrid) throw_offset_overflow();
    return reinterpret_cast<Bucket *>(m.area.bytes(forward, sizeof(Bucket)));
}

bool is_current_mark(MapState &m, std::uint64_t index, std::uint64_t chunks, Offset forward) {
    const std::uint64_t partner = index + m.bucket_chunk_size * chunks;
    // Marks are set only once the new chunks are published, and slot
    // `chunks` is published last: before it is, the other new slots may
    // still be replaced (a dead claimer's, built anew), and resolving one
    // would cache an address that goes stale.
    if (chunks >= m.reachable_chunks || m.table_entry(chunks) <= 1) return false;
    return m.area.offset_of(m.bucket_at(partner)) == forward;
}

}  // namespace zorvik
