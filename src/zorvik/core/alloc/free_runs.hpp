// Free chunks of one kind made into another (free_runs.cpp): what lets the
// room that removed entries free serve whatever the next store needs, when
// the chunk area has no fresh space left. Internal to core/alloc; every
// function here is called with the allocator's lock held.
#pragma once

#include <cstdint>

#include "zorvik/core/alloc/memory_manager.hpp"

namespace zorvik::free_runs {

// What a conversion cuts: `units` of a chunk of `first` bytes, followed (when
// `second` is not 0) by a chunk of `second` bytes beside it.
struct Shape {
    std::uint8_t first;
    std::uint8_t second;
};

// Makes room for `units` of `shape`: first gives the free chunks that end at
// the allocator's offset back to the unallocated area (the offset comes down
// over them); then, while fresh space is short of the request, cuts chunks of
// the shape from runs of free chunks lying side by side (of any kinds), and
// lists them. True when the lists or the unallocated area gained anything.
bool make_chunks(Allocator base, Shape shape, std::uint64_t units);

// What make_block came to.
struct BlockRoom {
    Offset block = 0;            // the header Offset of a block of the bytes asked for, cut from free chunks
    bool offset_lowered = false;  // the unallocated area grew: a claim of fresh space may now succeed
};
// Makes room for a block that occupies `need` bytes (a multiple of 8): the
// free chunks at the offset become unallocated again; failing that, the
// smallest run of free chunks side by side that holds `need` becomes the
// block, its bytes zero as fresh space reads.
BlockRoom make_block(Allocator base, std::uint64_t need);

// Gives the bytes [from, to) of the chunk area back, when nothing reaches any
// of them (an offline repair's judgement): as unallocated space when `to` is
// the allocator's offset, else cut into chunks of the list sizes, listed
// (`chunks` counts them). Returns the bytes listed or made unallocated.
std::uint64_t give_back(Allocator base, Offset from, Offset to, std::uint64_t &chunks);

// The bytes of `length` free bytes that give_back lists when cut: all but
// the 8 or 16 no list size fits.
std::uint64_t listable(std::uint64_t length, std::uint8_t data_chunk_size);

// Walks the three lists whole and sets the free-listed count to what they
// hold. Returns it.
std::uint64_t recount(Allocator base);

}  // namespace zorvik::free_runs
