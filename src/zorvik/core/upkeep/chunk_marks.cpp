#include "zorvik/core/upkeep/chunk_marks.hpp"

#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/alloc/memory_manager.hpp"

namespace zorvik {

bool ChunkMarks::place_of(Offset data, std::uint64_t &place) const {
    const Offset from = kFirstChunk + kDataPastGrid;
    if (data < from || (data - from) % kChunkGrid != 0) return false;
    place = (data - from) / kChunkGrid;
    return place < places_;
}

Offset ChunkMarks::data_at(std::uint64_t place) { return kFirstChunk + kDataPastGrid + place * kChunkGrid; }

void ChunkMarks::reset(Offset allocated) {
    places_ = allocated > kFirstChunk ? (allocated - kFirstChunk) / kChunkGrid : 0;
    bits_.assign(places_ / 64 + 1, 0);
    strays_.clear();
    count_ = 0;
}

bool ChunkMarks::insert(Offset data) {
    std::uint64_t place = 0;
    bool fresh = false;
    if (place_of(data, place)) {
        const std::uint64_t bit = std::uint64_t{1} << (place % 64);
        fresh = (bits_[place / 64] & bit) == 0;
        bits_[place / 64] |= bit;
    } else {
        fresh = strays_.insert(data).second;
    }
    count_ += fresh;
    return fresh;
}

bool ChunkMarks::contains(Offset data) const {
    std::uint64_t place = 0;
    if (place_of(data, place)) return (bits_[place / 64] >> (place % 64) & 1) != 0;
    return strays_.count(data) != 0;
}

}  // namespace zorvik
