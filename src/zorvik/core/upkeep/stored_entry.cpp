#include "zorvik/core/upkeep/stored_entry.hpp"

#include <optional>

namespace zorvik {
namespace {

// The deadline `entry` has at `now_ms` (0: none), through `deadline`; false
// when it has passed. An entry a version without caches stored has no
// metadata yet: it gets what the cache's next look at it would give it, the
// default TTL from now.
bool live_deadline(const MapState &m, const MapEntry &entry, std::uint64_t now_ms, std::uint64_t &deadline) {
    const EntryMetadata metadata = read_metadata(&entry);
    if (!metadata.present) {
        const std::uint64_t ttl = m.cache_settings.default_ttl_ms;
        deadline = ttl == 0 ? 0 : now_ms + ttl;
        return true;
    }
    deadline = metadata.deadline_ms;
    return !is_expired(&entry, now_ms);
}

}  // namespace

bool copy_stored(const MapState &m, const MapEntry &entry, std::uint64_t now_ms, StoredEntry &out) {
    std::uint64_t deadline = 0;
    if (m.cache != nullptr && !live_deadline(m, entry, now_ms, deadline)) return false;
    out.hash = entry.hash;
    out.deadline_ms = deadline;
    out.key.resize(entry.key.length);
    byte_chain(m.area, entry.key).copy_to(out.key.data(), entry.key.length);
    out.value.resize(entry.value.length);
    byte_chain(m.area, entry.value).copy_to(out.value.data(), entry.value.length);
    return true;
}

bool insert_stored(MapState &m, const StoredEntry &entry) {
    std::optional<std::uint64_t> ttl_ms;
    if (entry.deadline_ms != 0) {
        const std::uint64_t now_ms = wall_clock_us() / 1000;
        if (entry.deadline_ms <= now_ms) return false;
        if (m.cache != nullptr) ttl_ms = entry.deadline_ms - now_ms;
    } else if (m.cache != nullptr) {
        ttl_ms = 0;  // none, not the cache's default
    }
    m.insert(entry.key.data(), entry.value.data(), entry.key.size(), entry.value.size(), entry.hash, ttl_ms);
    return true;
}

}  // namespace zorvik
