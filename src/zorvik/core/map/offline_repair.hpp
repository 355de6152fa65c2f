// Repairing a map's file offline, when no process uses it: what no online
// operation does, because it cannot tell a dead holder from a live one or
// cannot know where the dead left off.
//
//   - lock words that name no process (a damaged file, or a process of a
//     version that does not record its id): freed, with every other held word;
//   - changes left in progress in buckets no operation has touched since:
//     repaired as the next holder would (repair_bucket);
//   - an expansion left unfinished: a claim that never published is undone,
//     a published one is finished (every bucket split, the table doubled, the
//     marks cleared), and the count of participants cleared;
//   - the count of entries: recounted (after a death between a list's commit
//     and the count, online repairs can only take the count as changed);
//   - chunks the dead had taken and not yet handed on (their pools' caches, a
//     change's chunks): given back to the free lists, when a walk of the whole
//     chunk area can tell every chunk apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zorvik/core/map/map_check.hpp"

namespace zorvik {

struct RepairReport {
    MapCheck before;
    MapCheck after;
    std::vector<std::string> done;  // what the repair changed, one line each
    std::uint64_t reclaimed_chunks = 0;
};

// Repairs the map file at `path`. Refuses (std::runtime_error, naming the
// process) a file that another process maps; throws what an attach throws for
// a file that holds no map.
// `progress` follows each of its walks of the whole file.
RepairReport repair_map_file(const std::string &path, const Progress &progress = nullptr);

// Checks the map file at `path` (check_map, `live` as there), read only.
MapCheck check_map_file(const std::string &path, const Progress &progress = nullptr, bool live = false);

}  // namespace zorvik
