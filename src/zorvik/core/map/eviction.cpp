// Eviction in a cache bounded by max_entries, without a lock over the whole
// map: a store that finds the cache full samples a few buckets, one at a
// time under its own lock, keeps the best candidate the policy sees among
// their entries (its key bytes, hash and access stamp), then lets go and
// removes that candidate by an ordinary remove under its bucket's lock, if
// no hit has refreshed it meanwhile (its stamp unchanged). An eviction is
// thus a remove like any other, and a process killed inside it leaves what
// a killed remove leaves. Expired entries met while sampling are removed
// there (settle) and make the room themselves.
//
// Policies: lru evicts the entry idle longest (hits write its stamp:
// entry_operations.cpp), random any sampled entry. Samples are drawn by a
// per-thread xorshift generator, so threads and processes sample apart.
#include <string>

#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/map/entry_metadata.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

// Buckets with entries sampled per eviction: about ten entries at the load
// a table keeps (up to two per bucket), as Redis samples.
constexpr int kSampledBuckets = 5;
// Buckets looked at, at most, to find that many with entries: a cache far
// below its table's size may have mostly empty buckets.
constexpr int kMostProbes = 64;
// A stamp more than 2^31 units (38 hours) behind now is read as one ahead of
// it (the 32-bit stamp wraps every 76 hours, or the clock stepped back):
// scored as used now.
constexpr std::uint32_t kStampHalfRange = std::uint32_t{1} << 31;

thread_local std::uint64_t random_state = 0;

std::uint64_t next_random(std::uint64_t now_us) {
    if (random_state == 0) {
        random_state = (now_us ^ (static_cast<std::uint64_t>(host::own_pid()) << 32) ^
                        reinterpret_cast<std::uintptr_t>(&random_state)) |
                       1;
    }
    random_state ^= random_state << 13;
    random_state ^= random_state >> 7;
    random_state ^= random_state << 17;
    return random_state;
}

struct Candidate {
    bool chosen = false;
    std::uint64_t score = 0;  // higher evicts first
    std::string key;
    std::int64_t hash = 0;
    std::uint32_t stamp = 0;
};

// How much the policy wants `entry` gone.
std::uint64_t score_of(const MapState &m, const MapEntry *entry, std::uint64_t now_us) {
    if (m.cache_settings.policy == CacheSettings::Policy::random) return next_random(now_us);
    const auto idle = static_cast<std::uint32_t>(static_cast<std::uint32_t>(now_us >> 6) - read_stamp(entry));
    return idle >= kStampHalfRange ? 0 : idle;
}

// The key bytes of a locked bucket's entry, after the checks every walk of
// a stored key makes.
std::string key_of(const MapState &m, const MapEntry *entry) {
    const ChunkArray &key = entry->key;
    const std::uint64_t length = key.chunk_count == 0 ? 0 : key.length;
    std::string bytes(length, '\0');
    if (length != 0) {
        const Chain chain = byte_chain(m.area, key);
        if (!chain.filled_by(length)) throw_offset_overflow();
        chain.copy_to(bytes.data(), length);
    }
    return bytes;
}

}  // namespace

bool MapState::evict_one(std::uint64_t now_us) {
    Candidate best;
    int sampled = 0;
    for (int probe = 0; probe < kMostProbes && sampled < kSampledBuckets; ++probe) {
        const BucketGuard locked = lock_bucket(*this, static_cast<std::int64_t>(next_random(now_us)));
        Bucket *bucket = locked.bucket();
        if (settle(bucket, now_us) != 0) return true;
        const ChunkArray &entries = bucket->entries;
        if (entries.length == 0) continue;
        ++sampled;
        for (std::uint64_t i = 0; i < entries.length; ++i) {
            const MapEntry *entry = entry_place(*this, entries, i);
            const std::uint64_t score = score_of(*this, entry, now_us);
            if (best.chosen && score <= best.score) continue;
            best.chosen = true;
            best.score = score;
            best.key = key_of(*this, entry);
            best.hash = entry->hash;
            best.stamp = read_stamp(entry);
        }
    }
    return best.chosen && evict_entry(best.key.data(), best.key.size(), best.hash, best.stamp);
}

}  // namespace zorvik
