// The segment file's first record and how every layer addresses the file: a
// file format shared by every process that maps the file, so every size and
// position here is fixed and asserted.
//
//   file position 0    SegmentHeader   (24 bytes, this layer's)
//   file position 24   the base: a 64-byte record of the layer above (the
//                      allocator's), then the `size` usable bytes
//   rest               unused tail up to the file length (a page multiple)
//
// All integers are little-endian and the records are packed. Nothing stored
// in the file is an address: positions are Offsets, byte distances from the
// base (file position 24), and Offset 0 (the record at the base, where no
// data can lie) is null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorvik {

// A distance from this process's base. Which kind of place an Offset names
// (a chunk's header or its data) is up to the layer that stores it.
using Offset = std::uint64_t;

// The address of this process's base: 24 bytes into its view of the segment.
// The allocator's record lies there, so every allocator operation takes it.
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
    std::uint64_t requested_capacity;  // usable size passed to that open, plus kBaseRecordLength
    std::uint32_t lock;                // lock word of the base record (the allocator's): 0 free
    std::uint32_t lock_tag;            // the start-time tag of the lock's holder (spin_lock.hpp); 0 while free
};
static_assert(sizeof(SegmentHeader) == 24, "the base lies at file position 24");
static_assert(offsetof(SegmentHeader, requested_capacity) == 8, "file format: the capacity asked for at byte 8");
static_assert(offsetof(SegmentHeader, lock) == 16 && offsetof(SegmentHeader, lock_tag) == 20,
              "the lock word and its tag fill the 8-aligned word at file position 16, which a takeover swaps whole");

inline constexpr std::uint64_t kSegmentHeaderLength = sizeof(SegmentHeader);  // 24
// The segment keeps this many bytes at the base for the record of the layer
// above; the usable size a caller asks for comes after it. The allocator
// asserts that its record fills exactly this much.
inline constexpr std::uint64_t kBaseRecordLength = 64;
inline constexpr std::uint64_t kFileOverhead = kSegmentHeaderLength + kBaseRecordLength;  // 88

inline SegmentHeader *segment_header(Allocator base) {
    return reinterpret_cast<SegmentHeader *>(base - kSegmentHeaderLength);
}
// The header's lock word: file position 16, 4-aligned in a page-aligned view.
inline std::uint32_t *segment_lock_word(Allocator base) {
    return reinterpret_cast<std::uint32_t *>(base - kSegmentHeaderLength + offsetof(SegmentHeader, lock));
}

}  // namespace zorvik
