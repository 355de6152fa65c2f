// The segment file's layout: a file format shared by every process that maps
// the file, so every size and position here is fixed and asserted.
//
//   file position 0    SegmentHeader   (24 bytes)
//   file position 24   MemoryManager   (64 bytes)  <- the Allocator base
//   file position 88   chunk area      (`size` bytes, cut from the front)
//   rest               unused tail up to the file length (a page multiple)
//
// All integers are little-endian and the records are packed: 8-byte fields sit
// at odd positions, and every chunk's data starts 2 bytes past an 8-byte
// boundary. Nothing stored in the file is an address: positions are Offsets,
// byte distances from the Allocator base (file position 24), and Offset 0 (the
// MemoryManager itself, where no chunk can lie) is null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorvik {

// An Offset is a distance from this process's Allocator base. Two kinds are
// stored and must not be mixed: the allocator's own chain and free-list links
// hold the Offset of a chunk's first byte (its header); every Offset held by
// the map and the chunk pools holds the Offset of a chunk's data (header + 2).
using Offset = std::uint64_t;

// The address of this process's MemoryManager: 24 bytes into its view of the
// segment. Passed by value to every allocator operation.
using Allocator = char *;

inline char *to_address(Allocator base, Offset offset) { return base + offset; }
inline Offset to_offset(Allocator base, const void *address) {
    return static_cast<Offset>(static_cast<const char *>(address) - base);
}

// Unaligned little-endian access to packed fields (x86-64 is little-endian;
// memcpy compiles to one move and carries no alignment assumption).
inline std::uint64_t read_u64(const void *p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void write_u64(void *p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

// ---- SegmentHeader: file position 0 ------------------------------------------

struct __attribute__((packed)) SegmentHeader {
    std::uint64_t mapped_length;       // view length of the last process that opened the file
    std::uint64_t requested_capacity;  // usable size passed to that open, plus 64
    std::uint32_t lock;                // the allocator's lock word: 0 free, held non-zero
    std::uint32_t reserved;            // zero, never written
};
static_assert(sizeof(SegmentHeader) == 24, "the MemoryManager starts at file position 24");
static_assert(offsetof(SegmentHeader, requested_capacity) == 8);
static_assert(offsetof(SegmentHeader, lock) == 16, "lock is 4-aligned in a page-aligned view");

// ---- FreeList and MemoryManager: file position 24 (Offset 0) -----------------

struct __attribute__((packed)) FreeList {
    std::uint8_t span;        // the list's chunk size + 2 (informational, never read)
    std::uint8_t chunk_size;  // the list's chunk size (informational, never read)
    Offset head;              // header Offset of the first free chunk, 0 when empty
};
static_assert(sizeof(FreeList) == 10);
static_assert(offsetof(FreeList, head) == 2);

struct __attribute__((packed)) MemoryManager {
    Offset capacity;        // end of the allocatable area; written once, at creation
    Offset offset;          // first unallocated byte; only grows
    std::uint8_t chunk_size;  // the segment's data chunk size
    FreeList reserved_list;   // all zero; nothing fills or reads it
    FreeList entry_list;      // free chunks of size 176
    FreeList link_list;       // free chunks of size 16
    FreeList data_list;       // free chunks of size `chunk_size`
    std::uint8_t reserved[7];
};
static_assert(sizeof(MemoryManager) == 64, "the chunk area starts at Offset 64");
static_assert(offsetof(MemoryManager, offset) == 8);
static_assert(offsetof(MemoryManager, chunk_size) == 16);
static_assert(offsetof(MemoryManager, reserved_list) == 17);
static_assert(offsetof(MemoryManager, entry_list) == 27);
static_assert(offsetof(MemoryManager, link_list) == 37);
static_assert(offsetof(MemoryManager, data_list) == 47);
static_assert(offsetof(MemoryManager, reserved) == 57);

inline constexpr std::uint64_t kSegmentHeaderLength = sizeof(SegmentHeader);  // 24
inline constexpr std::uint64_t kMemoryManagerLength = sizeof(MemoryManager);  // 64
inline constexpr std::uint64_t kFileOverhead = kSegmentHeaderLength + kMemoryManagerLength;  // 88
inline constexpr Offset kFirstChunk = kMemoryManagerLength;  // Offset 64, file position 88

inline SegmentHeader *segment_header(Allocator base) {
    return reinterpret_cast<SegmentHeader *>(base - kSegmentHeaderLength);
}
inline MemoryManager *memory_manager(Allocator base) { return reinterpret_cast<MemoryManager *>(base); }
// The allocator's lock word: file position 16, 4-aligned in a page-aligned view.
inline std::uint32_t *allocator_lock_word(Allocator base) {
    return reinterpret_cast<std::uint32_t *>(base - kSegmentHeaderLength + offsetof(SegmentHeader, lock));
}

// ---- Chunks ------------------------------------------------------------------
//
//   byte 0: span (bytes the chunk occupies, header included: size + 2 rounded up to 8)
//   byte 1: size (data bytes)
//   byte 2: data; while free or in a chain just handed out, its first 8 bytes
//           hold the header Offset of the next chunk of the chain.
//
// A block is a run of bytes without a size: span 0, size 0, data 2 bytes in,
// length + 2 rounded up to 8. Blocks are never freed.

inline constexpr std::uint64_t kChunkHeaderLength = 2;
inline constexpr std::uint64_t kCacheLine = 64;  // x86-64
inline constexpr std::uint8_t kLinkChunkSize = 16;    // one ChunkLink
inline constexpr std::uint8_t kEntryChunkSize = 176;  // two 88-byte map entries
inline constexpr std::uint8_t kHeaderChunkSize = 168; // the map's header; never freed

// span = size + 2 rounded up to 8, computed in 8 bits as ((size + 1) & 248) + 8.
constexpr std::uint8_t chunk_span(std::uint8_t size) {
    return static_cast<std::uint8_t>(((size + 1) & 248) + 8);
}
static_assert(chunk_span(16) == 24 && chunk_span(176) == 184 && chunk_span(32) == 40);
static_assert(chunk_span(168) == 176 && chunk_span(8) == 16 && chunk_span(128) == 136);

inline std::uint8_t chunk_span_at(const char *header) { return static_cast<std::uint8_t>(header[0]); }
inline std::uint8_t chunk_size_at(const char *header) { return static_cast<std::uint8_t>(header[1]); }
inline char *chunk_data(char *header) { return header + kChunkHeaderLength; }
inline char *chunk_header(char *data) { return data - kChunkHeaderLength; }
inline const char *chunk_header(const char *data) { return data - kChunkHeaderLength; }

// ---- ChunkLink: the 16 data bytes of a link chunk ----------------------------

struct __attribute__((packed)) ChunkLink {
    Offset chunk;  // data Offset of the payload chunk this link carries
    Offset next;   // data Offset of the next ChunkLink of the list
};
static_assert(sizeof(ChunkLink) == kLinkChunkSize);
static_assert(offsetof(ChunkLink, next) == 8);

}  // namespace zorvik
