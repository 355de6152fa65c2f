// Making the process-local state of a map: for a new map in a new segment
// file, or for the map in an existing file. Used by the public class's
// constructors; the operator's room (core/upkeep) composes its own attaches
// (a read that writes nothing, a repair's exclusive one) from the steps
// below, through operator_access.hpp.
#pragma once

#include <memory>
#include <string>

#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/map/map_layout.hpp"
#include "zorvik/core/segment/layout.hpp"
#include "zorvik/core/segment/segment.hpp"

namespace zorvik {

// The shortest file that can hold a map: the segment's header and base
// record, and the header chunk.
inline constexpr std::uint64_t kLeastMapFile = kFileOverhead + chunk_span(kHeaderChunkSize);

// Throws std::invalid_argument for arguments no map can be made of.
void check_arguments(const MapArguments &arguments);

// A new map in a new segment file, whose path goes to `path_out`. Throws
// std::bad_alloc ("bad allocation") when the segment cannot be made and
// std::runtime_error when it is too small; no file is left then.
// The file goes to `directory` when given, else to the temporary directory.
std::unique_ptr<MapState> create_map(const MapArguments &arguments, std::string &path_out,
                                     const char *directory = nullptr);

// The map at `path`, opened or created as `mode` says (see OpenMode), with a
// creation shaped by `arguments`; `created` tells whether it was created. A
// file is made beside `path` and linked into place complete. Throws
// FileError for a path that cannot be opened or created (errno ENOENT,
// EEXIST, EACCES, EISDIR, EBUSY while a repair holds it, ...),
// std::invalid_argument naming the path for a file that holds no map, and
// what creation throws (SpaceExhausted when `arguments.size` is too small for
// the new map); no file is left at `path` by a failed creation.
std::unique_ptr<MapState> open_map(const std::string &path, OpenMode mode, const MapArguments &arguments,
                                   bool &created);

// ---- the attach by name, in steps ------------------------------------------------
//
// attach_map = open_map_segment, read_map, begin_writing. An attach trusts
// nothing in the file until read_map has checked it, and writes nothing
// before begin_writing.

// The map in the file at `path`, to work on: the open lock shared, the file
// checked, then the allocated area's holes backed and the attach recorded.
// Throws what the three steps throw.
std::unique_ptr<MapState> attach_map(const std::string &path);

// Opens the segment at `path` with the open lock shared. Throws
// std::runtime_error "file status wrong with errno: N" when the path leads
// nowhere, std::invalid_argument (naming the path and the fault) for a file
// that cannot hold a map, FileBeingRepaired while a repair holds the file,
// std::bad_alloc when it cannot be opened or mapped.
Segment open_map_segment(const std::string &path);

// Throws what open_map_segment throws for `fault` (errno `error`), for a
// caller that opened the segment at `path` itself; `locked` is said as the
// shared open lock's refusal (FileBeingRepaired).
[[noreturn]] void refuse_map_segment(const std::string &path, Segment::Fault fault, int error);

// What read_map does with a header whose `extension` names no record (a
// damaged file): refuse the file, as every other fault of the header; or,
// for the operator's check and repair, set the record aside (the state then
// has no extension and says so) so that they can report and mend it.
enum class DamagedExtension : std::uint8_t { refuse, set_aside };

// What read_map does with a file that carries the repair mark
// (map_layout.hpp): refuse it (FileBeingRepaired), as every attach does; or,
// for the operator's reads and repair, take it as it is (the state says
// `repair_marked`; its shape takes the chunk size from the allocator's
// record).
enum class MarkedFile : std::uint8_t { refuse, accept };

// The map in `segment`, opened at `path`, after the checks of every attach:
// std::invalid_argument naming the path and the fault for a file that holds
// no map, left exactly as it was. Writes nothing.
std::unique_ptr<MapState> read_map(Segment segment, const std::string &path,
                                   DamagedExtension damaged = DamagedExtension::refuse,
                                   MarkedFile marked = MarkedFile::refuse);

// Sets the repair mark in the header of the map `m`, by a compare-and-swap
// from the chunk size the allocator's record keeps (of two repairs, one
// sets it). True when this call set it; false when the file carried it
// already.
bool take_repair_mark(MapState &m);

// Takes the repair mark off again: the header's chunk size is the
// allocator's once more, and every attach accepts the file. Does nothing to
// a file that carries no mark.
void clear_repair_mark(MapState &m);

// Makes a map that read_map returned ready for this process's stores: backs
// the holes a file may have in its allocated area (the first bytes an attach
// writes to the file system), then records the attach in the segment's
// header. Throws SpaceExhausted when the file system has no room for them.
void begin_writing(MapState &m);

}  // namespace zorvik
