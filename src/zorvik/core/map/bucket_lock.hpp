// Taking a bucket's lock. Every operation that works on a bucket's entries
// takes the lock through here, and gets three things with it:
//
//   - the right bucket: the table can double while a thread waits for a
//     bucket's lock, so the lock taken is only the right one if the hash still
//     leads to that bucket afterwards; lock_bucket checks, and starts over
//     when it does not (entry_operations.cpp says why the order of its reads
//     makes that sound);
//   - a sound bucket: a lock taken over from a process that ended holding it,
//     or any bucket whose intent word says a change was left in progress (a
//     process killed under the lock, or an operation that failed half way),
//     is repaired before the lock is handed out (repair_bucket);
//   - a current mark: a `forward` left by an expansion that has ended (its
//     ender died before clearing it) is cleared, so that a mark handed out
//     always belongs to the expansion in progress.
#pragma once

#include <cstdint>

#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {

// A bucket's lock, held, with what was read under it. Movable; the lock is
// released when the guard goes (or by release()), on every path.
class BucketGuard {
public:
    BucketGuard() = default;
    Bucket *bucket() const { return bucket_; }
    // The bucket's `forward` as read once the lock was held: the partner
    // bucket while the expansion in progress splits this one, else 0.
    Offset forward() const { return forward_; }
    // chunks_in_use as read after `forward` (lock_bucket only): the table the
    // bucket was found in, and the one whose expansion set `forward`.
    std::uint64_t chunks() const { return chunks_; }
    // Lets go before the end of the scope.
    void release() { lock_.release(); }
    bool holds() const { return lock_.holds(); }

private:
    friend BucketGuard lock_bucket(MapState &m, std::int64_t hash);
    friend BucketGuard lock_bucket_at(MapState &m, Bucket *bucket);
    BucketGuard(Bucket *bucket, Offset forward, std::uint64_t chunks, SegmentLockGuard lock)
        : bucket_(bucket), forward_(forward), chunks_(chunks), lock_(std::move(lock)) {}

    Bucket *bucket_ = nullptr;
    Offset forward_ = 0;
    std::uint64_t chunks_ = 0;
    SegmentLockGuard lock_;
};

// Locks the bucket `hash` leads to in the table in force, repaired and with a
// current mark. Throws what taking the lock throws (LockHeldByNoProcess,
// WaitAbandoned) and "offset overflow!" for a broken chunk table or a bucket
// that cannot be repaired; nothing is held then.
BucketGuard lock_bucket(MapState &m, std::int64_t hash);

// Locks `bucket` itself (a partner, or a bucket an expansion splits or
// clears), repaired; its `forward` is read as it is, and chunks() is 0.
BucketGuard lock_bucket_at(MapState &m, Bucket *bucket);

// Finishes or undoes the change a locked bucket's intent word says was left
// in progress, so that the bucket is as it was before the change or after
// it; clears the intent. Allocates nothing (what the dead change had taken
// is left to an offline repair). Throws "offset overflow!", leaving the
// intent, when the bucket's state is none that the change can leave.
void repair_bucket(MapState &m, Bucket *bucket);

// The bucket `forward` names, for an operation that holds the lock of the
// bucket being split. Throws "offset overflow!" when it cannot be a bucket.
Bucket *partner_bucket(const MapState &m, Offset forward);

// True when bucket `index`'s `forward` is the mark of the expansion from a
// table of `chunks` chunks: the Offset of bucket index + B x chunks, published.
bool is_current_mark(MapState &m, std::uint64_t index, std::uint64_t chunks, Offset forward);

}  // namespace zorvik
