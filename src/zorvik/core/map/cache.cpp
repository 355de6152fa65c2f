// The cache record and what a store or a read of a cache takes from it.
#include "zorvik/core/map/cache.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/map/entry_metadata.hpp"
#include "zorvik/core/map/lfu_counter.hpp"

namespace zorvik {
namespace {

// Bounds are kept beside 48-bit counters (entry_count, bytes_in_use).
constexpr std::uint64_t kMostBound = (std::uint64_t{1} << 47) - 1;

bool policy_known(std::uint8_t policy) { return policy >= 1 && policy <= kLastCachePolicy; }

static_assert(static_cast<std::uint8_t>(CacheSettings::Policy::lru) == static_cast<std::uint8_t>(CachePolicy::lru) &&
                  static_cast<std::uint8_t>(CacheSettings::Policy::lfu) ==
                      static_cast<std::uint8_t>(CachePolicy::lfu) &&
                  static_cast<std::uint8_t>(CacheSettings::Policy::random) ==
                      static_cast<std::uint8_t>(CachePolicy::random) &&
                  static_cast<std::uint8_t>(CacheSettings::Policy::ttl) ==
                      static_cast<std::uint8_t>(CachePolicy::ttl),
              "the record's policy byte is the settings' policy");

}  // namespace

void check_cache_settings(const CacheSettings &settings) {
    if (!policy_known(static_cast<std::uint8_t>(settings.policy))) {
        throw std::invalid_argument("unknown eviction policy");
    }
    if (settings.max_entries > kMostBound || settings.max_bytes > kMostBound) {
        throw std::invalid_argument("max_entries and max_bytes must be below 2**47");
    }
    if (settings.default_ttl_ms > kMostTtlMs) throw std::invalid_argument("default_ttl must be at most 100 years");
}

bool create_cache_record(MapState &m, const CacheSettings &settings) {
    char *extension = m.extension();
    if (extension == nullptr) return false;  // made with every new map; its absence is a failed creation
    char *chunk = allocate_chunks(m.base, 1, kCacheChunkSize);
    if (chunk == nullptr) return false;
    auto *record = reinterpret_cast<CacheRecord *>(chunk_data(chunk));
    std::memset(static_cast<void *>(record), 0, sizeof(CacheRecord));
    std::memcpy(record->magic, kCacheMagic, sizeof kCacheMagic);
    record->policy = static_cast<std::uint8_t>(settings.policy);
    record->max_entries = settings.max_entries;
    record->max_bytes = settings.max_bytes;
    record->default_ttl_ms = settings.default_ttl_ms;
    record->lfu_log_factor = kLfuLogFactor;
    record->lfu_decay_min = kLfuDecayMinutes;
    auto *fields = reinterpret_cast<MapExtension *>(extension);
    fields->cache = m.area.offset_of(record);
    fields->features |= kFeatureCache;
    m.take_cache(record, settings);
    return true;
}

bool read_cache_settings(const CacheRecord &record, CacheSettings &settings) {
    if (std::memcmp(record.magic, kCacheMagic, sizeof kCacheMagic) != 0 || !policy_known(record.policy) ||
        record.max_entries > kMostBound || record.max_bytes > kMostBound || record.default_ttl_ms > kMostTtlMs) {
        return false;
    }
    settings.policy = static_cast<CacheSettings::Policy>(record.policy);
    settings.max_entries = record.max_entries;
    settings.max_bytes = record.max_bytes;
    settings.default_ttl_ms = record.default_ttl_ms;
    return true;
}

// ---- what operations take from the settings ------------------------------------------

// The links a cache's chunk pool keeps at most: a full area's least cap,
// two refill groups and more. A cache's process gives back about what it
// takes (an eviction per store), so its pool drifts by an entry's links at a
// time and meets the allocator at this bound or at empty, rarely.
constexpr std::uint64_t kCachePoolLinks = ChunkPool::kLeastFullCap;

void MapState::take_cache(CacheRecord *record, const CacheSettings &settings) {
    cache = record;
    cache_settings = settings;
    lfu_log_factor = record->lfu_log_factor;
    lfu_decay_minutes = record->lfu_decay_min;
    entry_pool.keep_at_most(kCachePoolLinks);
    data_pool.keep_at_most(kCachePoolLinks);
}

const CacheSettings &MapState::require_cache(const char *operation) const {
    if (cache == nullptr) {
        throw std::invalid_argument(std::string(operation) +
                                    " needs a dictionary made as a cache (with max_entries, max_bytes, eviction "
                                    "or default_ttl)");
    }
    return cache_settings;
}

MapState::StoreStamp MapState::store_stamp(std::optional<std::uint64_t> ttl_ms) const {
    if (cache == nullptr) {
        if (ttl_ms) require_cache("a ttl");
        return StoreStamp{};
    }
    const std::uint64_t ttl = ttl_ms ? *ttl_ms : cache_settings.default_ttl_ms;
    if (ttl > kMostTtlMs) throw std::invalid_argument("a ttl must be at most 100 years");
    const std::uint64_t now_us = wall_clock_us();
    const std::uint64_t now = now_us / 1000;
    // A clock set beyond the year 6429 would leave no room for deadlines:
    // entries then get none rather than one that wraps.
    const std::uint64_t deadline = ttl == 0 || now + ttl >= kDeadlineLimit ? 0 : now + ttl;
    return StoreStamp{true, now_us, deadline};
}

namespace {

// An entry's share of the entry chunk it lies in, with the chunk's link:
// (24 + 184) / 2.
constexpr std::int64_t kEntryShare = static_cast<std::int64_t>(pair_span(kEntryChunkSize) / kEntriesPerChunk);
static_assert(kEntryShare == 104, "a link and an entry chunk of two entries");

}  // namespace

std::int64_t MapState::chunk_bytes(std::uint64_t data_chunks) const {
    // A chain that lies in the mapping has far fewer chunks than 2^47 / 256
    // (a pair spans at most 24 + 136 bytes); a count read from a damaged
    // entry is cut there, so the product cannot overflow.
    constexpr std::uint64_t kMostChunks = (std::uint64_t{1} << 47) / 256;
    return static_cast<std::int64_t>(pair_span(data_chunk_size) * std::min(data_chunks, kMostChunks));
}

std::int64_t MapState::entry_bytes(std::uint64_t data_chunks) const { return kEntryShare + chunk_bytes(data_chunks); }

std::uint64_t MapState::cache_bytes() const {
    if (cache == nullptr) return 0;
    // Acquire; pairs with the adds of add_cache_bytes. Read as 0 when a
    // count left off by dead processes went below it.
    const std::int64_t bytes = atomics::load_field48(&cache->bytes_in_use);
    return bytes < 0 ? 0 : static_cast<std::uint64_t>(bytes);
}

void MapState::add_cache_bytes(std::int64_t delta) {
    // Seq_cst; pairs with cache_bytes' load. Nothing else is ordered
    // by it: the count only steers eviction.
    if (cache != nullptr) atomics::fetch_add_field48(&cache->bytes_in_use, delta);
}


}  // namespace zorvik
