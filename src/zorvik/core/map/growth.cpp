// Growth: the table doubles in bounded steps that every attached process's
// operations carry, so that no operation ever does a whole doubling (which
// takes about half a second at a million buckets, and twice as long at each
// doubling after).
//
// The steps
// ---------
// A doubling from L chunks (T = B x L old buckets) goes through five phases,
// each told by the shared words every version reads (chunks_in_use, the
// cursor split_cursor, chunk table slot L) and carried by steps of at most a
// few dozen buckets:
//
//   claim     an operation whose append passes the load rule names the
//             phantom in the cursor (kPhantomClaim: kPhantomPid, an id no
//             process has) and sets the claim marker on slot L;
//   building  the new half's T buckets are written into one block, 64 a
//             step, each owning an entry chunk; then the chunk table slots
//             L+1 .. 2L-1 are published from the top, and last slot L, in
//             the order of the essay in expansion.cpp;
//   splitting batches of 16 from the cursor, split as expansion.cpp says;
//             each batch split whole is counted in the extension's
//             `split_done`;
//   verifying the cursor has handed every bucket out; the doubling ends when
//             `split_done` counts every bucket, or, when some batch was not
//             counted (a participant that died, a split that failed, a
//             process of a version that counts nothing), once a sweep has
//             checked every bucket split under its lock;
//   end       O(1): the cursor names the phantom ender (kPhantomEnder), slot
//             2L gets the marker that holds the next claim back,
//             chunks_in_use doubles;
//   clearing  the old half's marks (`forward` and the split-done bit) are
//             cleared, 128 buckets a step; then the marker goes and the
//             cursor is plain again.
//
// Everything but the batches is done under the growth lock, a segment lock
// word in the extension (map_layout.hpp): one process builds, sweeps, ends or
// clears at a time, from the watermarks the extension keeps (`built`,
// `published`, `verified`, `cleared`, each tagged with its doubling's
// generation). A holder that dies leaves the lock to be taken over, and its
// step half done: every step is made again from the watermark, and each is
// made so that doing it twice changes nothing (a bucket written again, a
// slot published again by a compare-and-swap from 0, a bucket checked or
// cleared again). An operation never waits for the lock: it takes it when it
// is free (or its holder has ended, judged on the schedule of lock waits),
// and otherwise splits a batch or leaves the step to the next operation.
//
// Who steps. Every operation that changes the table (insert, replace,
// remove, the operations with a result, each key of a batch) calls
// after_change with no lock held; gets call after_get, which steps once per
// get_step_interval gets while no change of this process has stepped for
// kGetStepQuiet, so that a table whose writers stopped half way through a
// doubling is finished by its readers. A step does kStepUnits of work (a
// bucket built or checked is one unit, a bucket split four, two buckets
// cleared one), more while the table runs ahead of its doubling: x2 past 2.5
// entries per old bucket, x4 past 3, and past 4 (the load the next doubling
// starts at) x16, waiting up to a millisecond for the growth lock (the only
// wait a change's step makes: a holder the scheduler stopped is given the
// processor). A doubling takes about T/64 + T/16 + T/128 steps, so with one
// step per insert it ends within 0.1 T inserts of its start, while the load
// rule asks for the next one 2 T inserts later; no step does more than a
// few hundred microseconds of it, however far the table runs ahead.
//
// Versions that double in one operation
// -------------------------------------
// They know the claimer and ender only by the process the cursor names, and
// take over a claim or end whose process has ended after 200 ms: the
// phantom is such a process. So an older process that needs the doubling
// while this version builds waits 200 ms, then builds its own new half and
// publishes it over ours (the build block is left unused); one that meets
// the phantom ender clears the old half's marks whole before it claims the
// next doubling. Both are that version's own pause, never a wedge. While the
// new half is published and batches are handed out, older processes split
// batches (uncounted, which the sweep covers) and end the doubling themselves
// when they are the last participant they count. The phantom never owns a
// published half: the publisher names itself (its own pid) in the cursor
// before it publishes slot L, so no older process builds over a half that
// participants already split into; a publisher that dies between the two is
// taken over (the cursor set to T - 1) by whoever finds it dead.
//
// This version takes over what a process that ended left named: a claim
// (slot L not published) is made the phantom's again and built anew, the
// dead claimer's slots above L cleared first; a claim whose slot L is
// published gets its cursor; an end is made the phantom's (cleared from the
// start) or, when the table had not doubled yet, made plain for the sweep
// and the end. A marker with a plain cursor is adopted by the next claim.
//
// Why the clearing ends before the next claim: a split-done bit left on a
// bucket a process of an older version splits would make that bucket read
// as split as soon as its mark is set (that version does not clear the bit
// first), and one killed right then would leave the bucket unsplit for good.
// The ender's marker on slot 2L holds every claim back until the clearing has
// removed it (or an older process has taken the ender over and cleared
// everything itself). The clearing judges each bucket's mark under its lock
// (a mark that is not the running doubling's), so a step that comes late,
// after another process has cleared and started the next doubling, leaves
// the new marks alone.
//
// Crash points name every step boundary (crash_points.hpp); the tests kill a
// process at each of them.
#include "zorvik/core/map/growth.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/holder_looks.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/processes.hpp"
#include "zorvik/core/segment/scope_exit.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

using Clock = std::chrono::steady_clock;

// ---- budgets ---------------------------------------------------------------------

// The work of one step, in units: a bucket written or checked is one, a
// bucket split four (a batch of 16 is one step's worth), two buckets cleared
// one, eight chunk table slots published one. A step of 64 units takes a few
// microseconds.
constexpr std::int64_t kStepUnits = 64;
constexpr std::int64_t kSplitUnits = 4;
constexpr std::uint64_t kClearedPerUnit = 2;
constexpr std::uint64_t kPublishedPerUnit = 8;
// A claim or an end: a few shared words.
constexpr std::int64_t kTransitionUnits = 4;
// The most buckets one build step writes (one pool request), and the most
// slots one publication step publishes (a page of the chunk table).
constexpr std::uint64_t kBuildGroup = 64;
constexpr std::uint64_t kPublishGroup = 512;
// Past the convergence load (4 entries an old bucket: the load the next
// doubling starts at) a change's step does this many steps' work, and may
// wait this long for the growth lock: the doubling then ends within about
// T / 180 changes (the essay's T/64 + T/16 + T/128 steps over 16), while no
// change does more than a few hundred microseconds of it. Nothing else a
// step does ever waits for the lock.
constexpr std::int64_t kCatchUpSteps = 16;
constexpr Clock::duration kCatchUpWait = std::chrono::milliseconds(1);
// Gets step only while this process's changes have not stepped for this long.
constexpr Clock::duration kGetStepQuiet = std::chrono::milliseconds(10);
// Every batch handed out but not every one counted: the sweep starts after
// this long (batches in flight finish within microseconds; one that does not
// belongs to a participant that is stopped, or dead).
constexpr Clock::duration kSweepPatience = std::chrono::milliseconds(2);
// A claim marker whose cursor names no process is taken over after this many
// first looks (a second), as older versions take one.
constexpr int kUnnamedLooks = 5;

class Budget {
public:
    static Budget units(std::int64_t n) { return Budget(n); }
    static Budget unbounded() { return Budget(std::numeric_limits<std::int64_t>::max()); }
    bool left() const { return units_ > 0; }
    // How many of something costing `cost` units each fit (at least one while any is left).
    std::uint64_t fit(std::int64_t cost, std::uint64_t most) const {
        const std::int64_t n = units_ / cost;
        return std::max<std::uint64_t>(1, std::min<std::uint64_t>(static_cast<std::uint64_t>(n), most));
    }
    void spend(std::int64_t n) { units_ = units_ > n ? units_ - n : 0; }
    bool is_unbounded() const { return units_ == std::numeric_limits<std::int64_t>::max(); }

private:
    explicit Budget(std::int64_t n) : units_(n) {}
    std::int64_t units_;
};

// ---- counts tagged with their doubling ----------------------------------------------

constexpr unsigned kCountBits = 42;
constexpr std::uint64_t kCountMask = (std::uint64_t{1} << kCountBits) - 1;
constexpr std::uint64_t kField48Mask = (std::uint64_t{1} << 48) - 1;

struct Tagged {
    unsigned generation = 0;
    std::uint64_t count = 0;
};

// The generation of the doubling from a table of `chunks` (a power of two).
unsigned generation_of(std::uint64_t chunks) { return static_cast<unsigned>(std::countr_zero(chunks)) + 1; }

// The field48 value of a tagged count, and back: the 48 bits as they lie,
// sign-extended as the field48 functions have them.
std::int64_t as_field(Tagged tagged) {
    const std::uint64_t raw = (std::uint64_t{tagged.generation} << kCountBits) | (tagged.count & kCountMask);
    return static_cast<std::int64_t>(raw << 16) >> 16;
}
Tagged as_tagged(std::int64_t field) {
    const std::uint64_t raw = static_cast<std::uint64_t>(field) & kField48Mask;
    return Tagged{static_cast<unsigned>(raw >> kCountBits), raw & kCountMask};
}

// The extension's fields (map_layout.hpp). Only the growth lock's holder
// stores `build_block`, `built`, `published`, `verified` and `cleared`;
// `split_done` is added to by every participant that splits a batch whole.
class Record {
public:
    explicit Record(char *data) : data_(data) {}

    Tagged read(std::size_t field) const { return as_tagged(atomics::load_field48(data_ + field)); }
    // The count of doubling `generation` in `field`: 0 when it holds another's.
    std::uint64_t count(std::size_t field, unsigned generation) const {
        const Tagged tagged = read(field);
        return tagged.generation == generation ? tagged.count : 0;
    }
    // An exchange (seq_cst, so a release): the stores before it are seen before it.
    void store(std::size_t field, unsigned generation, std::uint64_t count) const {
        atomics::exchange_field48(data_ + field, as_field(Tagged{generation, count}));
    }
    // Adds `n` to the count of doubling `generation`, starting it from 0 when
    // the field still holds an earlier doubling's (one built by a process that
    // keeps no counts); changes nothing when it holds a later one's (this
    // participant's doubling has ended). A compare-and-swap loop (seq_cst).
    void add(std::size_t field, unsigned generation, std::uint64_t n) const {
        std::int64_t seen = atomics::load_field48(data_ + field);
        for (;;) {
            const Tagged tagged = as_tagged(seen);
            if (tagged.generation > generation) return;
            const std::uint64_t count = tagged.generation == generation ? tagged.count + n : n;
            const std::int64_t found = atomics::cas_field48(data_ + field, seen, as_field(Tagged{generation, count}));
            if (found == seen) return;
            seen = found;
        }
    }
    Offset build_block() const { return static_cast<Offset>(atomics::load_field48(data_ + kBuildBlock)); }
    void set_build_block(Offset block) const {
        atomics::exchange_field48(data_ + kBuildBlock, static_cast<std::int64_t>(block));
    }

    static constexpr std::size_t kBuildBlock = offsetof(MapExtension, build_block);
    static constexpr std::size_t kBuilt = offsetof(MapExtension, built);
    static constexpr std::size_t kPublished = offsetof(MapExtension, published);
    static constexpr std::size_t kSplitDone = offsetof(MapExtension, split_done);
    static constexpr std::size_t kVerified = offsetof(MapExtension, verified);
    static constexpr std::size_t kCleared = offsetof(MapExtension, cleared);

private:
    char *data_;
};

// ---- where the doubling stands ------------------------------------------------------

struct View {
    std::uint64_t chunks = 0;  // L, chunks_in_use
    std::int64_t cursor = 0;
    std::int64_t slot = 0;     // chunk table slot L; 0 where the table has none
    GrowthPhase phase = GrowthPhase::unknown;
    int named = 0;             // the process the cursor names (not the phantom), else 0
    bool published = false;    // slot L holds the new half's first chunk
};

// The three words, each an acquire load; they can change between the loads,
// so a view is a guess that every step checks again where it acts.
View read_view(const MapState &m) {
    View v;
    v.chunks = m.chunks_in_use();
    v.cursor = atomics::load_field48(m.split_cursor_word);
    v.slot = v.chunks < m.bucket_chunk_number ? m.table_entry(v.chunks) : 0;
    v.published = m.doubling_fits(v.chunks) && v.slot > 1;
    const int claimer = pid_below(v.cursor, kClaimedBy);
    const int ender = pid_below(v.cursor, kEndingBy);
    if (v.cursor == kPhantomEnder) {
        v.phase = GrowthPhase::clearing;
    } else if (ender != 0) {
        v.phase = GrowthPhase::foreign;
        v.named = ender;
    } else if (v.cursor == kPhantomClaim) {
        v.phase = v.published ? GrowthPhase::unknown : GrowthPhase::building;
    } else if (claimer != 0) {
        v.phase = GrowthPhase::foreign;
        v.named = claimer;
    } else if (v.published) {
        // A plain cursor hands out batches while it is not negative.
        v.phase = v.cursor >= 0 ? GrowthPhase::splitting : GrowthPhase::verifying;
    } else if (v.slot == 0) {
        // No marker: whatever plain value the cursor holds (0 in a new map,
        // the last batch's remainder after a doubling) names no doubling.
        v.phase = GrowthPhase::idle;
    } else if (v.slot == 1) {
        // A marker with a cursor that names no process: set to the last
        // bucket, an older version's claimer publishing (or dead half way);
        // negative, an ender that died after making the cursor plain.
        v.phase = v.cursor >= 0 ? GrowthPhase::foreign : GrowthPhase::stale_marker;
    }
    return v;
}

std::uint64_t view_key(const View &v) {
    return v.chunks * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(v.cursor) * 0xC2B2AE3D27D4EB4Full ^
           static_cast<std::uint64_t>(v.slot);
}

// ---- one call's work -------------------------------------------------------------------

enum class Mode : std::uint8_t {
    step,      // an operation's: never waits
    catch_up,  // an operation's past the convergence load: waits a little for the growth lock
    drive,     // expansion(n)'s: waits where another holds what comes next
};

struct Step {
    MapState &m;
    Mode mode;
    bool may_claim;
    Budget budget;
    SegmentLockGuard lock;       // the growth lock, once held
    bool lock_tried = false;     // an operation's step tries it once
    bool no_room = false;        // a claim or a build found no room
    bool progress = false;
    std::exception_ptr failure;  // a drive's first failed split

    Clock::time_point now() const { return Clock::now(); }
};

// The growth lock, for the rest of the call. A drive waits for it (taking
// it over from a holder that has ended, as every lock wait does); an
// operation's step takes it only when it is free, or when its holder has
// ended, judged on the schedule of lock waits; a catch-up step tries again,
// yielding the processor between tries (to the holder, when the scheduler
// stopped it), for at most kCatchUpWait.
bool hold_growth_lock(Step &s) {
    if (s.lock.holds()) return true;
    char *word = s.m.growth_lock_word();
    if (word == nullptr) return false;
    if (s.mode == Mode::drive) {
        s.lock = SegmentLockGuard(word, kGrowthLockName);
        return true;
    }
    if (s.lock_tried) return false;
    s.lock_tried = true;
    bool judge = false;
    if (segment_lock_holder(word) != 0) {
        const LockWaitTiming timing = lock_wait_timing();
        judge = s.m.growth.lock_patience.look_due(segment_word_holding(word), s.now(), timing.first_look,
                                                  timing.look_every);
    }
    s.lock = SegmentLockGuard::try_to_take(word, judge);
    if (s.mode == Mode::catch_up) {
        const Clock::time_point until = s.now() + kCatchUpWait;
        while (!s.lock.holds() && s.now() < until) {
            host::yield();
            s.lock = SegmentLockGuard::try_to_take(word, false);
        }
    }
    return s.lock.holds();
}

// ---- claim ---------------------------------------------------------------------------

// Claims the doubling from v.chunks for the phantom, adopting a marker left
// with a plain cursor. Under the growth lock. False when the words moved on
// meanwhile, or when there is no room (noted).
bool claim(Step &s, const View &v) {
    MapState &m = s.m;
    const std::uint64_t chunks = v.chunks;
    if (!m.doubling_fits(chunks)) return false;
    // Everything that can fail first, before the cursor names anyone: the
    // room for the block and the entry chunks, and the table slots' blocks.
    if (!m.has_room_for_expansion(chunks) || !m.reserve_table_slots(chunks)) {
        s.no_room = true;
        return false;
    }
    // Seq_cst; pairs with every other claimer's compare-and-swap (an
    // older version's too) and with take_batch's.
    if (atomics::cas_field48(m.split_cursor_word, v.cursor, kPhantomClaim) != v.cursor) return false;
    crash_points::step("claim: phantom named");
    // The slot again, now that the claim is made: a doubling from this table
    // that ran its whole course since the view was read brings the cursor
    // back to a plain value, and its slot is published.
    const std::int64_t slot = m.table_entry(chunks);
    if (slot > 1 || m.chunks_in_use() != chunks) {
        atomics::cas_field48(m.split_cursor_word, kPhantomClaim, v.cursor);
        return false;
    }
    if (slot == 0) atomics::cas_field48(m.table_slot(chunks), 0, 1);  // else a marker left behind: adopted
    crash_points::step("claim: marker set");
    m.growth.stats.claims.fetch_add(1, std::memory_order_relaxed);
    s.budget.spend(kTransitionUnits);
    return true;
}

// ---- building and publishing ----------------------------------------------------------

// Gives a claim up (no room for the new half): the marker, then the cursor.
// The block and the buckets written stay named by the extension, for the
// next claim of this doubling to build on.
void give_up_claim(Step &s, std::uint64_t chunks) {
    MapState &m = s.m;
    atomics::cas_field48(m.table_slot(chunks), 1, 0);
    crash_points::step("build: given up, cursor still names the phantom");
    atomics::cas_field48(m.split_cursor_word, kPhantomClaim, kPlainCursor);
    s.no_room = true;
}

// The block of the new half of the doubling from `chunks`, allocated now
// when the extension names none for it. Null when the segment has none.
//
// The extension names a block together with the generation in `built`,
// which gives its length (the check, the survey and the repair read it so):
// so the fields are made this doubling's, naming no block, before the block
// is cut, and the block is named last. A death before the naming leaves a
// block nothing names, which a repair gives back; the next build cuts
// another.
char *build_block_for(Step &s, const Record &record, std::uint64_t chunks) {
    MapState &m = s.m;
    const unsigned generation = generation_of(chunks);
    const std::uint64_t bytes = m.bucket_chunk_bytes() * chunks;
    const Offset named = record.build_block();
    if (record.read(Record::kBuilt).generation == generation && named != 0) return m.area.bytes(named, bytes);
    record.store(Record::kPublished, generation, 0);
    record.store(Record::kSplitDone, generation, 0);
    record.store(Record::kVerified, generation, 0);
    record.set_build_block(0);
    record.store(Record::kBuilt, generation, 0);
    // Pages are reserved as the steps write them: a block of 56 MiB reserved
    // at once would make the claim's step a long one.
    char *block = allocate_block(m.base, bytes, Backing::on_first_write);
    if (block == nullptr) {
        // Noted for has_room_for_expansion (plus one: 0 means none), which
        // then lets no claim try again before a block's worth more is freed:
        // on a full file, each try walks the runs of free chunks.
        m.doubling_refused_at.store(free_listed_bytes(m.base) + 1, std::memory_order_relaxed);
        return nullptr;
    }
    m.doubling_refused_at.store(0, std::memory_order_relaxed);
    crash_points::step("build: block cut, not named yet");
    // An exchange (seq_cst): from here on the block is this doubling's.
    record.set_build_block(m.area.offset_of(block));
    crash_points::step("build: block allocated");
    return block;
}

// Publishes slots 2L-1 down to L+1 (as the budget allows), then slot L: the
// new half. Under the growth lock, with every new bucket written.
bool publish(Step &s, const Record &record, std::uint64_t chunks, char *block) {
    MapState &m = s.m;
    const unsigned generation = generation_of(chunks);
    const std::uint64_t chunk_bytes = m.bucket_chunk_bytes();
    const std::uint64_t above = chunks - 1;  // slots L+1 .. 2L-1
    const auto chunk_offset = [&](std::uint64_t slot) {
        return static_cast<std::int64_t>(m.area.offset_of(block + (slot - chunks) * chunk_bytes));
    };
    std::uint64_t done = record.count(Record::kPublished, generation);
    while (done < above) {
        if (!s.budget.left()) return true;
        const std::uint64_t n = std::min(above - done, s.budget.fit(1, kPublishGroup / kPublishedPerUnit) * kPublishedPerUnit);
        for (std::uint64_t k = done; k < done + n; ++k) {
            const std::uint64_t slot = 2 * chunks - 1 - k;
            // Nobody resolves a slot above L before slot L is published, so
            // these stores fill no process's chunk cache. A slot another
            // claimer (one that took the claim over) published: given up to it.
            const std::int64_t found = atomics::cas_field48(m.table_slot(slot), 0, chunk_offset(slot));
            if (found != 0 && found != chunk_offset(slot)) return false;
        }
        crash_points::step("publish: chunks published");
        done += n;
        record.store(Record::kPublished, generation, done);
        s.budget.spend(static_cast<std::int64_t>(n / kPublishedPerUnit) + 1);
    }
    // (a) The publisher names itself: from here on an older version waits on
    // a live process, and takes the claim over only once it has ended, so it
    // never builds over a half that participants split into.
    const std::int64_t own = kClaimedBy - host::own_pid();
    if (atomics::cas_field48(m.split_cursor_word, kPhantomClaim, own) != kPhantomClaim) return false;
    crash_points::step("publish: cursor names the publisher");
    ScopeExit unname([&] { atomics::cas_field48(m.split_cursor_word, own, kPhantomClaim); });
    // The claim may have come back to the phantom after another claimer's
    // whole doubling; then the table has doubled.
    if (m.chunks_in_use() != chunks || record.count(Record::kBuilt, generation) != m.bucket_chunk_size * chunks) {
        return false;
    }
    // (b) Slot L, the marker (or 0, when an older claimer took the claim over
    // and gave it back) replaced by the first chunk. A seq_cst exchange, so a release: every new
    // bucket and slot is seen before it; pairs with bucket_chunk's load and
    // is_current_mark's.
    const std::int64_t marker = m.table_entry(chunks);
    if (marker > 1 || atomics::cas_field48(m.table_slot(chunks), marker, chunk_offset(chunks)) != marker) return false;
    crash_points::step("publish: slot L published");
    unname.dismiss();
    // (c) The cursor hands out batches; its top bytes as store_field64 writes
    // them (the field turns positive). Pairs with take_batch.
    const std::int64_t last = static_cast<std::int64_t>(m.bucket_chunk_size * chunks) - 1;
    atomics::cas_field48(m.split_cursor_word, own, last);
    atomics::store16(m.split_cursor_word + 6, 0);
    crash_points::step("publish: cursor set");
    s.budget.spend(kTransitionUnits);
    return true;
}

// Writes the next new buckets of the doubling the phantom claims, then
// publishes them. Under the growth lock. False when nothing could be done.
bool build(Step &s, const View &v, const Record &record) {
    MapState &m = s.m;
    const std::uint64_t chunks = v.chunks;
    if (m.chunks_in_use() != chunks || atomics::load_field48(m.split_cursor_word) != kPhantomClaim) return false;
    const std::int64_t slot = m.table_entry(chunks);
    if (slot > 1) return false;
    // A claim an older process took over and gave back (no room) has lost
    // its marker: set again.
    if (slot == 0) atomics::cas_field48(m.table_slot(chunks), 0, 1);
    const unsigned generation = generation_of(chunks);
    const std::uint64_t buckets = m.bucket_chunk_size * chunks;
    char *block = build_block_for(s, record, chunks);
    if (block == nullptr) {
        give_up_claim(s, chunks);
        return false;
    }
    std::uint64_t built = record.count(Record::kBuilt, generation);
    while (built < buckets) {
        if (!s.budget.left()) return true;
        const std::uint64_t n = std::min(buckets - built, s.budget.fit(1, kBuildGroup));
        char *first = block + built * sizeof(Bucket);
        // The block's pages get their storage before the first store there
        // (a file system without room refuses here, rather than by SIGBUS).
        Chain links;
        bool taken = reserve_pages(m.base, first, n * sizeof(Bucket));
        if (taken) {
            try {
                // Refilled by groups: an unpublished half may not use the
                // last room of a full file, which shorter replacements and
                // the splits of a published half need.
                links = m.take_links(m.entry_pool, n);
            } catch (const std::runtime_error &) {
                taken = false;  // SpaceExhausted mostly; the pool is as it was
            }
        }
        if (!taken) {
            // Noted as a block that was not found is: no claim tries again
            // before a block's worth more is freed.
            m.doubling_refused_at.store(free_listed_bytes(m.base) + 1, std::memory_order_relaxed);
            give_up_claim(s, chunks);
            return false;
        }
        Bucket *bucket = reinterpret_cast<Bucket *>(first);
        for (ChunkLink *link : links.links()) write_empty_bucket(bucket++, m.area.offset_of(link));
        crash_points::step("build: buckets written past built");
        built += n;
        record.store(Record::kBuilt, generation, built);
        crash_points::step("build: buckets counted");
        s.budget.spend(static_cast<std::int64_t>(n));
    }
    return publish(s, record, chunks, block);
}

// ---- splitting, verifying, ending ------------------------------------------------------

// Batches from the cursor while the budget lasts. False when none was left.
bool split_batches(Step &s, const View &v, const Record &record) {
    MapState &m = s.m;
    const unsigned generation = generation_of(v.chunks);
    bool took = false;
    while (s.budget.left()) {
        const std::int64_t last = m.take_batch();
        if (last < 0) break;
        took = true;
        const std::int64_t first = std::max<std::int64_t>(last - (kSplitBatch - 1), 0);
        // A bucket that cannot be split (a broken structure, a pool that
        // cannot supply it) does not stop the rest of the batch, which nobody
        // else will split; the batch is then not counted.
        bool whole = true;
        for (std::int64_t i = first; i <= last; ++i) {
            try {
                whole = m.split_bucket(static_cast<std::uint64_t>(i), v.chunks) != MapState::Split::over && whole;
            } catch (abi::__forced_unwind &) {
                throw;
            } catch (...) {
                whole = false;
                if (!s.failure) s.failure = std::current_exception();
            }
        }
        if (whole) {
            record.add(Record::kSplitDone, generation, static_cast<std::uint64_t>(last - first + 1));
            crash_points::step("split: batch counted");
        }
        s.budget.spend(kSplitUnits * (last - first + 1));
        if (s.failure && s.mode == Mode::drive) std::rethrow_exception(s.failure);
    }
    return took;
}

// Checks buckets split from the sweep's watermark on. Under the growth lock.
bool sweep(Step &s, const View &v, const Record &record) {
    MapState &m = s.m;
    const unsigned generation = generation_of(v.chunks);
    const std::uint64_t buckets = m.bucket_chunk_size * v.chunks;
    std::uint64_t checked = record.count(Record::kVerified, generation);
    const std::uint64_t from = checked;
    while (checked < buckets && s.budget.left()) {
        const MapState::Split split = m.split_bucket(checked, v.chunks);
        if (split == MapState::Split::over) break;
        ++checked;
        s.budget.spend(split == MapState::Split::done_now ? 1 + kSplitUnits : 1);
        if (checked % kBuildGroup == 0 || checked == buckets || !s.budget.left()) {
            record.store(Record::kVerified, generation, checked);
            crash_points::step("sweep: range checked");
        }
    }
    m.growth.stats.swept.fetch_add(checked - from, std::memory_order_relaxed);
    return checked != from;
}

// The doubling from `chunks`, doubled: the cursor names the phantom ender,
// slot 2L holds the next claim back, the participants' counts go, and
// chunks_in_use doubles. Under the growth lock and expansion_lock.
void double_table(MapState &m, std::uint64_t chunks) {
    // Whole-word store: the cursor is negative before and after, and no
    // batch is taken from a negative one.
    atomics::store_field64(m.split_cursor_word, kPhantomEnder);
    crash_points::step("end: cursor names the ender");
    if (2 * chunks < m.bucket_chunk_number) {
        // A 1 already there is the marker of an end of this same doubling
        // that died before the doubling: this one's now.
        atomics::cas_field48(m.table_slot(2 * chunks), 0, 1);
    }
    crash_points::step("end: next claim blocked");
    atomics::exchange_field48(m.expansion_workers_word, 0);
    crash_points::step("end: participants cleared");
    // The doubling: the new table is in force from here on. Pairs with the
    // loads of chunks_in_use in the entry operations (read after `forward`).
    atomics::fetch_add_field48(m.chunks_in_use_word, static_cast<std::int64_t>(chunks));
    crash_points::step("end: doubled");
}

// Ends the doubling from v.chunks when every old bucket is known split.
// Under the growth lock.
bool end(Step &s, const View &v, const Record &record) {
    MapState &m = s.m;
    const std::uint64_t chunks = v.chunks;
    const unsigned generation = generation_of(chunks);
    const std::uint64_t buckets = m.bucket_chunk_size * chunks;
    if (record.count(Record::kSplitDone, generation) < buckets && record.count(Record::kVerified, generation) < buckets) {
        return false;
    }
    const std::uint64_t entries = m.entry_count();
    {
        SegmentLockGuard guard(m.expansion_lock_word, kExpansionLockName);
        // Another participant (an older version's) may have ended it; and no
        // end while batches are still handed out.
        if (m.chunks_in_use() != chunks || atomics::load_field48(m.split_cursor_word) >= 0) return false;
        record.store(Record::kCleared, generation, 0);
        crash_points::step("end: clearing noted");
        double_table(m, chunks);
    }
    m.growth.stats.ends.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t load = entries * 1000 / buckets;
    std::uint64_t largest = m.growth.stats.largest_load_at_end.load(std::memory_order_relaxed);
    while (load > largest &&
           !m.growth.stats.largest_load_at_end.compare_exchange_weak(largest, load, std::memory_order_relaxed)) {
    }
    s.budget.spend(kTransitionUnits);
    return true;
}

// ---- clearing ---------------------------------------------------------------------------

// True when a locked old bucket carries a mark that is not the running
// doubling's: `forward` set but not current, or the split-done bit alone.
bool carries_stale_mark(MapState &m, std::uint64_t index, std::uint64_t chunks, const BucketGuard &guard) {
    const Offset forward = guard.forward();
    if (forward != 0) return !is_current_mark(m, index, chunks, forward);
    return read_intent(guard.bucket()).split_done;
}

// Clears the old half's marks from the watermark on, then lets the next
// claim in. Under the growth lock, with the cursor naming the phantom ender.
bool clear(Step &s, const View &v, const Record &record) {
    MapState &m = s.m;
    const std::uint64_t chunks = v.chunks;
    Tagged cleared = record.read(Record::kCleared);
    if (cleared.generation == generation_of(chunks)) {
        // An end that died before the doubling: made again (each of its
        // steps can be), now that every bucket is known split again (it
        // checked before it noted the clearing).
        SegmentLockGuard guard(m.expansion_lock_word, kExpansionLockName);
        if (m.chunks_in_use() != chunks || atomics::load_field48(m.split_cursor_word) != kPhantomEnder) return false;
        double_table(m, chunks);
        s.budget.spend(kTransitionUnits);
        return true;
    }
    if (chunks < 2) return false;  // no doubling made a table of one chunk
    const unsigned generation = generation_of(chunks / 2);
    if (cleared.generation != generation) {
        // Taken over from an ender that noted nothing here: from the start.
        cleared = Tagged{generation, 0};
        record.store(Record::kCleared, generation, 0);
    }
    const std::uint64_t old_buckets = m.bucket_chunk_size * (chunks / 2);
    std::uint64_t done = cleared.count;
    while (done < old_buckets) {
        if (!s.budget.left()) return true;
        const std::uint64_t n = std::min(old_buckets - done, s.budget.fit(1, kBuildGroup) * kClearedPerUnit);
        for (std::uint64_t i = done; i < done + n; ++i) {
            const BucketGuard guard = lock_bucket_at(m, m.bucket_at(i));
            if (carries_stale_mark(m, i, m.chunks_in_use(), guard)) clear_split_mark(guard.bucket());
            crash_points::step("clearing: a bucket cleared");
        }
        done += n;
        record.store(Record::kCleared, generation, done);
        crash_points::step("clear: range cleared");
        s.budget.spend(static_cast<std::int64_t>(n / kClearedPerUnit) + 1);
    }
    // The marker first, then the cursor: a death between leaves the phantom
    // ender with every bucket cleared, which the next step finishes here. A
    // marker that an older process took over with the end is its claim's
    // now, and one removed under it only makes it publish over a 0.
    if (m.chunks_in_use() != chunks || atomics::load_field48(m.split_cursor_word) != kPhantomEnder) return false;
    if (chunks < m.bucket_chunk_number) atomics::cas_field48(m.table_slot(chunks), 1, 0);
    crash_points::step("clear: marker removed, cursor still names the ender");
    atomics::cas_field48(m.split_cursor_word, kPhantomEnder, kPlainCursor);
    crash_points::step("clear: cursor plain");
    s.budget.spend(kTransitionUnits);
    return true;
}

// ---- taking over from processes that ended --------------------------------------------

// Clears the slots above L that are not this build's (a dead claimer's,
// published over ours or into empty ones) and starts the publication again.
void reclaim_slots_above(Step &s, const Record &record, std::uint64_t chunks) {
    MapState &m = s.m;
    const unsigned generation = generation_of(chunks);
    const Offset block = record.read(Record::kBuilt).generation == generation ? record.build_block() : 0;
    for (std::uint64_t slot = chunks + 1; slot < 2 * chunks; ++slot) {
        const std::int64_t found = m.table_entry(slot);
        const auto ours = block == 0 ? 0 : static_cast<std::int64_t>(block + (slot - chunks) * m.bucket_chunk_bytes());
        if (found != 0 && found != ours) atomics::cas_field48(m.table_slot(slot), found, 0);
    }
    record.store(Record::kPublished, generation, 0);
}

// What the cursor names, taken over once its process has ended (or, for a
// publication that names none, once it has lasted a second). Under the
// growth lock. False when there was nothing to take.
bool take_over(Step &s, const View &v, const Record &record) {
    MapState &m = s.m;
    char *cursor = m.split_cursor_word;
    if (v.named != 0 && !processes::holder_has_ended(v.named, 0, cursor)) return false;
    bool taken = false;
    if (pid_below(v.cursor, kEndingBy) != 0) {
        if (v.published) {
            // Ended before the doubling: the sweep and the end follow.
            taken = atomics::cas_field48(cursor, v.cursor, kPlainCursor) == v.cursor;
        } else if (v.chunks >= 2) {
            record.store(Record::kCleared, generation_of(v.chunks / 2), 0);
            taken = atomics::cas_field48(cursor, v.cursor, kPhantomEnder) == v.cursor;
        }
    } else if (v.published) {
        // A publisher that died after slot L: the cursor it had yet to set.
        const std::int64_t last = static_cast<std::int64_t>(m.bucket_chunk_size * v.chunks) - 1;
        taken = atomics::cas_field48(cursor, v.cursor, last) == v.cursor;
        if (taken) atomics::store16(cursor + 6, 0);
    } else if (m.doubling_fits(v.chunks)) {
        // A claim that never published: the phantom's again, built anew.
        taken = atomics::cas_field48(cursor, v.cursor, kPhantomClaim) == v.cursor;
        if (taken) {
            reclaim_slots_above(s, record, v.chunks);
            atomics::cas_field48(m.table_slot(v.chunks), 0, 1);
        }
    }
    if (!taken) return false;
    crash_points::step("takeover: cursor taken");
    m.growth.stats.takeovers.fetch_add(1, std::memory_order_relaxed);
    s.budget.spend(kTransitionUnits);
    return true;
}

// True when a state another process holds has lasted long enough to judge.
bool take_over_due(Step &s, const View &v) {
    const LockWaitTiming timing = lock_wait_timing();
    const Clock::duration first = v.named != 0 ? Clock::duration(timing.first_look) : kUnnamedLooks * timing.first_look;
    return s.m.growth.foreign_patience.look_due(view_key(v), s.now(), first, timing.look_every);
}

// ---- the loop ---------------------------------------------------------------------------

// One round: the work of the phase the words show, as far as the budget and
// the locks allow. False when it could do nothing.
bool round(Step &s, const View &v) {
    MapState &m = s.m;
    if (v.phase == GrowthPhase::unknown) return false;
    if (v.phase == GrowthPhase::idle || v.phase == GrowthPhase::stale_marker) {
        if (!s.may_claim || !m.doubling_fits(v.chunks)) return false;
    }
    char *data = m.extension_or_create();
    if (data == nullptr) return false;
    const Record record(data);
    switch (v.phase) {
        case GrowthPhase::idle:
        case GrowthPhase::stale_marker:
            return hold_growth_lock(s) && claim(s, v);
        case GrowthPhase::building:
            return hold_growth_lock(s) && build(s, v, record);
        case GrowthPhase::splitting:
            return split_batches(s, v, record);
        case GrowthPhase::verifying: {
            if (!hold_growth_lock(s)) return false;
            if (end(s, v, record)) return true;
            const std::uint64_t key = generation_of(v.chunks);
            const bool due = s.mode == Mode::drive ||
                             m.growth.sweep_patience.look_due(key, s.now(), kSweepPatience, Clock::duration::zero());
            return due && sweep(s, v, record);
        }
        case GrowthPhase::clearing:
            return hold_growth_lock(s) && clear(s, v, record);
        case GrowthPhase::foreign:
            return take_over_due(s, v) && hold_growth_lock(s) && take_over(s, v, record);
        case GrowthPhase::unknown:
            break;
    }
    return false;
}

// Rounds until the budget is spent or nothing more can be done now.
void run(Step &s) {
    while (s.budget.left()) {
        const View v = read_view(s.m);
        if (!round(s, v)) return;
        s.progress = true;
        // A claim is made once per call: the next rounds build it.
        s.may_claim = false;
    }
}

// How much one step of a change does, and whether it may wait.
struct StepSize {
    Budget budget;
    Mode mode;
};

// x1, x2, x4 as the table runs ahead of its doubling, and a catch-up step
// (x16) past 4 entries per old bucket.
StepSize step_size(const MapState &m, const View &v) {
    if (v.phase == GrowthPhase::clearing) return {Budget::units(kStepUnits), Mode::step};
    const std::uint64_t buckets = m.bucket_chunk_size * v.chunks;
    const std::uint64_t entries = m.entry_count();
    if (2 * entries < 5 * buckets) return {Budget::units(kStepUnits), Mode::step};
    if (entries < 3 * buckets) return {Budget::units(2 * kStepUnits), Mode::step};
    if (entries < 4 * buckets) return {Budget::units(4 * kStepUnits), Mode::step};
    return {Budget::units(kCatchUpSteps * kStepUnits), Mode::catch_up};
}

std::int64_t ticks(Clock::time_point t) { return t.time_since_epoch().count(); }

}  // namespace

// ---- StatePatience ----------------------------------------------------------------------

bool StatePatience::look_due(std::uint64_t key, Clock::time_point now, Clock::duration first_look,
                             Clock::duration look_every) {
    std::unique_lock<std::mutex> guard(mutex_, std::try_to_lock);
    if (!guard.owns_lock()) return false;
    if (key != key_ || next_look_ == Clock::time_point{}) {
        key_ = key;
        next_look_ = now + first_look;
        return false;
    }
    if (now < next_look_) return false;
    next_look_ = now + look_every;
    return true;
}

const char *growth_phase_name(GrowthPhase phase) {
    switch (phase) {
        case GrowthPhase::idle:
            return "idle";
        case GrowthPhase::building:
            return "building";
        case GrowthPhase::splitting:
            return "splitting";
        case GrowthPhase::verifying:
            return "verifying";
        case GrowthPhase::clearing:
            return "clearing";
        case GrowthPhase::foreign:
            return "named";
        case GrowthPhase::stale_marker:
            return "stale marker";
        case GrowthPhase::unknown:
            break;
    }
    return "unknown";
}

// ---- MapState's growth -------------------------------------------------------------------

char *MapState::extension_or_create() {
    if (char *record = extension()) return record;
    char *header_word = base + kMapHeaderOffset + offsetof(MapHeader, extension);
    const std::int64_t named = atomics::load_field48(header_word);
    if (named == 0) {
        char *chunk = allocate_chunks(base, 1, kExtensionChunkSize);
        if (chunk == nullptr) return nullptr;
        char *data = chunk_data(chunk);
        std::memset(data, 0, kExtensionChunkSize);
        std::memcpy(data, kExtensionMagic, sizeof kExtensionMagic);
        // Seq_cst, so a release: the record is whole before any process can find it.
        // A loser's chunk stays unused (240 bytes).
        const std::int64_t mine = static_cast<std::int64_t>(area.offset_of(data));
        const std::int64_t found = atomics::cas_field48(header_word, 0, mine);
        if (found == 0) {
            set_extension(data);
            return data;
        }
        return nullptr;  // another process's record: found (and checked) by the next call
    }
    // Made by another process since this one attached: checked as an attach checks it.
    const auto offset = static_cast<Offset>(named);
    if (offset % kChunkGrid != kDataPastGrid || !area.holds(offset, kExtensionChunkSize) ||
        chunk_size_at(chunk_header(base + offset)) != kExtensionChunkSize ||
        std::memcmp(base + offset, kExtensionMagic, sizeof kExtensionMagic) != 0) {
        return nullptr;
    }
    set_extension(base + offset);
    return base + offset;
}

char *MapState::growth_lock_word() const {
    char *record = extension();
    return record == nullptr ? nullptr : record + offsetof(MapExtension, growth_lock);
}

GrowthPhase MapState::growth_phase() { return read_view(*this).phase; }

bool MapState::grow(std::int64_t units, bool may_claim) {
    Step s{*this, Mode::step, may_claim, Budget::units(units), {}, false, false, false, nullptr};
    run(s);
    if (s.failure) std::rethrow_exception(s.failure);
    return s.progress;
}

void MapState::after_change(bool appended) {
    if (cache != nullptr) sweep_expired(expiry_clock());
    if (!grows_by_steps) return;
    try {
        const View v = read_view(*this);
        if (v.phase == GrowthPhase::idle || v.phase == GrowthPhase::stale_marker) {
            if (!appended || !doubling_fits(v.chunks) || !past_doubling_load(v.chunks)) return;
        } else if (v.phase == GrowthPhase::unknown) {
            return;
        }
        const StepSize size = step_size(*this, v);
        const bool catch_up = size.mode == Mode::catch_up;
        Step s{*this, size.mode, appended, size.budget, {}, false, false, false, nullptr};
        growth.last_change_step.store(ticks(Clock::now()), std::memory_order_relaxed);
        run(s);
        if (s.progress) growth.stats.steps.fetch_add(1, std::memory_order_relaxed);
        if (catch_up && s.progress) growth.stats.catch_ups.fetch_add(1, std::memory_order_relaxed);
    } catch (abi::__forced_unwind &) {
        throw;  // the thread is being ended: nothing may hold it up
    } catch (...) {
        // The growth's failure (a bucket that cannot be split, a segment too
        // full to split), not the change's: the change is done. It stays for
        // the operations that need what is broken to report.
    }
}

void MapState::after_get() {
    // Per thread, so that the count costs no shared cache line; the interval
    // is a rate, not an exact count.
    thread_local std::uint32_t gets = 0;
    if (++gets < get_step_interval || !grows_by_steps) return;
    gets = 0;
    try {
        const View v = read_view(*this);
        if (v.phase == GrowthPhase::idle || v.phase == GrowthPhase::stale_marker || v.phase == GrowthPhase::unknown) {
            return;
        }
        const auto now = Clock::now();
        const std::int64_t last = growth.last_change_step.load(std::memory_order_relaxed);
        if (ticks(now) - last < std::chrono::duration_cast<Clock::duration>(kGetStepQuiet).count()) return;
        Step s{*this, Mode::step, false, Budget::units(kStepUnits), {}, false, false, false, nullptr};
        run(s);
        if (s.progress) growth.stats.steps.fetch_add(1, std::memory_order_relaxed);
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
    }
}

MapState::Part MapState::drive_to_end(std::uint64_t chunks) {
    const std::uint64_t doubled = 2 * chunks;
    for (;;) {
        const View v = read_view(*this);
        // Done once the table has doubled and that doubling's marks are
        // cleared (an older process clearing them itself is done too, as its
        // own participants are).
        if (v.chunks >= doubled && (v.chunks > doubled || v.phase != GrowthPhase::clearing)) return Part::split;
        if (v.chunks == chunks && !doubling_fits(chunks) && v.phase != GrowthPhase::clearing) return Part::nothing_to_do;
        Step s{*this, Mode::drive, v.chunks == chunks, Budget::unbounded(), {}, false, false, false, nullptr};
        run(s);
        if (s.failure) std::rethrow_exception(s.failure);
        if (s.no_room) return Part::no_room;
        if (s.progress) continue;
        s.lock.release();
        {
            host::WaitScope counted;
            host::sleep_1ms();
        }
        if (host::stop_requested()) throw WaitAbandoned("table's doubling");
    }
}

bool MapState::forget_unpublished_build() {
    char *data = extension();
    if (data == nullptr) return false;
    const Record record(data);
    const Tagged built = record.read(Record::kBuilt);
    if (built.count == 0 || built.generation == 0 || built.generation > 48) return false;
    // Published: the block is chunk table slot L's, and its buckets are the table's.
    const std::uint64_t chunks = std::uint64_t{1} << (built.generation - 1);
    if (chunks < bucket_chunk_number && table_entry(chunks) == static_cast<std::int64_t>(record.build_block())) {
        return false;
    }
    record.store(Record::kPublished, built.generation, 0);
    record.store(Record::kBuilt, built.generation, 0);
    return true;
}

void MapState::forget_damaged_extension() {
    atomics::exchange_field48(base + kMapHeaderOffset + offsetof(MapHeader, extension), 0);
    set_extension(nullptr);
    extension_damaged = false;
}

bool MapState::named_build_block(Offset &block, std::uint64_t &length) const {
    char *data = extension();
    if (data == nullptr) return false;
    const Record record(data);
    const Tagged built = record.read(Record::kBuilt);
    const Offset named = record.build_block();
    if (named == 0 || built.generation == 0 || built.generation > 48) return false;
    const std::uint64_t chunks = std::uint64_t{1} << (built.generation - 1);
    if (chunks > reachable_chunks) return false;
    length = bucket_chunk_bytes() * chunks;
    if (named % kChunkGrid != kDataPastGrid || !area.holds(named, length)) return false;
    block = named;
    return true;
}

}  // namespace zorvik
