// Making the process-local state of a map: for a new map in a new segment
// file, or for the map in an existing file. Used by the public class's
// constructor (and the tests).
#pragma once

#include <memory>
#include <string>

#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"

namespace zorvik {

// Throws std::invalid_argument for arguments no map can be made of.
void check_arguments(const MapArguments &arguments);

// A new map in a new segment file, whose path goes to `path_out`. Throws
// std::bad_alloc ("bad allocation") when the segment cannot be made and
// std::runtime_error when it is too small; no file is left then.
// The file goes to `directory` when given, else to the temporary directory.
std::unique_ptr<MapState> create_map(const MapArguments &arguments, std::string &path_out,
                                     const char *directory = nullptr);

// How a file is attached:
//   use      to work on it: the open lock shared; the attach record written
//            and the allocated area's blocks reserved;
//   inspect  to read it (a check, a dump): the open lock shared, no byte written;
//   repair   to repair it alone: the open lock exclusive, refused with
//            std::runtime_error naming the processes that hold the file open.
enum class Attach { use, inspect, repair };

// The map at `path`, opened or created as `mode` says (see OpenMode), with a
// creation shaped by `arguments`; `created` tells whether it was created. A
// file is made beside `path` and linked into place complete. Throws
// FileError for a path that cannot be opened or created (errno ENOENT,
// EEXIST, EACCES, EISDIR, ...), std::invalid_argument naming the path for a
// file that holds no map, and what creation throws (SpaceExhausted when
// `arguments.size` is too small for the new map); no file is left at `path`
// by a failed creation.
std::unique_ptr<MapState> open_map(const std::string &path, OpenMode mode, const MapArguments &arguments,
                                   bool &created);

// The map in the file at `path`: std::runtime_error "file status wrong with
// errno: N" when the path leads nowhere, std::invalid_argument (naming the
// path and the fault) when the file holds no map, std::bad_alloc when it
// cannot be opened or mapped, std::runtime_error when the open lock cannot be
// had (see Attach). The file is not written unless it holds a map and `how`
// is not inspect.
std::unique_ptr<MapState> attach_map(const std::string &path, Attach how = Attach::use);

}  // namespace zorvik
