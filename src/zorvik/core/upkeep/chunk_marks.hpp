// The chunks a walk of the whole file reached, for the check (a chunk reached
// twice is a fault), the structure repair (a chain that meets a reached chunk
// is cut) and the reclaim (a chunk nothing reached goes back to a free list).
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "zorvik/core/segment/layout.hpp"

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

}  // namespace zorvik
