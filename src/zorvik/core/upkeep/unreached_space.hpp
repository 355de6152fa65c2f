// The space of the chunk area that no structure reaches, for a file no
// process uses: what the map's structures name (its blocks: the chunk table,
// the shared words, the bucket chunks, the block a doubling builds in steps)
// and reach (the chunks a check reached, free lists included) cover parts of
// the allocated area; the gaps between them hold what the dead left behind
// (their pools' chunks, fresh space they claimed and never wrote, a
// doubling's block they cut and nothing names) and what a repair dropped.
// Nothing can reach a byte of a gap, so a repair gives every gap back whole,
// whatever its bytes hold, without reading them as chunks: blocks no
// structure names, and headers a damage made unreadable, cannot stop it.
//
// Records of a later version are the exception: a later version names its
// records from the bytes that this version keeps zero (MapHeader zero0,
// zero1, zero2; the extension record's features, cache and reserved bytes),
// and they lie in what this version sees as gaps. While any of those bytes
// is set, a gap is only read as chunks, and only the chunks of the list
// sizes in it are given back; what else it holds stays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zorvik/core/map/operator_access.hpp"
#include "zorvik/core/upkeep/chunk_marks.hpp"

namespace zorvik {

struct UnreachedSpace {
    // Bytes [from, to) of the chunk area that nothing reaches.
    struct Gap {
        Offset from;
        Offset to;
    };
    bool known = false;  // the named blocks and reached chunks lie apart, inside the allocated area
    std::string why;     // when not known: what does not add up
    bool later_records = false;  // the map header names records of a later version
    std::vector<Gap> gaps;
    std::uint64_t bytes = 0;        // in the gaps
    std::uint64_t reclaimable = 0;  // what a repair gives back of them at least, to the lists or the unallocated area
    // Places in the gaps that read as no chunk (a block no structure names,
    // a header a damage made unreadable), and the bytes from each to the end
    // of its gap.
    std::uint64_t unnamed_blocks = 0;
    std::uint64_t unnamed_bytes = 0;
};

// From the chunks a check of the whole file reached (check_map's `reached`,
// free lists included). Reads, writes nothing.
UnreachedSpace find_unreached_space(MapState &m, const ChunkMarks &reached);

// The header Offsets of the chunks of a list size that a walk by span reads
// in `gap`, up to the first place it cannot read as a chunk or a zero word.
std::vector<Offset> listed_chunks_in(MapState &m, const UnreachedSpace::Gap &gap);

}  // namespace zorvik
