// The map's interface for its operator room (core/upkeep), and the only map
// header besides concurrent_hash_map.hpp that code outside the map includes.
//
// The operator's commands judge and mend the file's structure itself: a check
// walks every record, a repair rewrites lock words, intents and the
// expansion's words, a dump copies entries as stored. So they see what the
// map's own operations see:
//   - the records of the file (map_layout.hpp) and the intent word
//     (bucket_state.hpp);
//   - the process-local state of an attached map (MapState, map_internal.hpp),
//     with the expansion's steps a repair finishes;
//   - the bucket lock, the repair of a change left half done and the partner
//     of a bucket being split (bucket_lock.hpp);
//   - creation and the attach by name in its steps (map_creation.hpp), from
//     which the operator composes its own attaches: one that writes nothing,
//     and a repair's, which holds the file alone;
//   - a cache's record and the checks of its rules (cache.hpp), which a
//     dump carries and a load into a new file makes again.
// The live path (the public class and its operations) never includes this
// header, nor anything of core/upkeep.
#pragma once

#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/map/cache.hpp"
#include "zorvik/core/map/map_creation.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/map/map_layout.hpp"
