// A cache's record in the file (map_layout.hpp): made with a new map that is
// a cache, found and checked at every attach. The entries' metadata is in
// entry_metadata.hpp; expiry works inside the entry operations.
#pragma once

#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"

namespace zorvik {

// Throws std::invalid_argument for settings no cache can be made with.
void check_cache_settings(const CacheSettings &settings);

// Makes the cache record of a new map (not handed out yet, so plain writes)
// and names it in the extension. Returns false when the segment has no room.
bool create_cache_record(MapState &m, const CacheSettings &settings);

// The settings of a record an attach found, after the checks of its fields;
// false for a record no version writes (a damaged file).
bool read_cache_settings(const CacheRecord &record, CacheSettings &settings);

}  // namespace zorvik
