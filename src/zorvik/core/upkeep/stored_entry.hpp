// An entry as stored (upkeep.hpp's StoredEntry), copied out of a map and put
// into another: what a dump, a load, a compact and a repair's move of a
// misplaced entry share, a cache's deadline included.
#pragma once

#include <cstdint>

#include "zorvik/core/map/operator_access.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik {

// The bytes and hash of a locked bucket's `entry`, and in a cache its
// deadline. False, with nothing copied, for a cache's entry whose deadline
// is behind `now_ms`: it is absent to every read, and whatever copies it
// leaves it out.
bool copy_stored(const MapState &m, const MapEntry &entry, std::uint64_t now_ms, StoredEntry &out);

// Stores `entry` in `m` (replacing an entry with the same key): in a cache
// with the deadline it had (to the millisecond: the TTL left is counted from
// a clock read just before the store) or none when it had none; in a plain
// map as a plain entry. An entry whose deadline has passed is not stored:
// false.
bool insert_stored(MapState &m, const StoredEntry &entry);

}  // namespace zorvik
