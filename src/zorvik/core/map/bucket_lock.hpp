// Taking a bucket's lock in the table in force. The table can double while a
// thread waits for a bucket's lock, so the lock taken is only the right one
// if the hash still leads to that bucket afterwards; lock_bucket checks, and
// starts over when it does not (entry_operations.cpp says why the order of
// its reads makes that sound).
#pragma once

#include <cstdint>

#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {

// A bucket's lock, held, with what was read under it. Movable; the lock is
// released when the guard goes (or by release()), on every path.
class BucketGuard {
public:
    Bucket *bucket() const { return bucket_; }
    // The bucket's `forward` as read once the lock was held: the partner
    // bucket while an expansion splits this one, else 0.
    Offset forward() const { return forward_; }
    // Lets go before the end of the scope.
    void release() { lock_.release(); }
    bool holds() const { return lock_.holds(); }

private:
    friend BucketGuard lock_bucket(MapState &m, std::int64_t hash);
    BucketGuard(Bucket *bucket, Offset forward, SegmentLockGuard lock)
        : bucket_(bucket), forward_(forward), lock_(std::move(lock)) {}

    Bucket *bucket_;
    Offset forward_;
    SegmentLockGuard lock_;
};

// Locks the bucket `hash` leads to in the table in force. Throws what taking
// the lock throws (LockHolderDied, WaitAbandoned) and "offset overflow!" for
// a broken chunk table; nothing is held then.
BucketGuard lock_bucket(MapState &m, std::int64_t hash);

// The bucket `forward` names, for a get or remove that holds the lock of the
// bucket being split. Throws "offset overflow!" when it cannot be a bucket.
Bucket *partner_bucket(const MapState &m, Offset forward);

}  // namespace zorvik
