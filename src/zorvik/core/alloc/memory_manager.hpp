// The allocator's record at the base (file position 24, Offset 0): where the
// chunk area ends, how far it has been cut, the heads of the three free lists
// and the count of the bytes on them. Part of the file format; every process
// attached to a segment reads and writes the same record, under the
// SegmentHeader's lock word.
//
//   Offset 0     MemoryManager (64 bytes, the base record the segment keeps)
//   Offset 64    chunk area: `capacity - 64` bytes, cut from the front
#pragma once

#include <cstddef>
#include <cstdint>

#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/segment/layout.hpp"

namespace zorvik {

// The three sizes a free list keeps, besides the segment's data chunk size:
// link chunks, and chunks of 176 bytes (the size the layer above puts its
// entries in, two to a chunk; fixed by the file format).
inline constexpr std::uint8_t kEntryChunkSize = 176;

struct __attribute__((packed)) FreeList {
    std::uint8_t span;        // the list's chunk size + 2 (informational, never read)
    std::uint8_t chunk_size;  // the list's chunk size (informational, never read)
    Offset head;              // header Offset of the first free chunk, 0 when empty
};
static_assert(sizeof(FreeList) == 10 && offsetof(FreeList, head) == 2,
              "file format: a free list is two informational bytes and a head");

// The bytes 57 to 62 hold the free-listed count: the bytes (spans) of the
// chunks on the three lists, a 48-bit little-endian number kept under the
// lock by every list change of this version. Processes of an earlier version
// change the lists without it (they never read or write these bytes, which
// files they made hold zero), so it is a close estimate, not an exact sum,
// in a file that such processes use: it is never read as more than the
// allocated bytes, and every walk of the whole lists (a conversion of free
// chunks, an offline repair) sets it right. Space decisions use it as a
// hint; nothing that must be exact rests on it.
struct __attribute__((packed)) MemoryManager {
    Offset capacity;          // end of the allocatable area; written once, at creation
    Offset offset;            // first unallocated byte (lowered only over free chunks at its end)
    std::uint8_t chunk_size;  // the segment's data chunk size
    FreeList reserved_list;   // all zero; nothing fills or reads it
    FreeList entry_list;      // free chunks of size kEntryChunkSize
    FreeList link_list;       // free chunks of size kLinkChunkSize
    FreeList data_list;       // free chunks of size `chunk_size`
    std::uint8_t free_listed[6];  // the free-listed count (above)
    std::uint8_t reserved[1];
};
static_assert(sizeof(MemoryManager) == kBaseRecordLength, "the record fills what the segment keeps at the base");
// Every process reads the record at these bytes, whatever version made the file.
static_assert(offsetof(MemoryManager, offset) == 8 && offsetof(MemoryManager, chunk_size) == 16,
              "file format: the offset at byte 8, the data chunk size at byte 16");
static_assert(offsetof(MemoryManager, reserved_list) == 17 && offsetof(MemoryManager, entry_list) == 27 &&
                  offsetof(MemoryManager, link_list) == 37 && offsetof(MemoryManager, data_list) == 47,
              "file format: the four free lists at bytes 17 to 56");
static_assert(offsetof(MemoryManager, free_listed) == 57 && offsetof(MemoryManager, reserved) == 63,
              "file format: the free-listed count in bytes 57 to 62, which earlier versions leave alone");

// The first chunk lies right after the record: Offset 64, file position 88.
inline constexpr Offset kFirstChunk = sizeof(MemoryManager);
static_assert(kFirstChunk % kChunkGrid == 0, "the chunk area starts on the grid, so every chunk's data lies 2 past it");

inline MemoryManager *memory_manager(Allocator base) { return reinterpret_cast<MemoryManager *>(base); }
// The allocator's lock word: the SegmentHeader's.
inline std::uint32_t *allocator_lock_word(Allocator base) { return segment_lock_word(base); }

}  // namespace zorvik
