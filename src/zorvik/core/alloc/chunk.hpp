// Chunks: the pieces the allocator cuts from the chunk area, and the link
// chunk that strings them into chains. Part of the file format.
//
//   byte 0: span (bytes the chunk occupies, header included: size + 2 rounded up to 8)
//   byte 1: size (data bytes)
//   byte 2: data; while free or in a chain just handed out, its first 8 bytes
//           hold the header Offset of the next chunk of the chain.
//
// Chunks start on the 8-byte grid, so every chunk's data starts 2 bytes past
// an 8-byte boundary. A block is a run of bytes without a size: span 0, size
// 0, data 2 bytes in, length + 2 rounded up to 8. Blocks are never freed.
//
// Two kinds of Offset are stored and must not be mixed: the allocator's own
// chain and free-list links hold the Offset of a chunk's first byte (its
// header); every Offset held by the layers above holds the Offset of a
// chunk's data (header + 2).
#pragma once

#include <cstddef>
#include <cstdint>

#include "zorvik/core/segment/layout.hpp"

namespace zorvik {

inline constexpr std::uint64_t kChunkHeaderLength = 2;  // the span byte and the size byte
// Every chunk and block starts on this grid: spans are rounded up to it, so
// the 8-byte fields of a chunk's data sit 2 bytes past it, never further.
inline constexpr std::uint64_t kChunkGrid = 8;
// A chunk's data lies this far past the grid: how an Offset of data is told.
inline constexpr std::uint64_t kDataPastGrid = kChunkHeaderLength % kChunkGrid;

// span = size + 2 rounded up to 8, computed in 8 bits as ((size + 1) & 248) + 8.
constexpr std::uint8_t chunk_span(std::uint8_t size) {
    return static_cast<std::uint8_t>(((size + 1) & 248) + 8);
}
static_assert(chunk_span(16) == 24 && chunk_span(176) == 184 && chunk_span(32) == 40,
              "file format: the spans of link, entry and default data chunks");
static_assert(chunk_span(168) == 176 && chunk_span(8) == 16 && chunk_span(128) == 136,
              "file format: the spans of the map header and the smallest and largest data chunks");

inline std::uint8_t chunk_span_at(const char *header) { return static_cast<std::uint8_t>(header[0]); }
inline std::uint8_t chunk_size_at(const char *header) { return static_cast<std::uint8_t>(header[1]); }
inline char *chunk_data(char *header) { return header + kChunkHeaderLength; }
inline char *chunk_header(char *data) { return data - kChunkHeaderLength; }
inline const char *chunk_header(const char *data) { return data - kChunkHeaderLength; }

// ---- ChunkLink: the 16 data bytes of a link chunk ----------------------------
//
// A chain of links carries a list of payload chunks: each link names its
// payload and the next link. Only the layer that made a chain knows how many
// of its links belong to it; the last one's `next` may be stale, so every walk
// stops by count (chain.hpp).

struct __attribute__((packed)) ChunkLink {
    Offset chunk;  // data Offset of the payload chunk this link carries
    Offset next;   // data Offset of the next ChunkLink of the chain
};
inline constexpr std::uint8_t kLinkChunkSize = sizeof(ChunkLink);  // 16
static_assert(sizeof(ChunkLink) == 16 && offsetof(ChunkLink, next) == 8,
              "file format: a link chunk holds its payload's Offset, then the next link's");

// ---- fillers ---------------------------------------------------------------------
//
// A filler is a chunk whose size fills its span (size = span - 2, so its size
// is 6 more than a multiple of 8, which no record's size is and no list
// keeps): a piece of free space too small for any list size, left where free
// chunks were cut into others (free_runs.cpp). Every walk by span steps over
// it like any chunk no list keeps; the allocator and the offline repair take
// it back with the free space beside it. The sizes 14, 22, ..., 246 are kept
// for fillers: no record may have them.
constexpr std::uint8_t filler_size(std::uint8_t span) { return static_cast<std::uint8_t>(span - kChunkHeaderLength); }
static_assert(chunk_span(filler_size(16)) == 16 && chunk_span(filler_size(248)) == 248,
              "a filler's size gives back its span, up to the largest span");
inline bool is_filler(const char *header) {
    const std::uint8_t span = chunk_span_at(header);
    return span >= 2 * kChunkGrid && span % kChunkGrid == 0 && chunk_size_at(header) == filler_size(span);
}

// Bytes a link and the payload chunk of `payload_size` beside it occupy when
// they are cut side by side from fresh space.
constexpr std::uint64_t pair_span(std::uint8_t payload_size) {
    return std::uint64_t{chunk_span(kLinkChunkSize)} + chunk_span(payload_size);
}

}  // namespace zorvik
