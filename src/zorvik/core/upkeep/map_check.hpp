// A map's file checked from end to end (the report is upkeep.hpp's
// MapCheck): for a file that no process is changing (offline, before and
// after a repair, and in tests once the processes that used a file have
// ended), or, `live`, for one that others change meanwhile. Reads without
// taking any lock.
#pragma once

#include "zorvik/core/map/operator_access.hpp"
#include "zorvik/core/upkeep/chunk_marks.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik {

// `reached`, when given, receives the data Offset of every chunk reached.
//
// `live`: for a file that other processes change meanwhile. Without locks, a
// walk of the whole file meets chunks that move from one list to another
// while it goes (freed by a remove, taken by an insert in a bucket it reaches
// later), so only what a bucket holds is judged, each bucket on its own: its
// lists, counts, hashes and keys, and chunks reached twice within it. Chunks
// used by two buckets and the free lists are judged only when no process
// holds the file open. A change met half way can still look like a fault:
// the caller checks again before it believes one.
MapCheck check_map(MapState &m, ChunkMarks *reached = nullptr, const Progress &progress = nullptr,
                   bool live = false);

}  // namespace zorvik
