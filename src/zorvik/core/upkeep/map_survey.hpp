// What an operator asks of an attached map besides its check: its entries as
// stored (for a dump or a copy), the locks held in it and by whom, and how its
// space is used. Each works on a file other processes use at the same time,
// unless said otherwise. The reports are upkeep.hpp's.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "zorvik/core/map/operator_access.hpp"
#include "zorvik/core/upkeep/chunk_marks.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik {

// Calls `visit` with every entry of the map, as stored, bucket by bucket:
// each bucket's entries (with its partner's while an expansion splits it) are
// copied under its lock and visited once the lock is let go, so that a visit
// may take as long as it likes. Every entry present throughout the walk is
// visited; one that an expansion moves meanwhile may be visited twice (in its
// old bucket and in its new one), never with other bytes. Returns the number
// of visits. Throws what taking a bucket's lock throws, and "offset overflow!"
// for a structure that cannot be read (a check says where).
std::uint64_t for_each_entry(MapState &m, const std::function<void(const StoredEntry &)> &visit,
                             const Progress &progress = nullptr);

// The lock words that are held now, with their holders judged as a waiter
// would judge them (processes.hpp). Reads without taking any lock.
std::vector<HeldLock> held_locks(MapState &m, const Progress &progress = nullptr);

// How the space is used, from what a check reached (check_map's `reached`).
// Counts are exact for a file no process changes; while processes work they
// are a snapshot that may be a little off.
SpaceUse measure_space(MapState &m, const ChunkMarks &reached);

}  // namespace zorvik
