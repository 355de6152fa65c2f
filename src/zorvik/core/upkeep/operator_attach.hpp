// The operator's two attaches of a map's file, composed from the map's
// attach steps (map/map_creation.hpp), and the users that refuse a repair.
//
//   open_for_inspection  to read (a check, a survey, a dump): the open lock
//                        shared, the file checked, no byte written; refused,
//                        as any attach by name, while a repair holds the file;
//   open_for_repair      to repair it alone: the open lock exclusive, which
//                        every process that holds the file open refuses it,
//                        and no other process mapping the file (one that takes
//                        no open lock is told by its views); then the attach
//                        is recorded as for any writer.
// Both accept a file that carries the repair mark (map_layout.hpp): reading
// one is safe, and a repair that holds a file alone finishes what the repair
// that marked it began.
// Both set a damaged extension record aside (map_creation.hpp), for the check
// to report and the repair to mend, where an attach by name refuses the file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "zorvik/core/map/operator_access.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik {

// Throws what an attach by name throws (map_creation.hpp), but FileError
// (the errno, naming the path) for a path that leads to no file.
std::unique_ptr<MapState> open_for_inspection(const std::string &path);

// Throws FileInUse, naming the processes, while any holds the file open or
// maps it (this one included), and otherwise what open_for_inspection throws.
std::unique_ptr<MapState> open_for_repair(const std::string &path);

// The refusal of a repair by the processes `pids` that hold the file at
// `path`, naming them, and apart those of them that only read it.
FileInUse in_use(const std::string &path, std::vector<int> pids, const std::vector<int> &readers = {});

// Holders of a file, told apart (platform/file_users.hpp): those that may
// write it, and those that can only read it. This process counts as a
// writer (it holds the file through a dictionary); so does every holder of
// a file with an access ACL, and, when no holder could be seen, one unseen.
struct HolderRights {
    std::vector<int> writers;
    std::vector<int> readers;
};
HolderRights tell_holders_apart(const std::string &path, const std::vector<int> &pids);

}  // namespace zorvik
