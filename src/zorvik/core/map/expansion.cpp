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
// expansion_workers, under expansion_lock: insert's gate when the table holds
// more than two entries per bucket, the entry points' gate on request. Both
// refuse when the doubled table would not fit bucket_chunk_number, when more
// than 4096 participants are inside, or when no expansion is running and the
// segment has no room for a new one.
//
// Why the gates take the lock: the expansion ends when the last participant
// leaves, lowering expansion_workers to 0 and doubling chunks_in_use under
// expansion_lock. A participant counted under the same lock is therefore
// either counted before that (and the expansion cannot end until it leaves)
// or after it (and it reads the doubled count). So the L a participant reads
// after joining stays in force until it leaves, and every batch it takes
// belongs to the expansion of that L.
//
// Claiming. The first participant to change chunk_table[L] from 0 to 1 (the
// claim marker) builds the new chunks; the others sleep a millisecond at a
// time until the marker is gone. The claimer first reserves all it needs (one
// entry chunk per new bucket, from its entry pool, and one block for the L new
// chunks); when the segment cannot supply them it gives back what it took,
// resets the marker and leaves, so no expansion ever waits on a claimer that
// failed. Otherwise it initialises the buckets, sets split_cursor to T - 1 and
// publishes the chunks' Offsets from 2L-1 down to L; the exchange that replaces
// the marker at slot L comes last, so a participant that sees it gone sees
// the cursor and every new bucket too.
//
// Splitting. Participants take batches of 16 buckets from split_cursor
// (fetch-and-add of -16) until it goes negative. To split bucket i a
// participant first sets its `forward` to the partner (an insert that locks it
// afterwards sees the mark and waits; gets and removes follow it), then locks
// it and redistributes the entries in order, stays at the front of the old
// list, moves at the front of the partner's. The partner is never locked by a
// splitter: no operation addresses it before the doubling, except gets and
// removes that hold bucket i's lock while they look there. A split takes no new
// chunk: the old bucket always owns enough entry chunks for both lists (it
// holds at least ceil(n / 2) chunks for n entries, and the two halves need at
// most one more than that, which the partner's own first chunk covers), so
// the partner takes the chunks it needs from the old bucket's. A split cannot
// fail for want of space.
//
// Ending. The participant that lowers expansion_workers to 0 ends the
// expansion if it was carried out (chunks published, cursor negative): still
// under expansion_lock it puts the claim marker on chunk_table[2L], so that no
// next expansion can start yet, and doubles chunks_in_use; then it clears the
// `forward` of every old bucket and removes the marker. The next expansion's
// claimer therefore cannot set a `forward` that the clearing pass would erase.
//
// Processes that die. While a marker stands, split_cursor names the process
// that set it (see kClaimedBy in map_internal.hpp). A participant that has
// waited on a marker for a second asks whether that process still exists;
// when it has ended, the one waiter whose compare-and-swap on the cursor
// succeeds takes its place: it finishes a dead ender's clearing pass, or
// builds the chunks of a dead claimer and leaves for it as well as for itself.
// An ender that died leaves marks with nobody inside an expansion; an insert
// waiting on such a mark clears it (under expansion_lock, where no expansion
// can start). A splitter that died stays counted, and its expansion cannot end:
// inserts into marked buckets then give up with an error once the shared words
// have not moved for about ten seconds, rather than wait for ever; everything
// else goes on in the table in force.
//
// Lock order: a splitter holds one bucket lock at a time and takes the entry
// pool's lock (and the allocator's) only while building, holding no bucket
// lock; expansion_lock is only taken with no other lock held.
#include <cxxabi.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/scope_exit.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

// The gates admit a thread while at most this many participants are inside,
// so at most 4097 are. Each lowers split_cursor by at most one batch once it
// has gone negative (a participant stops at the first negative value it
// sees), so the cursor stays above -(16 x 4097) below its start, far from the
// claim markers (kClaimedBy, kEndingBy) that share its word.
constexpr std::uint64_t kMaxParticipantsAdmitted = 4096;
// Buckets a participant takes from split_cursor at once: the range a-15 .. a
// below the value a its fetch-and-add found. Every participant of every
// process must use the same batch, or two would split the same buckets; 16
// keeps the contended fetch-and-add on the shared cursor to one per 16 splits
// while leaving work for every participant of a table of a few chunks.
constexpr std::int64_t kBatch = 16;
// Bytes one new bucket's entry chunk costs when a refill cuts it from fresh
// space: its link chunk and the entry chunk side by side.
constexpr std::uint64_t kEntryPairSpan = pair_span(kEntryChunkSize);


int pid_below(std::int64_t cursor, std::int64_t sentinel) {
    return cursor <= sentinel && cursor > sentinel - kPidRange ? static_cast<int>(sentinel - cursor) : 0;
}

// About a second of 1-millisecond waits between two looks at the holder.
constexpr std::uint64_t kWaitsPerLivenessCheck = 1000;

// A link of a bucket's entry list read ahead of a split, with its entry
// chunk (checked).
struct EntryChunk {
    ChunkLink *link;
    MapEntry *entries;  // kEntriesPerChunk of them
};

EntryChunk entry_chunk_of(const MapState &m, ChunkLink *link) {
    return EntryChunk{link, reinterpret_cast<MapEntry *>(m.area.bytes(link->chunk, kEntryChunkSize))};
}

// Lays `entries` into the entry chunks `chunks` (all zeroed first), chains
// them in order and sets the list's length and chunk count.
void lay_out_entries(const MapState &m, ChunkArray &list, const std::vector<EntryChunk> &chunks,
                     const std::vector<MapEntry> &entries) {
    for (const EntryChunk &chunk : chunks) std::memset(static_cast<void *>(chunk.entries), 0, kEntryChunkSize);
    for (std::size_t i = 1; i < chunks.size(); ++i) chunks[i - 1].link->next = m.area.offset_of(chunks[i].link);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        chunks[i / kEntriesPerChunk].entries[i % kEntriesPerChunk] = entries[i];
    }
    list.head = m.area.offset_of(chunks.front().link);
    list.length = entries.size();
    list.chunk_count = chunks.size();
}

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
    return unallocated_bytes(base) >= need + block;
}

bool MapState::join_locked() {
    if (!doubling_fits(chunks_in_use())) return false;  // cheap refusal without the lock
    SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
    const std::uint64_t chunks = chunks_in_use();
    if (!(2 * bucket_chunk_size * chunks < entry_count())) return false;
    if (!doubling_fits(chunks) || expansion_workers() > kMaxParticipantsAdmitted) return false;
    if (table_entry(chunks) == 0 && expansion_workers() == 0 && !has_room_for_expansion(chunks)) return false;
    // Counted under expansion_lock; lowered by leave_expansion under it too.
    atomics::fetch_add_field48(expansion_workers_word, 1);
    return true;
}

bool MapState::join_unlocked() {
    SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
    const std::uint64_t chunks = chunks_in_use();
    if (!doubling_fits(chunks) || expansion_workers() > kMaxParticipantsAdmitted) return false;
    atomics::fetch_add_field48(expansion_workers_word, 1);
    return true;
}

// ---- the worker -----------------------------------------------------------------

MapState::Part MapState::expansion_worker() {
    // The gate counted this thread, so the L read now stays in force until it
    // leaves (see the essay).
    const std::uint64_t chunks = chunks_in_use();
    bool stand_in = false;
    Part part = Part::nothing_to_do;
    std::exception_ptr failure;
    try {
        part = take_part(chunks, stand_in);
    } catch (abi::__forced_unwind &) {
        throw;  // the thread is being ended: nothing may hold it up
    } catch (...) {
        failure = std::current_exception();
    }
    leave_expansion(chunks, stand_in ? 2 : 1);
    if (failure) std::rethrow_exception(failure);
    return part;
}

MapState::Part MapState::take_part(std::uint64_t chunks, bool &stand_in) {
    if (!doubling_fits(chunks)) return Part::nothing_to_do;
    const Part claimed = claim_and_build(chunks, stand_in);
    if (claimed != Part::split) return claimed;
    std::exception_ptr failure;
    for (;;) {
        // Hands out buckets a-15 .. a; full barrier, and only this word orders
        // the hand-out (every bucket is handed out exactly once).
        const std::int64_t a = atomics::fetch_add_field48(split_cursor_word, -kBatch);
        if (a < 0) break;
        // A bucket that cannot be split (a broken structure, a dead lock
        // holder) does not stop the rest of the batch, which nobody else will
        // split; no further batch is taken after a failure.
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
MapState::Part MapState::claim_and_build(std::uint64_t chunks, bool &stand_in) {
    char *slot = table_slot(chunks);
    for (std::uint64_t waits = 0;;) {
        // The claim; full barrier. Pairs with the publication's exchange and
        // with the reset after a failed build.
        const std::int64_t found = atomics::cas_field48(slot, 0, 1);
        bool claimed = found == 0;
        // Whole-word store, as the marker's value is negative. No other thread
        // changes the cursor while the marker stands: participants take
        // batches only once it is gone, and waiters change the cursor only to
        // replace a claimer that has ended.
        if (claimed) atomics::store_field64(split_cursor_word, kClaimedBy - host::own_pid());
        if (!claimed && found != 1) return Part::split;  // published
        if (!claimed) {
            host::WaitScope counted;
            host::sleep_1ms();
            if (host::stop_requested()) throw WaitAbandoned("expansion's new chunks");
            if (++waits % kWaitsPerLivenessCheck != 0) continue;
            claimed = take_over_claim(chunks, atomics::load_field48(split_cursor_word), stand_in);
            if (!claimed) continue;
        }
        if (build_new_chunks(chunks)) return Part::split;
        atomics::exchange_field48(slot, 0);
        return Part::no_room;
    }
}

// The marker at slot `chunks` has stood for a while: when the process the
// cursor names has ended, one waiter (the one whose compare-and-swap on the
// cursor succeeds) takes its place. A dead ender's clearing pass is finished
// first; a dead claimer was counted as a participant, so its stand-in leaves
// for it too.
bool MapState::take_over_claim(std::uint64_t chunks, std::int64_t cursor, bool &stand_in) {
    const int claimer = pid_below(cursor, kClaimedBy);
    const int ender = pid_below(cursor, kEndingBy);
    const int holder = claimer ? claimer : ender;
    if (holder == 0 || holder == host::own_pid() || !host::process_has_ended(holder)) return false;
    if (atomics::cas_field48(split_cursor_word, cursor, kClaimedBy - host::own_pid()) != cursor) return false;
    if (ender) clear_forwards(chunks / 2);
    stand_in = claimer != 0;
    return true;
}

bool MapState::build_new_chunks(std::uint64_t chunks) {
    const std::uint64_t buckets = bucket_chunk_size * chunks;
    if (!has_room_for_expansion(chunks)) return false;
    Chain links;
    try {
        links = entry_pool.take(buckets);
    } catch (const std::runtime_error &) {
        return false;  // the segment filled up meanwhile; nothing was taken
    }
    char *block = allocate_block(base, buckets * sizeof(Bucket));
    if (!block) {
        entry_pool.give_back(links);
        return false;
    }
    const std::uint64_t chunk_bytes = bucket_chunk_bytes();
    Bucket *bucket = reinterpret_cast<Bucket *>(block);
    for (ChunkLink *link : links.links()) write_empty_bucket(bucket++, area.offset_of(link));
    for (std::uint64_t j = 0; j < chunks; ++j) chunk_cache.store(chunks + j, block + j * chunk_bytes);
    // Whole-word store: the cursor may hold a negative value from the last
    // expansion. No other thread changes it now: it names this claimer, whom
    // a waiter replaces only once this process has ended, and no participant
    // takes a batch before slot L is published below.
    atomics::store_field64(split_cursor_word, static_cast<std::int64_t>(buckets) - 1);
    // Publication, slot L (the marker) last; each exchange is a full barrier,
    // so the buckets and the cursor are visible before slot L changes. Pairs
    // with claim_and_build's compare-and-swap and bucket_chunk's load.
    for (std::uint64_t j = 2 * chunks; j-- > chunks;) {
        atomics::exchange_field48(table_slot(j), static_cast<std::int64_t>(to_offset(base, block)) +
                                                     static_cast<std::int64_t>((j - chunks) * chunk_bytes));
    }
    return true;
}

void MapState::split_bucket(std::uint64_t index, std::uint64_t chunks) {
    const std::uint64_t table = bucket_chunk_size * chunks;
    Bucket *old_bucket = bucket_at(index);
    Bucket *partner = bucket_at(index + table);
    // The mark, before the lock: pairs with the load of `forward` that insert,
    // get and remove make under this bucket's lock.
    atomics::exchange_field48(forward_word(old_bucket), static_cast<std::int64_t>(to_offset(base, partner)));
    SegmentLockGuard guard(lock_word(old_bucket), kBucketLockName);
    ChunkArray &old_list = old_bucket->entries;
    ChunkArray &new_list = partner->entries;
    const std::uint64_t n = old_list.length;
    if (n == 0) return;

    // Read everything first; nothing is written until the whole bucket has
    // been read and checked.
    const std::uint64_t old_chunks = old_list.chunk_count;
    if (old_list.per_chunk != kEntriesPerChunk || old_chunks < chunks_for(n, kEntriesPerChunk) ||
        new_list.length != 0 || new_list.chunk_count != 1 || new_list.per_chunk != kEntriesPerChunk) {
        throw_offset_overflow();
    }
    std::vector<EntryChunk> links;
    links.reserve(std::min(old_chunks, area.most_links()));  // the walk refuses a count no chain can have
    for (ChunkLink *link : entry_chain(area, old_list).links()) links.push_back(entry_chunk_of(*this, link));
    const EntryChunk partner_head = entry_chunk_of(*this, area.link(new_list.head));
    std::vector<MapEntry> stays, moves;
    for (std::uint64_t i = 0; i < n; ++i) {
        const MapEntry &entry = links[i / kEntriesPerChunk].entries[i % kEntriesPerChunk];
        (static_cast<std::uint64_t>(entry.hash) & table ? moves : stays).push_back(entry);
    }
    if (moves.empty()) return;

    // The partner's extra chunks come from the old bucket's surplus.
    const std::uint64_t old_needs = std::max<std::uint64_t>(1, chunks_for(stays.size(), kEntriesPerChunk));
    const std::uint64_t extra = chunks_for(moves.size(), kEntriesPerChunk) - 1;
    std::vector<EntryChunk> new_links{partner_head};
    new_links.insert(new_links.end(), links.begin() + static_cast<std::ptrdiff_t>(old_needs),
                     links.begin() + static_cast<std::ptrdiff_t>(old_needs + extra));
    links.erase(links.begin() + static_cast<std::ptrdiff_t>(old_needs),
                links.begin() + static_cast<std::ptrdiff_t>(old_needs + extra));
    lay_out_entries(*this, old_list, links, stays);
    lay_out_entries(*this, new_list, new_links, moves);
}

// ---- leaving and ending -----------------------------------------------------------

void MapState::leave_expansion(std::uint64_t chunks, std::int64_t participants) {
    SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
    // Under expansion_lock, like every raise of the count (the gates).
    const std::int64_t before = atomics::fetch_add_field48(expansion_workers_word, -participants);
    if (before != participants) return;
    // Last one out. End the expansion only if it was carried out: its chunks
    // are published and every bucket has been handed out (and split, since
    // each splitter left only after its batches).
    if (chunks_in_use() != chunks || !doubling_fits(chunks)) return;
    const std::int64_t published = table_entry(chunks);
    const std::int64_t cursor = atomics::load_field48(split_cursor_word);
    if (published <= 1 || cursor >= 0) return;
    // Keep the next expansion from being claimed until the clearing is done:
    // the marker is 1, as for a claim, and the cursor names this process.
    // Both whole-word stores are safe: this thread holds expansion_lock and
    // nobody is inside the expansion (the count is 0), so no participant takes
    // batches, and no claimer exists to be replaced.
    char *next_slot = 2 * chunks < bucket_chunk_number ? table_slot(2 * chunks) : nullptr;
    atomics::store_field64(split_cursor_word, kEndingBy - host::own_pid());
    const bool marked = next_slot && atomics::cas_field48(next_slot, 0, 1) == 0;
    if (!marked) atomics::store_field64(split_cursor_word, cursor);  // the file keeps a plain value
    // The doubling: the new table is in force from here on. Pairs with the
    // loads of chunks_in_use in the entry operations (read after `forward`).
    atomics::fetch_add_field48(chunks_in_use_word, static_cast<std::int64_t>(chunks));
    guard.release();
    // The marker goes on every way out: after the clearing, which pairs with
    // the next claimer's compare-and-swap, and after a broken chunk table too
    // (the marks that remain are healed by the inserts that meet them; the
    // next expansion must not wait on us).
    ScopeExit unmark([marked, next_slot] {
        if (marked) atomics::cas_field48(next_slot, 1, 0);
    });
    for (std::uint64_t j = 0; j < 2 * chunks; ++j) bucket_chunk(j);  // fill this process's cache
    clear_forwards(chunks);
}

// Clears `forward` of every bucket in chunks 0 .. chunks-1 (the old half of a
// doubled table), after the doubling: pairs with the entry operations' load
// of `forward` under the bucket lock. New buckets never had one.
void MapState::clear_forwards(std::uint64_t chunks) {
    for (std::uint64_t j = 0; j < chunks; ++j) {
        Bucket *bucket = reinterpret_cast<Bucket *>(bucket_chunk(j));
        for (std::uint64_t k = 0; k < bucket_chunk_size; ++k) atomics::exchange_field48(forward_word(&bucket[k]), 0);
    }
}

// insert waits outside a marked bucket. Every second or so it looks again:
// a mark while nobody takes part in an expansion was left by an ender that
// died before clearing it, and is cleared here (under expansion_lock, so no
// expansion can start and set a new mark meanwhile); an expansion whose shared
// words have not moved for about ten seconds has lost a participant, and the
// insert gives up with an error instead of waiting for ever.
void MapState::after_waiting_on_mark(Bucket *bucket, std::uint64_t waits, ExpansionProgress &progress) {
    if (waits % kWaitsPerLivenessCheck != 0) return;
    {
        SegmentLockGuard guard(expansion_lock_word, kExpansionLockName);
        if (expansion_workers() == 0) {
            atomics::exchange_field48(forward_word(bucket), 0);
            return;
        }
    }
    const ExpansionProgress now{atomics::load_field48(split_cursor_word), expansion_workers(), chunks_in_use(), waits};
    if (now.cursor != progress.cursor || now.workers != progress.workers || now.chunks != progress.chunks) {
        progress = now;
        return;
    }
    if (waits - progress.unchanged_since_wait >= waits_without_progress) {
        throw std::runtime_error(
            "the expansion of this dictionary has stopped making progress "
            "(a process taking part in it may have ended)");
    }
}

// ---- entry points -----------------------------------------------------------------

void ConcurrentHashMap_string::expansion_worker() {
    if (state().expansion_worker() == MapState::Part::no_room) {
        throw std::runtime_error("the segment has no room to expand the table");
    }
}

bool ConcurrentHashMap_string::join_unlocked() {
    return state().join_unlocked();
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
