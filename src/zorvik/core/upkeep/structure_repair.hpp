// The offline repair of a damaged structure: what a check reports as a fault
// (a broken link, a chunk that two chains share, an entry in a bucket its hash
// does not lead to, a key stored twice) made sound again, keeping every entry
// that a reader could read whole before, and cutting only what is broken.
//
//   - a chunk whose header alone is damaged (its span is its kind's, its size
//     byte is not): the size byte is written again, and the chain that
//     reaches it keeps it (a reader never looks at a payload's size byte);
//   - a bucket's list of entries: the links its length needs are walked
//     first, for every bucket, and only then the spare links a list may own
//     beyond them, so that a list whose count runs past its own chunks (into
//     the next buckets' ones, which the allocator cut beside them) gives them
//     up instead of taking them from their buckets. A chunk two lists reach
//     is kept by the list whose entries it holds (their hashes lead to that
//     bucket); the other list is cut before it. A list broken at a link is
//     cut before the break; the entries the list still reaches stay (a list
//     broken at its first link gets a fresh, empty entry chunk, as every
//     bucket owns one);
//   - an entry whose key or value a reader cannot read whole (a link that is
//     not one, a count that disagrees with its length): dropped from its
//     bucket. A key or value that reaches chunks another one uses, or whose
//     link leads to bytes of the area that are no chunk of its size (a
//     damaged payload Offset, which readers follow all the same), is read as
//     a reader reads it and copied into chunks of its own: which bytes are
//     right cannot be told, so every entry is kept as readers read it. A place past the list's real end (both its arrays zero, as no
//     entry is ever written) is dropped;
//   - an entry in a bucket its hash does not lead to: taken out and inserted
//     again where it belongs, unless that key is there already;
//   - a key stored twice in a bucket: the later entry dropped;
//   - a free list that leads to a chunk in use or to something that is not a
//     free chunk of its size: cut before it.
// The chunks of what was dropped, cut or copied are then reached by nothing,
// and the repair's reclaim gives them back. Only for a file that no other
// process uses: it writes without locks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "zorvik/core/map/operator_access.hpp"
#include "zorvik/core/upkeep/chunk_marks.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik {

class StructureRepair {
public:
    StructureRepair(MapState &m, std::vector<std::string> &notes) : m_(m), notes_(notes) {}

    // Walks every bucket (of a published new half too) and the free lists,
    // mending, cutting and dropping as above. Misplaced entries are kept
    // aside for reinsert_misplaced. Throws "offset overflow!" when the chunk
    // table does not lead to the bucket chunks in use (nothing this can
    // mend), and what a pool's take throws when the segment has no room for
    // a fresh entry chunk or a copy.
    void run();
    // Inserts the misplaced entries again, each whose key is not there yet:
    // once the table is settled (no expansion in progress).
    void reinsert_misplaced();

private:
    // One link of a chain as a walk met it: its data Offset, its payload's,
    // whether either has a header whose size byte alone is damaged, and
    // whether the payload is no chunk at all (bytes a reader still reads).
    struct Step {
        Offset link;
        Offset payload;
        bool mend_link;
        bool mend_payload;
        bool stray;
    };
    // A claim on a chunk that several lists reach: list `bucket`, its link
    // `index`.
    struct Claim {
        std::uint64_t bucket;
        std::uint64_t index;
    };
    // What a bucket's list came to.
    struct ListState {
        std::uint64_t sound = 0;   // links kept, from the head
        std::uint64_t needed = 0;  // links its length needs (at least 1)
        std::uint64_t spare = 0;   // links its count names beyond those, when all of those are kept
        std::string why;           // why fewer than `needed` are kept
    };
    // A key's or value's chain to copy into chunks of its own (it shares
    // chunks with another, or reads bytes that are no chunk), once the free
    // lists are sound: its bytes as a reader read them.
    struct Copy {
        MapEntry *entry;
        bool value;
        std::string what;
        std::string bytes;
    };

    // How a walk finds the chunk whose data lies at `data`, as one of `size`.
    enum class Found : std::uint8_t { chunk, damaged_header, not_one };
    Found look(Offset data, std::uint8_t size) const;
    // Walks at most `count` links from `head`, pieces of `piece` bytes,
    // calling on_step(step) for each sound one while it returns true (it
    // sets `why` when it refuses); returns the links walked whole. A link
    // that is not one, a payload that is not a chunk of `piece` (unless
    // `strays`: a byte chain's payload anywhere in the area, as a reader
    // takes it), a chain that meets itself stop it, said in `why`.
    template <class OnStep>
    std::uint64_t walk(Offset head, std::uint64_t count, std::uint8_t piece, bool strays, std::string &why,
                       OnStep &&on_step);

    void walk_lists(std::uint64_t buckets);
    void settle_shared_chunks(std::uint64_t buckets);
    Claim owner_of(Offset chunk, const std::vector<Claim> &claims);
    std::uint64_t entries_placed(Offset link, const Claim &claim);
    void commit_list(std::uint64_t index, Bucket *bucket);
    void walk_spare_links(std::uint64_t index, Bucket *bucket);
    bool belongs(std::int64_t hash, std::uint64_t index) const;
    // Whether a reader reads `array` whole; its steps are added to `steps`,
    // its chunks to `met` (an entry's chunks so far), and `copy` set when it
    // needs chunks of its own.
    bool readable(ChunkArray &array, const std::string &what, std::vector<Step> &steps,
                  std::unordered_set<Offset> &met, bool &copy, std::string &why);
    void mend_entries(std::uint64_t index, Bucket *bucket);
    void mend_free_list(FreeList &list, std::uint8_t size, const char *name);
    void give_fresh_chunks();
    void mend_header(Offset data, std::uint8_t size);
    bool reached(Offset data) const { return reached_.contains(data); }
    void note(const std::string &line) { notes_.push_back(line); }

    MapState &m_;
    std::vector<std::string> &notes_;
    std::uint64_t table_ = 0;      // buckets of the table in force
    std::uint64_t split_bit_ = 0;  // the table's size while a published expansion runs, else 0
    ChunkMarks reached_;
    ChunkMarks claimed_;                              // chunks some list's walk met
    std::map<Offset, std::vector<Claim>> contested_;  // chunks several lists' walks met, and by whom
    std::vector<ListState> lists_;
    std::vector<std::uint64_t> fresh_lists_;  // buckets whose list kept no link
    std::vector<Copy> copies_;
    std::uint64_t mended_headers_ = 0;
    std::vector<StoredEntry> misplaced_;
};

}  // namespace zorvik
