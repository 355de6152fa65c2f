// The offline repair of a damaged structure: what a check reports as a fault
// (a broken link, a chunk that two chains share, an entry in a bucket its hash
// does not lead to, a key stored twice) made sound again, keeping every entry
// that can still be read whole.
//
//   - a bucket's list of entries broken at a link: cut before the break; the
//     entries the list still reaches stay (a list broken at its first link
//     gets a fresh, empty entry chunk, as every bucket owns one);
//   - an entry whose key or value cannot be read whole (a broken chain, a
//     count that disagrees with its length, a chunk some entry before it
//     already uses): dropped from its bucket. Which of two entries that share
//     a chunk has the right bytes cannot be told; the one walked first stays;
//   - an entry in a bucket its hash does not lead to: taken out and inserted
//     again where it belongs, unless that key is there already;
//   - a key stored twice in a bucket: the later entry dropped;
//   - a free list that leads to a chunk in use or to something that is not a
//     free chunk of its size: cut before it.
// The chunks of what was dropped or cut are then reached by nothing, and the
// repair's reclaim gives them back to the free lists. Only for a file that
// no other process uses: it writes without locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zorvik/core/map/operator_access.hpp"
#include "zorvik/core/upkeep/chunk_marks.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik {

class StructureRepair {
public:
    StructureRepair(MapState &m, std::vector<std::string> &notes) : m_(m), notes_(notes) {}

    // Walks every bucket (of a published new half too) and the free lists,
    // cutting and dropping as above. Misplaced entries are kept aside for
    // reinsert_misplaced. Throws "offset overflow!" when the chunk table does
    // not lead to the bucket chunks in use (nothing this can mend).
    void run();
    // Inserts the misplaced entries again, each whose key is not there yet:
    // once the table is settled (no expansion in progress).
    void reinsert_misplaced();

private:
    // Checks the chain of `count` links from `head`, `piece_size` bytes each:
    // every link a link chunk, every payload a chunk of `piece_size`, none
    // reached before. Returns how many links from the head are sound (all of
    // them, or the ones before the first fault, described in `why`);
    // records the sound ones in `staged`.
    std::uint64_t sound_links(Offset head, std::uint64_t count, std::uint64_t piece_size,
                              std::vector<Offset> &staged, std::string &why);
    bool readable(const ChunkArray &array, std::vector<Offset> &staged, std::string &why);
    void mend_list(std::uint64_t index, Bucket *bucket);
    void mend_entries(std::uint64_t index, Bucket *bucket, std::uint64_t table, std::uint64_t split_bit);
    void mend_free_list(FreeList &list, std::uint8_t size, const char *name);
    bool reached(Offset data) const { return reached_.contains(data); }
    void commit(const std::vector<Offset> &staged);
    void note(const std::string &line) { notes_.push_back(line); }

    MapState &m_;
    std::vector<std::string> &notes_;
    ChunkMarks reached_;
    std::vector<StoredEntry> misplaced_;
};

}  // namespace zorvik
