#include "zorvik/core/map/bucket_lock.hpp"

namespace zorvik {

BucketGuard lock_bucket(MapState &m, std::int64_t hash) {
    for (;;) {
        const std::uint64_t chunks = m.chunks_in_use();
        const std::uint64_t index = m.bucket_index(hash, chunks);
        Bucket *bucket = m.bucket_at(index);
        SegmentLockGuard lock(lock_word(bucket), kBucketLockName);
        // Read `forward` before the count: see the essay in entry_operations.cpp.
        // Both loads are acquires; the `forward` load pairs with a splitter's
        // exchange, the count's with the ender's fetch-and-add.
        const auto forward = static_cast<Offset>(atomics::load_field48(forward_word(bucket)));
        const std::uint64_t now = m.chunks_in_use();
        // The entries' `base` field is scratch that no process reads; it is
        // not written here, as its last two bytes share the aligned word
        // through which a splitter sets `forward` without the bucket lock.
        if (now == chunks || m.bucket_index(hash, now) == index) return BucketGuard(bucket, forward, std::move(lock));
        // The table doubled meanwhile and the hash leads elsewhere: `lock`
        // lets go of this bucket, and the next round takes the right one.
    }
}

Bucket *partner_bucket(const MapState &m, Offset forward) {
    if (forward % kChunkGrid != kDataPastGrid) throw_offset_overflow();
    return reinterpret_cast<Bucket *>(m.area.bytes(forward, sizeof(Bucket)));
}

}  // namespace zorvik
