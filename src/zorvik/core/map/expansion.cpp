// Expansion: doubling the bucket table in place, while every attached process
// keeps using it. This file holds what every doubling shares: the gates that
// count participants, the hand-out of buckets in batches, and the split of a
// bucket into its two halves. How a doubling is claimed, built, ended and
// cleared, in bounded steps carried by every process's operations, is
// growth.cpp's.
//
// The table in force has L = chunks_in_use bucket chunks, T = B x L buckets; an
// entry with hash h lives in bucket h mod T. One expansion creates chunks
// L .. 2L-1 and splits every bucket i < T into itself and its partner i + T
// (same slot, chunk + L): an entry moves exactly when h has the bit T set.
//
// Joining. expansion(n) and the parallel driver count themselves in
// expansion_workers, under expansion_lock, through the entry points' gate,
// which refuses when the doubled table would not fit bucket_chunk_number or
// when more than 4096 participants are counted while buckets are still
// handed out. The count belongs to its expansion: the end clears it, and a
// participant that leaves and finds the table doubled has had its count
// cleared with the expansion's. Versions that finish a doubling in one
// operation read the count to space out their verifications; operations of
// this version step without counting themselves.
//
// Batches. Once the new chunks are published the cursor (split_cursor) holds
// the last bucket not handed out yet; participants take batches of 16
// buckets from it by a compare-and-swap from a value a >= 0 to a - 16,
// until it is negative (a batch is never taken from a negative value, so the
// markers that share the word are never changed by one).
//
// Splitting. To split bucket i a participant locks it, sets its `forward` to
// the partner (gets and removes that lock it afterwards also look there;
// inserts find keys there and, once the split is done, put new keys of the
// partner's half there) and locks the partner, then moves the entries in two
// phases, each with its own intent in bucket i's intent word
// (bucket_state.hpp):
//
//   1. split_moves(m0): the entries that move are copied into the partner's
//      places m0.. past its length m0 (new entry chunks from the pool linked
//      behind its last one and counted first), then the partner's length is
//      raised (the commit of phase 1);
//   2. split_stays(s): the s entries that stay have been laid out in a new
//      list of fresh entry chunks; its head goes to bucket i's `scratch`, then
//      the list's head, length and chunk count are written; then the intent
//      is cleared with the split-done bit set. The old list's chunks go back
//      to the pool, cleared.
//
// A death in phase 1 is undone by the next holder of bucket i's lock (the
// partner's length set back: the old list still holds every entry; the
// split-done bit cleared, since an undone split is no split), and the split
// is made again; one in phase 2 is finished from `scratch` and the count. A
// split takes fresh entry chunks and gives the old list's back right after,
// so a participant's pool needs at most one bucket's worth of chunks beyond
// what it holds; a split the pool cannot supply fails before it changes
// anything, and its bucket is left for the sweep that ends the doubling.
//
// A split-done bit without its doubling's mark is stale (a clearing that
// died between `forward` and the bit): it is cleared before the mark is set,
// so that a bucket never reads as split before its entries have moved.
//
// Lock order: a splitter holds a bucket's lock and its partner's, takes the
// entry pool's lock (and the allocator's) inside them, and holds no other
// bucket lock; expansion_lock is only taken with no bucket lock held.
#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <vector>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/holder_looks.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/processes.hpp"
#include "zorvik/core/segment/scope_exit.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

// The gates refuse a thread while more than this many participants are
// counted and buckets are still handed out (a bound on how many processes
// share the cursor's cache line); once every bucket is handed out, a joiner
// only verifies, and dead participants' counts must not keep it out.
constexpr std::uint64_t kMaxParticipantsAdmitted = 4096;
// Bytes one new bucket's entry chunk costs when a refill cuts it from fresh
// space: its link chunk and the entry chunk side by side.
constexpr std::uint64_t kEntryPairSpan = pair_span(kEntryChunkSize);

// A link of a bucket's entry list read ahead of a split, with its entry
// chunk (checked).
struct EntryChunk {
    ChunkLink *link;
    MapEntry *entries;  // kEntriesPerChunk of them
};

EntryChunk entry_chunk_of(const MapState &m, ChunkLink *link) {
    return EntryChunk{link, reinterpret_cast<MapEntry *>(m.area.bytes(link->chunk, kEntryChunkSize))};
}

std::vector<EntryChunk> entry_chunks_of(const MapState &m, const Chain &chain) {
    std::vector<EntryChunk> chunks;
    chunks.reserve(std::min(chain.count(), m.area.most_links()));  // the walk refuses a count no chain can have
    for (ChunkLink *link : chain.links()) chunks.push_back(entry_chunk_of(m, link));
    return chunks;
}

MapEntry &place_in(const std::vector<EntryChunk> &chunks, std::uint64_t index) {
    return chunks[index / kEntriesPerChunk].entries[index % kEntriesPerChunk];
}

// Two chains from the entry pool, the second taken only once the first is:
// when it cannot be, the first goes back before the failure leaves.
struct SplitChunks {
    Chain partner_extra;
    Chain stays;
};

SplitChunks take_split_chunks(MapState &m, std::uint64_t partner_extra, std::uint64_t stays) {
    SplitChunks taken;
    // A published doubling must be finished: its splits may use the last
    // room of the file.
    taken.partner_extra = m.take_links(m.entry_pool, partner_extra, ChunkPool::Refill::as_needed);
    try {
        taken.stays = m.take_links(m.entry_pool, stays, ChunkPool::Refill::as_needed);
    } catch (...) {
        m.entry_pool.give_back(taken.partner_extra);
        throw;
    }
    return taken;
}

// Joins a pending public join_unlocked() to the expansion_worker() call after
// it (the public interface has no way to hand the joined L over).
thread_local MapState *joined_state = nullptr;
thread_local std::uint64_t joined_chunks = 0;

}  // namespace

// ---- gates ----------------------------------------------------------------------

bool MapState::has_room_for_expansion(std::uint64_t chunks) {
    // One block for the new chunks (plus its header, rounded) and one entry
    // chunk with its link per new bucket, less what this process's entry pool
    // already holds. Overflow means "no room".
    const std::uint64_t buckets = bucket_chunk_size * chunks;
    if (buckets / chunks != bucket_chunk_size || buckets > UINT64_MAX / sizeof(Bucket)) return false;
    const std::uint64_t block = buckets * sizeof(Bucket) + 8;
    const std::uint64_t cached = entry_pool.count();
    const std::uint64_t pairs = buckets > cached ? buckets - cached + ChunkPool::kRefillGroup : 0;
    if (pairs > UINT64_MAX / kEntryPairSpan) return false;
    const std::uint64_t need = pairs * kEntryPairSpan;
    if (need > UINT64_MAX - block) return false;
    const std::uint64_t unallocated = unallocated_bytes(base);
    if (unallocated >= need + block) return true;
    // Short of fresh space, free chunks (listed, or kept back by this
    // process's data pool, which a take gives back when short) can be made
    // into what the doubling needs; but its block only from a run of them
    // side by side, which only an attempt finds. After an attempt found
    // none, another is made only once a block's worth more has been freed.
    const std::uint64_t listed = free_listed_bytes(base);
    const std::uint64_t free = listed + data_pool.count() * pair_span(data_chunk_size);
    if (unallocated + free < need + block) return false;
    const std::uint64_t refused = doubling_refused_at.load(std::memory_order_relaxed);
    return refused == 0 || listed >= refused - 1 + block;
}

std::uint64_t MapState::admit(std::uint64_t chunks) {
    if (!doubling_fits(chunks)) return 0;
    const bool handing_out = atomics::load_field48(split_cursor_word) >= 0 && table_entry(chunks) > 1;
    if (expansion_workers() > kMaxParticipantsAdmitted && handing_out) return 0;
    // Counted under expansion_lock; lowered by expansion_worker under it too,
    // or cleared by the ender.
    atomics::fetch_add_field48(expansion_workers_word, 1);
    return chunks;
}

std::uint64_t MapState::join_unlocked() {
    SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
    return admit(chunks_in_use());
}

MapState::Part MapState::expansion_worker(std::uint64_t chunks, bool counted) {
    // A counted participant is uncounted on every way out unless the doubling
    // ended (its end cleared every count, this one's with the rest).
    ScopeExit leave([this, chunks, counted] {
        if (!counted) return;
        SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
        if (chunks_in_use() == chunks) atomics::fetch_add_field48(expansion_workers_word, -1);
    });
    return drive_to_end(chunks);
}

std::int64_t MapState::take_batch() {
    // Seq_cst; only this word orders the hand-out (every bucket is handed
    // out exactly once), and a negative value is never changed here.
    std::int64_t seen = atomics::load_field48(split_cursor_word);
    while (seen >= 0) {
        const std::int64_t found = atomics::cas_field48(split_cursor_word, seen, seen - kSplitBatch);
        if (found == seen) return seen;
        seen = found;
    }
    return -1;
}

bool MapState::reserve_table_slots(std::uint64_t chunks) {
    // Slots L..2L-1 get the new chunks (L the marker first) and slot 2L the
    // ender's marker; the table's pages are backed page by page
    // (map_creation.cpp), so those get their blocks before the first store.
    // chunks <= bucket_chunk_number / 2 here (doubling_fits), so 2L + 1
    // cannot wrap; the end is cut at the table's.
    const std::uint64_t end = std::min(2 * chunks + 1, bucket_chunk_number);
    return reserve_pages(base, table_slot(chunks), (end - chunks) * sizeof(Offset));
}

// ---- splitting ----------------------------------------------------------------------

bool MapState::is_split(std::uint64_t index, std::uint64_t chunks, Bucket *bucket) {
    if (!read_intent(bucket).split_done) return false;
    const Bucket *partner = bucket_at(index + bucket_chunk_size * chunks);
    return atomics::load_field48(forward_word(bucket)) == static_cast<std::int64_t>(area.offset_of(partner));
}

MapState::Split MapState::split_bucket(std::uint64_t index, std::uint64_t chunks) {
    Bucket *bucket = bucket_at(index);
    const BucketGuard guard = lock_bucket_at(*this, bucket);
    // Nothing to do when the expansion has ended meanwhile (every bucket was
    // known split first) or another participant split this one.
    if (chunks_in_use() != chunks) return Split::over;
    if (is_split(index, chunks, bucket)) return Split::done_before;
    split_locked(index, chunks, bucket);
    return Split::done_now;
}

void MapState::split_locked(std::uint64_t index, std::uint64_t chunks, Bucket *old_bucket) {
    const std::uint64_t table = bucket_chunk_size * chunks;
    Bucket *partner = bucket_at(index + table);
    // A split-done bit without this doubling's mark is stale: cleared first,
    // so that the mark below never makes the bucket read as split.
    if (read_intent(old_bucket).split_done) write_intent(old_bucket, Intent::none, 0, false);
    // The mark, under this bucket's lock: pairs with the load of `forward`
    // that every operation makes under it.
    atomics::exchange_field48(forward_word(old_bucket), static_cast<std::int64_t>(area.offset_of(partner)));
    crash_points::step("split: marked");
    const BucketGuard partner_guard = lock_bucket_at(*this, partner);
    ChunkArray &old_list = old_bucket->entries;
    ChunkArray &new_list = partner->entries;

    // Read everything first; nothing is written until both lists have been
    // read and checked and every chunk the split needs has been taken.
    const Chain old_chain = bucket_entries(*this, old_list);
    const std::vector<EntryChunk> old_chunks = entry_chunks_of(*this, old_chain);
    std::vector<MapEntry> stays, moves;
    for (std::uint64_t i = 0; i < old_list.length; ++i) {
        const MapEntry &entry = place_in(old_chunks, i);
        (static_cast<std::uint64_t>(entry.hash) & table ? moves : stays).push_back(entry);
    }
    if (moves.empty()) {
        write_intent(old_bucket, Intent::none, 0, true);
        return;
    }
    std::vector<EntryChunk> partner_chunks = entry_chunks_of(*this, bucket_entries(*this, new_list));
    const std::uint64_t partner_length = new_list.length;
    const std::uint64_t partner_count = new_list.chunk_count;
    const std::uint64_t partner_needs = chunks_for(partner_length + moves.size(), kEntriesPerChunk);
    const std::uint64_t extra = partner_needs > partner_count ? partner_needs - partner_count : 0;
    const std::uint64_t stays_count = std::max<std::uint64_t>(1, chunks_for(stays.size(), kEntriesPerChunk));
    const SplitChunks taken = take_split_chunks(*this, extra, stays_count);
    std::vector<EntryChunk> stays_chunks;
    try {
        for (ChunkLink *link : taken.partner_extra.links()) partner_chunks.push_back(entry_chunk_of(*this, link));
        stays_chunks = entry_chunks_of(*this, taken.stays);
    } catch (...) {
        entry_pool.give_back(taken.partner_extra);
        entry_pool.give_back(taken.stays);
        throw;
    }

    // The new list of the entries that stay, in the order they had: fresh
    // chunks, chained by the pool, seen by nobody until phase 2 records them.
    // Fresh chunks are cleared here rather than trusted to be: a place past a
    // list's length reads zero.
    for (const EntryChunk &chunk : stays_chunks) std::memset(static_cast<void *>(chunk.entries), 0, kEntryChunkSize);
    for (std::size_t k = partner_count; k < partner_chunks.size(); ++k) {
        std::memset(static_cast<void *>(partner_chunks[k].entries), 0, kEntryChunkSize);
    }
    for (std::size_t k = 0; k < stays.size(); ++k) place_in(stays_chunks, k) = stays[k];

    // Phase 1: the moved entries into the partner's places past its length,
    // in the order they had; extra chunks linked behind its last one and
    // counted before the commit.
    for (std::size_t k = 0; k < moves.size(); ++k) place_in(partner_chunks, partner_length + k) = moves[k];
    if (extra != 0) partner_chunks[partner_count - 1].link->next = taken.partner_extra.head();
    crash_points::step("split: moved entries written past the partner's length");
    if (extra != 0) store_chunk_count(new_list, partner_count + extra);
    crash_points::step("split: partner's chunks counted");
    begin_intent(old_bucket, Intent::split_moves, partner_length);
    crash_points::step("split: phase 1 intent set");
    store_length(new_list, partner_length + moves.size());
    crash_points::step("split: moved entries committed in the partner");

    // Phase 2: the new list replaces the old one.
    set_list_scratch(old_bucket, taken.stays.head());
    crash_points::step("split: new list's head noted");
    begin_intent(old_bucket, Intent::split_stays, stays.size());
    crash_points::step("split: phase 2 intent set");
    store_head(old_list, taken.stays.head());
    crash_points::step("split: head recorded");
    store_length(old_list, stays.size());
    store_chunk_count(old_list, stays_count);
    crash_points::step("split: list recorded");
    write_intent(old_bucket, Intent::none, 0, true);
    crash_points::step("split: done, old list not given back");

    // The old list's chunks back to the pool, cleared as the pool keeps them.
    for (const EntryChunk &chunk : old_chunks) std::memset(static_cast<void *>(chunk.entries), 0, kEntryChunkSize);
    entry_pool.give_back(old_chain, old_chunks.back().link);
}

// ---- entry points -----------------------------------------------------------------

void ConcurrentHashMap_string::expansion_worker() {
    MapState &m = state();
    std::uint64_t chunks = 0;
    const bool counted = joined_state == &m;
    if (counted) {
        chunks = joined_chunks;
        joined_state = nullptr;
    } else {
        // Called without the gate before it: the table in force, and no
        // count to take back.
        chunks = m.chunks_in_use();
    }
    if (m.expansion_worker(chunks, counted) == MapState::Part::no_room) {
        throw std::runtime_error("the segment has no room to expand the table");
    }
}

bool ConcurrentHashMap_string::join_unlocked() {
    MapState &m = state();
    const std::uint64_t chunks = m.join_unlocked();
    if (chunks == 0) return false;
    joined_state = &m;
    joined_chunks = chunks;
    return true;
}

void ConcurrentHashMap_base::python_expansion_helper(std::uint64_t /*target*/) {
    if (join_unlocked()) expansion_worker();
}

void python_expansion_helper_string(std::string name, std::uint64_t target) {
    // An attach: the map's shape comes from the file. The numbers only have to
    // pass the constructor's argument checks; an empty `name` creates a map of
    // that shape instead (which has no room to expand).
    ConcurrentHashMap_string map(name, kAttachArguments.bucket_chunk_size_exponent,
                                 kAttachArguments.bucket_chunk_number, kAttachArguments.size,
                                 kAttachArguments.string_chunk_size_exponent);
    if (map.chunks_in_use() < target) map.python_expansion_helper(target);
}

}  // namespace zorvik
