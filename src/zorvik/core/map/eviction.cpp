// Eviction in a cache bounded by max_entries, without a lock over the whole
// map: a store that finds the cache full samples a few buckets, one at a
// time under its own lock, scores their entries by the policy (keeping the
// key bytes, hash and metadata of those worth keeping), then lets go and
// removes the best candidate by an ordinary remove under its bucket's lock,
// if nothing has used it meanwhile (its metadata unchanged). An eviction is
// thus a remove like any other, and a process killed inside it leaves what
// a killed remove leaves. Expired entries met while sampling are removed
// there (settle) and make the room themselves.
//
// Candidates outlive the eviction that met them: each process keeps the
// best kEvictionPoolSize it has seen (eviction_pool.hpp), rescored at every
// eviction, so that an eviction picks among the entries of its last several
// samples. With the pool, sampled LRU comes within a fraction of a point of
// exact LRU's hit ratio on skewed traces (as Redis found for its own).
//
// Policies: lru evicts the entry idle longest (hits write its stamp:
// entry_operations.cpp); lfu the entry with the lowest LFU counter once
// decayed (lfu_counter.hpp), the idlest among equals; ttl the entry whose
// deadline comes first, entries without one only when a few samples in a
// row find no candidate with one (candidates that went missing meanwhile
// send it to sample again rather than down to them), the idlest first;
// random any sampled entry (no pool: any is as good).
#include <algorithm>
#include <string>

#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/map/entry_metadata.hpp"
#include "zorvik/core/map/lfu_counter.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/map/random_draw.hpp"

namespace zorvik {
namespace {

// Entries sampled per eviction, at the least (whole buckets are taken):
// twice the five Redis samples by default. Each sampled bucket is a lock and
// a cache miss or two, the bulk of what an eviction costs; but over a short
// run of evictions, before the candidate pool has seen much, five rank too
// loosely (a ttl cache that must evict 50 of 100 entries with deadlines kept
// about 30 of the latest 50, chance's 25; ten keep 35 and more), while LRU's
// hit ratio over a long trace is within 0.2 points of exact LRU with either.
constexpr std::uint64_t kSampledEntries = 10;
// A stamp more than 2^31 units (38 hours) behind now is read as one ahead of
// it (the 32-bit stamp wraps every 76 hours, or the clock stepped back):
// scored as used now. The expiry sweep keeps stamps from getting that old.
constexpr std::uint32_t kStampHalfRange = std::uint32_t{1} << 31;
// Scores of the ttl policy for entries with a deadline: above every idle
// time (< 2^31), the earliest deadline (< 2^47) highest.
constexpr std::uint64_t kDeadlineScores = std::uint64_t{1} << 62;

std::uint64_t idle_units(const AccessMetadata &access, std::uint64_t now_us) {
    const auto idle = static_cast<std::uint32_t>(stamp_at(now_us) - access.stamp);
    return idle >= kStampHalfRange ? 0 : idle;
}

// How much the policy wants an entry with this metadata gone: higher first.
std::uint64_t score_of(const MapState &m, const EntryUse &use, std::uint64_t now_us) {
    const std::uint64_t idle = idle_units(use.access, now_us);
    switch (m.cache_settings.policy) {
        case CacheSettings::Policy::lru:
            return idle;
        case CacheSettings::Policy::lfu: {
            const std::uint8_t counter = lfu_decayed(use.access, lfu_minutes_at(now_us), m.lfu_decay_minutes);
            return std::uint64_t{static_cast<std::uint8_t>(kLfuMost - counter)} << 32 | idle;
        }
        case CacheSettings::Policy::ttl:
            return use.deadline_ms == 0 ? idle : kDeadlineScores - use.deadline_ms;
        case CacheSettings::Policy::random:
            break;
    }
    return random_draw(now_us);
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

bool better(const EvictionCandidate &a, const EvictionCandidate &b) { return a.score > b.score; }

// Offers a locked bucket's entry to `candidates` (best first, at most
// `room`): kept when it beats the worst kept, in place of what was kept of
// the same key.
void offer(const MapState &m, std::vector<EvictionCandidate> &candidates, std::size_t room, const MapEntry *entry,
           std::uint64_t score) {
    if (candidates.size() == room && score <= candidates.back().score) return;
    EvictionCandidate offered{key_of(m, entry), entry->hash, read_use(entry), score};
    const auto same = std::find_if(candidates.begin(), candidates.end(), [&](const EvictionCandidate &kept) {
        return kept.hash == offered.hash && kept.key == offered.key;
    });
    if (same != candidates.end()) candidates.erase(same);
    candidates.insert(std::upper_bound(candidates.begin(), candidates.end(), offered, better), std::move(offered));
    if (candidates.size() > room) candidates.pop_back();
}

// Whether the policy would take `worse` as readily as `best`, for an
// eviction whose best candidate went missing: only the ttl policy has
// classes that must not mix; for the others a nearly as good candidate is
// one.
bool same_class(const MapState &m, const EvictionCandidate &best, const EvictionCandidate &worse) {
    if (m.cache_settings.policy != CacheSettings::Policy::ttl) return true;
    return (best.use.deadline_ms == 0) == (worse.use.deadline_ms == 0);
}

// Whether the ttl policy would rather sample again than take `best`, an
// entry without a deadline: it takes one only when several samples in a row
// find none with a deadline.
bool worth_another_sample(const MapState &m, const EvictionCandidate &best) {
    return m.cache_settings.policy == CacheSettings::Policy::ttl && best.use.deadline_ms == 0;
}

// Samples buckets from a random one on, as many as it takes to meet the
// sample (as Redis's sampling walks its table), offering their entries to
// `candidates`: a cache far below its table's size, such as a small
// max_entries in the table a file starts with, has mostly empty buckets, and
// its few entries must still be found. At most the whole table, so a cache
// that holds nothing ends. True when it removed expired entries on the way,
// which made the room.
bool sample(MapState &m, std::vector<EvictionCandidate> &candidates, std::size_t room, std::uint64_t now_us) {
    const std::uint64_t buckets = m.bucket_chunk_size * m.chunks_in_use();
    std::uint64_t sampled = 0;
    std::uint64_t position = random_draw(now_us);
    for (std::uint64_t visited = 0; visited < buckets && sampled < kSampledEntries; ++visited, ++position) {
        const BucketGuard locked = lock_bucket(m, static_cast<std::int64_t>(position));
        Bucket *bucket = locked.bucket();
        if (m.settle(bucket, now_us) != 0) return true;
        const ChunkArray &entries = bucket->entries;
        sampled += entries.length;
        for (std::uint64_t i = 0; i < entries.length; ++i) {
            const MapEntry *entry = entry_place(m, entries, i);
            offer(m, candidates, room, entry, score_of(m, read_use(entry), now_us));
        }
    }
    return false;
}

// Rounds of sampling an eviction makes, at the most, before it takes a
// candidate of a worse class than the best the policy has (under ttl, an
// entry without a deadline): while the best it found has none, or every
// candidate of the best class went missing (used or removed by others since
// seen). Another round finds the better class unless the cache has hardly
// any of it left: with a tenth of the entries without a deadline, all of
// three rounds' samples lack one about once in 10^30 evictions.
constexpr int kSampleRounds = 3;

}  // namespace

bool MapState::evict_one(std::uint64_t now_us) {
    std::vector<EvictionCandidate> own;
    std::vector<EvictionCandidate> *candidates = &own;
    std::unique_lock<std::mutex> pool(eviction_pool.mutex, std::defer_lock);
    if (cache_settings.policy != CacheSettings::Policy::random && pool.try_lock()) {
        candidates = &eviction_pool.candidates;
        // Time has passed since they were scored (idle times grow, LFU
        // counters decay).
        for (EvictionCandidate &kept : *candidates) kept.score = score_of(*this, kept.use, now_us);
        std::stable_sort(candidates->begin(), candidates->end(), better);
    }
    const std::size_t room = candidates == &own ? 1 : kEvictionPoolSize;
    for (int round = 1;; ++round) {
        if (sample(*this, *candidates, room, now_us)) return true;
        if (candidates->empty()) return false;
        const bool last = round == kSampleRounds;
        if (!last && worth_another_sample(*this, candidates->front())) continue;
        // The best first; one another thread or process has used or removed
        // since it was seen is dropped, and the next of its class tried.
        const EvictionCandidate best = candidates->front();
        while (!candidates->empty() && (last || same_class(*this, best, candidates->front()))) {
            const EvictionCandidate tried = std::move(candidates->front());
            candidates->erase(candidates->begin());
            if (evict_entry(tried.key.data(), tried.key.size(), tried.hash, tried.use)) return true;
        }
        if (candidates->empty()) return false;
    }
}

}  // namespace zorvik
