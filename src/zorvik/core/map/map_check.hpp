// A map's file, checked from end to end: for a file that no process is
// changing (offline, before and after a repair, and in tests once the
// processes that used a file have ended). Reads without taking any lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "zorvik/core/map/map_internal.hpp"

namespace zorvik {

// The chunks a walk reached, by the Offset of their data: one bit per place
// on the chunk grid below the allocator's offset (1/64 of the allocated
// bytes: 94 MB for a file of 6 GB, where a hash set takes some 40 bytes a
// chunk), and a set for an Offset off the grid or past the offset, which only
// a damaged file holds.
class ChunkMarks {
public:
    // Empty, for chunks below the Offset `allocated`.
    void reset(Offset allocated);
    // False when `data` was marked before.
    bool insert(Offset data);
    bool contains(Offset data) const;
    std::uint64_t size() const { return count_; }
    // Calls visit(data) for every marked Offset on the grid, in increasing order.
    template <class Visit>
    void for_each(Visit &&visit) const {
        for (std::uint64_t word = 0; word < bits_.size(); ++word) {
            for (std::uint64_t bits = bits_[word]; bits != 0; bits &= bits - 1) {
                visit(data_at(word * 64 + static_cast<std::uint64_t>(__builtin_ctzll(bits))));
            }
        }
        for (const Offset data : strays_) visit(data);
    }

private:
    // The grid place of `data`, or false when it has none below the offset.
    bool place_of(Offset data, std::uint64_t &place) const;
    static Offset data_at(std::uint64_t place);

    std::vector<std::uint64_t> bits_;
    std::unordered_set<Offset> strays_;
    std::uint64_t places_ = 0;
    std::uint64_t count_ = 0;
};

// Told how far a walk of the whole file has come: `done` of `total` buckets.
// Called from the walking thread, now and then (never for each bucket).
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct MapCheck {
    // What is wrong with the structure: a link or chunk outside the area or of
    // the wrong kind, a count that disagrees with a length, a chunk reached
    // twice, an entry in a bucket its hash does not lead to, a key stored
    // twice. (Not the count of entries, which is reported beside.)
    std::vector<std::string> faults;
    std::uint64_t entries = 0;      // the buckets' lengths summed (partners of an expansion in progress too)
    std::uint64_t entry_count = 0;  // the shared word
    // Held lock words, as "bucket 12 (process 345)", "allocator lock (process 1)".
    std::vector<std::string> held_locks;
    std::uint64_t pending_intents = 0;   // buckets whose intent word names a change in progress
    std::uint64_t marked_buckets = 0;    // buckets with `forward` or the split-done bit set
    std::uint64_t expansion_workers = 0;
    bool expansion_in_progress = false;  // chunk_table[chunks_in_use] is not 0
    std::uint64_t chunks_reached = 0;    // from the header, the table, the buckets and the free lists

    // Sound, repaired and at rest: no fault, no lock held, no change or
    // expansion in progress, and the count of entries right.
    bool clean() const {
        return faults.empty() && held_locks.empty() && pending_intents == 0 && marked_buckets == 0 &&
               expansion_workers == 0 && !expansion_in_progress && entries == entry_count;
    }
    std::string describe() const;
};

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
