// Active expiry: expired entries leave a cache even where nobody reads.
// Expiry is otherwise lazy (an operation settles the buckets it locks), so
// a key stored once with a TTL and never looked up again would keep its
// space. Every change of a cache therefore ends by settling a few buckets
// more, taken in turn from a hand the processes share (the cache record's
// `hand`): the writers together walk the whole table round and round, each
// bucket under its own lock, one at a time, as any operation takes it.
//
// A process takes the hand's positions kHandClaim at a time (one shared
// write per claim, not per change) and spends them kSweepBuckets per
// change; a sweep that meets expired entries goes on further, up to
// kSweepBurst buckets, so a table full of them is cleared at the pace of
// the writes (Redis's active expiry repeats its sample in the same way while
// it keeps finding expired keys). The hand's position modulo the table's
// bucket count is the bucket visited: a doubling only changes which bucket
// comes next.
//
// The same walk keeps the LRU stamps readable: a stamp wraps every 2^32
// units (76 hours), so one left untouched for more than kStampOldest is
// written back to exactly that age, which eviction still scores as the
// oldest there is.
#include <cxxabi.h>

#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/map/entry_metadata.hpp"
#include "zorvik/core/map/map_internal.hpp"

namespace zorvik {
namespace {

// Buckets a change settles when they hold nothing expired: one lock taken
// and released each, about a bucket's lock round trip (tens of
// nanoseconds) on top of a change that takes a few hundred.
constexpr std::uint64_t kSweepBuckets = 2;
// Buckets a change settles at most while it keeps finding expired entries.
constexpr std::uint64_t kSweepBurst = 16;
// Positions a process takes from the shared hand at once: a shared write
// every 32 changes at the least sweep.
constexpr std::uint64_t kHandClaim = 64;
// The hand is a field48; positions are taken modulo 2^48, a multiple of
// every table's bucket count (a power of two below 2^47).
constexpr std::uint64_t kHandMask = (std::uint64_t{1} << 48) - 1;
// Stamps older than this (2^30 units of 64 us, 19 hours) are written back to
// it, half the 2^31 units past which eviction reads a stamp as new.
constexpr std::uint32_t kStampOldest = std::uint32_t{1} << 30;

// Clamps the access stamps of a locked, settled bucket's entries.
void clamp_old_stamps(MapState &m, Bucket *bucket, std::uint64_t now_us) {
    const auto now_stamp = static_cast<std::uint32_t>(now_us >> 6);
    const ChunkArray &entries = bucket->entries;
    for (std::uint64_t i = 0; i < entries.length; ++i) {
        MapEntry *entry = entry_place(m, entries, i);
        if (static_cast<std::uint32_t>(now_stamp - read_stamp(entry)) > kStampOldest) {
            write_stamp(entry, now_us - (std::uint64_t{kStampOldest} << 6));
        }
    }
}

// Settles the bucket the hand's `position` names and, while the running
// doubling splits it, its partner (taken second, as every operation does).
// Returns the entries removed.
std::uint64_t sweep_bucket(MapState &m, std::uint64_t position, std::uint64_t now_us) {
    const BucketGuard locked = lock_bucket(m, static_cast<std::int64_t>(position));
    std::uint64_t removed = m.settle(locked.bucket(), now_us);
    clamp_old_stamps(m, locked.bucket(), now_us);
    if (locked.forward() != 0) {
        const BucketGuard partner = lock_bucket_at(m, partner_bucket(m, locked.forward()));
        removed += m.settle(partner.bucket(), now_us);
        clamp_old_stamps(m, partner.bucket(), now_us);
    }
    return removed;
}

}  // namespace

std::uint64_t MapState::next_sweep_position() {
    // Threads of this process share the claimed run; two that race past its
    // end each claim one, and a position swept twice or skipped only moves
    // a sweep that is a sample anyway.
    std::uint64_t position = sweep_next_.fetch_add(1, std::memory_order_relaxed);
    if (position - sweep_claimed_.load(std::memory_order_relaxed) < kHandClaim) return position;
    // Pairs with the other processes' claims: each takes a run no other has.
    const auto start = static_cast<std::uint64_t>(atomics::fetch_add_field48(
                           &cache->hand, static_cast<std::int64_t>(kHandClaim))) &
                       kHandMask;
    sweep_claimed_.store(start, std::memory_order_relaxed);
    sweep_next_.store(start + 1, std::memory_order_relaxed);
    return start;
}

std::uint64_t MapState::sweep_expired(std::uint64_t now_us) {
    std::uint64_t removed = 0;
    try {
        for (std::uint64_t visited = 0; visited < kSweepBurst; ++visited) {
            const std::uint64_t found = sweep_bucket(*this, next_sweep_position(), now_us);
            removed += found;
            if (visited + 1 >= kSweepBuckets && found == 0) break;
        }
    } catch (abi::__forced_unwind &) {
        throw;  // the thread is being ended: nothing may hold it up
    } catch (...) {
        // A bucket that cannot be locked or repaired is the operation's that
        // needs it to report; the change that swept is done.
    }
    return removed;
}

}  // namespace zorvik
