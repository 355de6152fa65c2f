// Expansion: doubling the bucket table in place, while every attached process
// keeps using it, carried out by whichever threads of whichever processes join.
//
// The protocol
// ------------
// The table in force has L = chunks_in_use bucket chunks, T = B x L buckets; an
// entry with hash h lives in bucket h mod T. One expansion creates chunks
// L .. 2L-1 and splits every bucket i < T into itself and its partner i + T
// (same slot, chunk + L): an entry moves exactly when h has the bit T set.
//
// Joining. A thread takes part only after a join gate has counted it in
// expansion_workers, under expansion_lock, and read L there: insert's gate
// when the table holds more than two entries per bucket, the entry points'
// gate on request. Both refuse when the doubled table would not fit
// bucket_chunk_number, when more than 4096 participants are counted while
// buckets are still handed out, or when no expansion is running and the
// segment has no room for a new one. The count belongs to its expansion: the
// expansion can end without a participant (below), and one that leaves and
// finds the table doubled has had its count cleared with the expansion's.
//
// Claiming. split_cursor names the claimer while one builds: kClaimedBy - pid
// (map_internal.hpp). A participant that finds chunk_table[L] empty claims the
// expansion by a compare-and-swap of the cursor from a plain value (any value
// that names no process) to its own claim, and then sets chunk_table[L] from 0
// to 1, the marker; the others sleep a millisecond at a time until the
// chunks are published. The claimer first reserves all it needs (one entry
// chunk per new bucket, from its entry pool, and one block for the L new
// chunks); when the segment cannot supply them it gives back what it took,
// removes the marker, gives the cursor back the value it had and leaves, so
// no expansion ever waits on a claimer that failed. A claimer reads the slot
// again once the cursor names it: the value it compared the cursor with may
// have come back after another claimer's whole expansion ran (an expansion
// ends with the cursor at -1, where it began), and a published slot is then
// left alone. Otherwise it initialises
// the buckets, sets split_cursor to T - 1 and publishes the chunks' Offsets
// from 2L-1 down to L; the exchange that replaces the marker at slot L comes
// last, so a participant that sees it gone sees the cursor and every new
// bucket too.
//
// Splitting. Participants take batches of 16 buckets from split_cursor by a
// compare-and-swap from a value a >= 0 to a - 16, until it is negative (a
// batch is never taken from a negative value, so the markers that share the
// word are never changed by one). To split bucket i a participant locks it,
// sets its `forward` to the partner (gets and removes that lock it afterwards
// also look there; inserts find keys there and, once the split is done, put
// new keys of the partner's half there) and locks the partner, then moves the
// entries in two phases, each with its own intent in bucket i's intent word
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
// partner's length set back: the old list still holds every entry), and the
// split is made again; one in phase 2 is finished from `scratch` and the count.
// A split takes fresh entry chunks and gives the old list's back right
// after, so a participant's pool needs at most one bucket's worth of chunks
// beyond what it holds; a split the pool cannot supply fails before it
// changes anything, and its bucket is left for the verification.
//
// Ending. The expansion ends only when every old bucket is split: the
// participant that leaves last (or one that leaves while others, perhaps
// dead, are still counted: at most once a second per process) verifies
// every old bucket under its lock, splitting those a participant did not
// (one that died holding a batch, or before it took the lock; a lock held by
// a dead process is taken over and repaired on the way). Then, under
// expansion_lock, it names itself in the cursor (kEndingBy - pid), puts the
// marker on chunk_table[2L], so that no next expansion can start yet, clears
// expansion_workers (the dead participants' counts with the rest) and
// doubles chunks_in_use. Then it clears `forward` and the split-done bit of
// every old bucket under each bucket's lock, makes the cursor plain and
// removes the marker. The next expansion's claimer therefore cannot set a
// `forward` that the clearing pass would erase.
//
// Processes that die. A participant that died stays counted until the
// expansion ends; its batch is split by the verification. A claimer or an
// ender that died is named by the cursor: a participant that has waited on
// the marker for 200 ms, and then every 100 ms, asks whether that process
// still exists (processes.hpp) and, when it has ended, takes its place by a
// compare-and-swap of the cursor: it finishes a dead ender's clearing pass
// and builds the chunks of a dead claimer anew (the dead one's block is lost
// to the segment). A marker whose cursor names no process (an ender that died
// after making the cursor plain) is taken after a second. An ender that died
// before the doubling leaves an expansion whose buckets are all split: the
// next participant to leave ends it, and owns the marker on chunk_table[2L]
// it finds. Marks that a dead ender left after the doubling are cleared by
// whichever operation locks their bucket first (lock_bucket), and by the
// next expansion's claimer. So the table never doubles around a bucket that
// is not split, and no expansion waits for ever on a process that has ended;
// inserts never wait for an expansion at all.
//
// Lock order: a splitter holds a bucket's lock and its partner's, takes the
// entry pool's lock (and the allocator's) inside them, and holds no other
// bucket lock; expansion_lock is only taken with no other lock held.
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
// Buckets a participant takes from split_cursor at once: the range a-15 .. a
// below the value a it found. Every participant of every process must use the
// same batch, or two would split the same buckets; 16 keeps the contended
// compare-and-swap on the shared cursor to one per 16 splits while leaving
// work for every participant of a table of a few chunks.
constexpr std::int64_t kBatch = 16;
// Bytes one new bucket's entry chunk costs when a refill cuts it from fresh
// space: its link chunk and the entry chunk side by side.
constexpr std::uint64_t kEntryPairSpan = pair_span(kEntryChunkSize);
// The cursor a finished expansion leaves: plain, and below every bucket.
constexpr std::int64_t kPlainCursor = -1;

// Waits on a marker are 1-millisecond sleeps, and look at the process the
// cursor names on the schedule lock waits look at a holder on
// (holder_looks.hpp: after 200 ms, then every 100 ms); a marker whose cursor
// names no process is taken after five times the first look (a second).
constexpr int kUnnamedMarkerLooks = 5;
// The least time between two verifications by one map object while other
// participants are still counted (each verification locks every old bucket).
constexpr std::chrono::seconds kVerificationInterval{1};

int pid_below(std::int64_t cursor, std::int64_t sentinel) {
    return cursor <= sentinel && cursor > sentinel - kPidRange ? static_cast<int>(sentinel - cursor) : 0;
}

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

std::uint64_t MapState::admit(std::uint64_t chunks, bool check_room) {
    if (!doubling_fits(chunks)) return 0;
    const bool handing_out = atomics::load_field48(split_cursor_word) >= 0 && table_entry(chunks) > 1;
    if (expansion_workers() > kMaxParticipantsAdmitted && handing_out) return 0;
    if (check_room && table_entry(chunks) == 0 && expansion_workers() == 0 && !has_room_for_expansion(chunks)) {
        return 0;
    }
    // Counted under expansion_lock; lowered by leave_expansion under it too,
    // or cleared by the ender.
    atomics::fetch_add_field48(expansion_workers_word, 1);
    return chunks;
}

std::uint64_t MapState::join_locked() {
    if (!doubling_fits(chunks_in_use())) return 0;  // cheap refusal without the lock
    SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
    const std::uint64_t chunks = chunks_in_use();
    if (!past_doubling_load(chunks)) return 0;
    return admit(chunks, true);
}

std::uint64_t MapState::join_unlocked() {
    SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
    return admit(chunks_in_use(), false);
}

// ---- the worker -----------------------------------------------------------------

MapState::Part MapState::expansion_worker(std::uint64_t chunks) {
    Part part = Part::nothing_to_do;
    std::exception_ptr failure;
    try {
        part = take_part(chunks);
    } catch (abi::__forced_unwind &) {
        throw;  // the thread is being ended: nothing may hold it up
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        leave_expansion(chunks);
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
    return part;
}

std::int64_t MapState::take_batch() {
    // Full barrier; only this word orders the hand-out (every bucket is handed
    // out exactly once), and a negative value is never changed here.
    std::int64_t seen = atomics::load_field48(split_cursor_word);
    while (seen >= 0) {
        const std::int64_t found = atomics::cas_field48(split_cursor_word, seen, seen - kBatch);
        if (found == seen) return seen;
        seen = found;
    }
    return -1;
}

MapState::Part MapState::take_part(std::uint64_t chunks) {
    if (!doubling_fits(chunks)) return Part::nothing_to_do;
    const Part claimed = claim_and_build(chunks);
    if (claimed != Part::split) return claimed;
    std::exception_ptr failure;
    // An expansion that ended without this participant (the verification
    // split what it had not) leaves nothing to take.
    while (chunks_in_use() == chunks) {
        const std::int64_t a = take_batch();
        if (a < 0) break;
        // A bucket that cannot be split (a broken structure, a pool that
        // cannot supply it) does not stop the rest of the batch, which nobody
        // else will split; no further batch is taken after a failure.
        for (std::int64_t i = std::max<std::int64_t>(a - (kBatch - 1), 0); i <= a; ++i) {
            try {
                split_bucket(static_cast<std::uint64_t>(i), chunks);
            } catch (abi::__forced_unwind &) {
                throw;
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
    }
    return Part::split;
}

// Returns Part::split once the new chunks of the expansion from `chunks` are
// published (by this thread or another); Part::no_room when this thread
// claimed the expansion and the segment could not supply the new chunks.
MapState::Part MapState::claim_and_build(std::uint64_t chunks) {
    char *slot = table_slot(chunks);
    HolderLooks looks(HolderLooks::Clock::now());
    const auto unnamed_patience = kUnnamedMarkerLooks * looks.timing().first_look;
    for (;;) {
        const auto now = HolderLooks::Clock::now();
        // Acquire; pairs with the publication's exchange.
        const std::int64_t marker = table_entry(chunks);
        if (marker > 1) return Part::split;  // published
        const std::int64_t cursor = atomics::load_field48(split_cursor_word);
        const int claimer = pid_below(cursor, kClaimedBy);
        const int ender = pid_below(cursor, kEndingBy);
        const int named = claimer != 0 ? claimer : ender;
        bool claimable = false;
        if (named == 0) {
            // Nobody claims: free, or a marker whose ender died after making
            // the cursor plain (or that a damaged file holds).
            claimable = marker == 0 || looks.waited(now, unnamed_patience);
        } else if (looks.due(now)) {
            claimable = processes::holder_has_ended(named, 0, split_cursor_word);
        }
        // The claim; full barrier. A waiter replaces a claimer or ender only
        // once it has ended, and only one waiter's compare-and-swap succeeds.
        const std::int64_t mine = kClaimedBy - host::own_pid();
        if (claimable && atomics::cas_field48(split_cursor_word, cursor, mine) == cursor) {
            crash_points::step("claim: cursor names this process");
            // Given up on every way out but a publication: the marker first,
            // then the cursor (back to the value it replaced, if it still
            // names this claim), so that no one waits on this claim any more.
            bool holds_marker = false;
            ScopeExit give_up([&] {
                if (holds_marker) atomics::exchange_field48(slot, 0);
                crash_points::step("claim: given up, cursor still names this process");
                atomics::cas_field48(split_cursor_word, mine, cursor);
            });
            // The slot is read again now that the claim is this process's: it
            // may have moved on since the first read (another claimer's
            // expansion published and run its course, bringing the cursor
            // back to the value read), and then there is nothing to claim.
            const std::int64_t now = table_entry(chunks);
            if (now > 1) return Part::split;
            if (ender != 0 && chunks >= 2) clear_marks(chunks / 2);  // the dead ender's clearing pass
            if (!reserve_table_slots(chunks)) return Part::no_room;
            if (now == 0 && atomics::cas_field48(slot, 0, 1) != 0) continue;
            holds_marker = true;
            crash_points::step("claim: marker set");
            if (!build_new_chunks(chunks)) return Part::no_room;
            give_up.dismiss();
            return Part::split;
        }
        {
            host::WaitScope counted;
            host::sleep_1ms();
        }
        if (host::stop_requested()) throw WaitAbandoned("expansion's new chunks");
    }
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

bool MapState::build_new_chunks(std::uint64_t chunks) {
    const std::uint64_t buckets = bucket_chunk_size * chunks;
    if (!has_room_for_expansion(chunks)) return false;
    // The block first: in a file whose fresh space is all cut, it needs a
    // run of free chunks side by side, which the entry chunks (cut from any
    // run of 208 bytes) would otherwise break up first.
    const std::uint64_t block_length = buckets * sizeof(Bucket);
    char *block = allocate_block(base, block_length);
    Chain links;
    if (block != nullptr) {
        try {
            links = take_links(entry_pool, buckets);
        } catch (const std::runtime_error &) {
            give_back_block(base, block, block_length);  // never named: nobody else knows it
            block = nullptr;  // the segment filled up meanwhile
        }
    }
    if (block == nullptr) {
        // Noted for has_room_for_expansion (plus one: 0 means none).
        doubling_refused_at.store(free_listed_bytes(base) + 1, std::memory_order_relaxed);
        return false;
    }
    doubling_refused_at.store(0, std::memory_order_relaxed);
    crash_points::step("build: block allocated");
    const std::uint64_t chunk_bytes = bucket_chunk_bytes();
    Bucket *bucket = reinterpret_cast<Bucket *>(block);
    for (ChunkLink *link : links.links()) write_empty_bucket(bucket++, area.offset_of(link));
    for (std::uint64_t j = 0; j < chunks; ++j) chunk_cache.store(chunks + j, block + j * chunk_bytes);
    crash_points::step("build: buckets written");
    // Whole-word store: the cursor holds this claimer's negative marker. No
    // other thread changes it now: it names this claimer, whom a waiter
    // replaces only once this process has ended, and no participant takes a
    // batch before slot L is published below.
    atomics::store_field64(split_cursor_word, static_cast<std::int64_t>(buckets) - 1);
    crash_points::step("build: cursor set");
    // Publication, slot L (the marker) last; each exchange is a full barrier,
    // so the buckets and the cursor are visible before slot L changes. Pairs
    // with claim_and_build's load and bucket_chunk's load.
    for (std::uint64_t j = 2 * chunks; j-- > chunks;) {
        atomics::exchange_field48(table_slot(j), static_cast<std::int64_t>(to_offset(base, block)) +
                                                     static_cast<std::int64_t>((j - chunks) * chunk_bytes));
        crash_points::step("build: a chunk published");
    }
    return true;
}

// ---- splitting ----------------------------------------------------------------------

bool MapState::is_split(std::uint64_t index, std::uint64_t chunks, Bucket *bucket) {
    if (!read_intent(bucket).split_done) return false;
    const Bucket *partner = bucket_at(index + bucket_chunk_size * chunks);
    return atomics::load_field48(forward_word(bucket)) == static_cast<std::int64_t>(area.offset_of(partner));
}

void MapState::split_bucket(std::uint64_t index, std::uint64_t chunks) {
    Bucket *bucket = bucket_at(index);
    const BucketGuard guard = lock_bucket_at(*this, bucket);
    // Nothing to do when the expansion has ended meanwhile (the verification
    // split every bucket first) or another participant split this one.
    if (chunks_in_use() != chunks || is_split(index, chunks, bucket)) return;
    split_locked(index, chunks, bucket);
}

void MapState::split_locked(std::uint64_t index, std::uint64_t chunks, Bucket *old_bucket) {
    const std::uint64_t table = bucket_chunk_size * chunks;
    Bucket *partner = bucket_at(index + table);
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

// ---- leaving and ending -----------------------------------------------------------

bool MapState::verification_due() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(kVerificationInterval).count();
    std::int64_t last = last_verification.load(std::memory_order_relaxed);
    return now - last >= interval && last_verification.compare_exchange_strong(last, now, std::memory_order_relaxed);
}

void MapState::leave_expansion(std::uint64_t chunks) {
    std::int64_t remaining = 0;
    {
        SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
        // Ended without this participant: its count was cleared with the rest.
        if (chunks_in_use() != chunks) return;
        // Under expansion_lock, like every raise of the count (the gates).
        remaining = atomics::fetch_add_field48(expansion_workers_word, -1) - 1;
    }
    crash_points::step("leave: uncounted");
    // End the expansion only once it was carried out: its chunks published
    // and every bucket handed out.
    if (!doubling_fits(chunks) || table_entry(chunks) <= 1 || atomics::load_field48(split_cursor_word) >= 0) return;
    // Others still counted may be working, or may have died: verify now and
    // then, not at every leave.
    if (remaining > 0 && !verification_due()) return;
    finish_splits(chunks);
    end_expansion(chunks);
}

void MapState::finish_splits(std::uint64_t chunks) {
    const std::uint64_t table = bucket_chunk_size * chunks;
    for (std::uint64_t i = 0; i < table; ++i) split_bucket(i, chunks);
}

void MapState::end_expansion(std::uint64_t chunks) {
    char *next_slot = 2 * chunks < bucket_chunk_number ? table_slot(2 * chunks) : nullptr;
    bool marked = false;
    {
        SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
        if (chunks_in_use() != chunks) return;  // another participant ended it
        // Whole-word store: this thread holds expansion_lock and every bucket
        // is handed out, so no participant takes a batch, and no claimer can
        // exist before the doubling.
        atomics::store_field64(split_cursor_word, kEndingBy - host::own_pid());
        crash_points::step("end: cursor names the ender");
        // A 1 already there can only be the marker of an ender of this same
        // expansion that died before the doubling: this ender's now.
        marked = next_slot != nullptr &&
                 (atomics::cas_field48(next_slot, 0, 1) == 0 || table_entry(2 * chunks) == 1);
        crash_points::step("end: next claim blocked");
        atomics::exchange_field48(expansion_workers_word, 0);
        crash_points::step("end: participants cleared");
        // The doubling: the new table is in force from here on. Pairs with the
        // loads of chunks_in_use in the entry operations (read after `forward`).
        atomics::fetch_add_field48(chunks_in_use_word, static_cast<std::int64_t>(chunks));
        crash_points::step("end: doubled");
    }
    // The cursor is made plain and the marker removed on every way out: after
    // the clearing, which pairs with the next claimer's compare-and-swap, and
    // after a broken structure too (the marks that remain are cleared by the
    // operations that meet them; the next expansion must not wait on us).
    ScopeExit unmark([this, marked, next_slot] {
        atomics::store_field64(split_cursor_word, kPlainCursor);
        crash_points::step("end: cursor plain, marker still set");
        if (marked) atomics::cas_field48(next_slot, 1, 0);
    });
    for (std::uint64_t j = 0; j < 2 * chunks; ++j) bucket_chunk(j);  // fill this process's cache
    clear_marks(chunks);
}

// Clears `forward` and the split-done bit of every bucket in chunks
// 0 .. chunks-1 (the old half of a doubled table), after the doubling, each
// under its bucket's lock. New buckets never had either.
void MapState::clear_marks(std::uint64_t chunks) {
    for (std::uint64_t j = 0; j < chunks; ++j) {
        for (std::uint64_t k = 0; k < bucket_chunk_size; ++k) {
            Bucket *bucket = reinterpret_cast<Bucket *>(bucket_chunk(j)) + k;
            const BucketGuard guard = lock_bucket_at(*this, bucket);
            if (guard.forward() != 0 || read_intent(bucket).split_done) clear_split_mark(bucket);
            crash_points::step("clearing: a bucket cleared");
        }
    }
}

// ---- entry points -----------------------------------------------------------------

void ConcurrentHashMap_string::expansion_worker() {
    MapState &m = state();
    std::uint64_t chunks = 0;
    if (joined_state == &m) {
        chunks = joined_chunks;
        joined_state = nullptr;
    } else {
        // Called without the gate before it: the table in force.
        chunks = m.chunks_in_use();
    }
    if (m.expansion_worker(chunks) == MapState::Part::no_room) {
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
