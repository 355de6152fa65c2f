// What an operator asks of a map's file besides its check: its entries as
// stored (for a dump), the locks held in it and by whom, and how its space is
// used. Each works on a file other processes use at the same time, unless
// said otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zorvik/core/map/map_check.hpp"
#include "zorvik/core/map/structure_repair.hpp"

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

struct HeldLock {
    std::string name;  // "bucket 12", "allocator lock", "expansion lock", "expansion claim"
    int pid = 0;       // 0: the word names no process
    enum class Holder { alive, ended, unnamed } holder = Holder::unnamed;
};

// The lock words that are held now, with their holders judged as a waiter
// would judge them (processes.hpp). Reads without taking any lock.
std::vector<HeldLock> held_locks(MapState &m, const Progress &progress = nullptr);

// Bytes of the chunk area, by what holds them.
struct SpaceUse {
    std::uint64_t capacity = 0;     // the chunk area: the allocator's capacity less its record
    std::uint64_t allocated = 0;    // cut from the chunk area so far
    std::uint64_t in_use = 0;       // the map's blocks and the chunks its structures reach
    std::uint64_t free_listed = 0;  // chunks on the free lists
    std::uint64_t free_chunks[3] = {0, 0, 0};  // on the entry, link and data chunk lists
    std::uint64_t unreachable = 0;  // the rest: cached by live processes, or lost by dead ones
};

// How the space is used, from what a check reached (check_map's `reached`).
// Counts are exact for a file no process changes; while processes work they
// are a snapshot that may be a little off.
SpaceUse measure_space(MapState &m, const ChunkMarks &reached);

}  // namespace zorvik
