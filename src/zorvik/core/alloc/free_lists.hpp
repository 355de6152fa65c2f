// The three free lists and the free-listed count as the allocator's own files
// handle them (allocator.cpp, free_runs.cpp): internal to core/alloc. Every
// function here reads or writes lists, links or the count, so each is called
// with the allocator's lock held.
#pragma once

#include <cstdint>

#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/alloc/memory_manager.hpp"

namespace zorvik::free_lists {

// A free chunk's first 8 data bytes hold the header Offset of the next one.
inline Offset read_link(const char *header) { return read_u64(header + kChunkHeaderLength); }
inline void write_link(char *header, Offset next) { write_u64(header + kChunkHeaderLength, next); }

// The list that keeps chunks of `size`, or null when none does. The segment's
// data chunk size is compared first, so a data chunk size of 16 keeps link
// chunks on the data list. `chunk_size` never changes after creation.
inline FreeList *list_for(MemoryManager *manager, std::uint8_t size) {
    if (size == 0) return nullptr;  // blocks carry size 0; no list takes them
    if (size == manager->chunk_size) return &manager->data_list;
    if (size == kLinkChunkSize) return &manager->link_list;
    if (size == kEntryChunkSize) return &manager->entry_list;
    return nullptr;
}

// The lists in the order every walk of all of them takes, with the sizes they
// keep. A data chunk size of 16 makes the link list's entry the data list's,
// which walks skip (kept_by_data).
struct ListOfSize {
    FreeList *list;
    std::uint8_t size;
};
inline constexpr int kLists = 3;
inline void all_lists(MemoryManager *manager, ListOfSize (&out)[kLists]) {
    out[0] = {&manager->entry_list, kEntryChunkSize};
    out[1] = {&manager->link_list, kLinkChunkSize};
    out[2] = {&manager->data_list, manager->chunk_size};
}
// True when list `k` of all_lists is the data list under another name.
inline bool kept_by_data(const MemoryManager *manager, int k) {
    return (k == 0 && manager->chunk_size == kEntryChunkSize) || (k == 1 && manager->chunk_size == kLinkChunkSize);
}

// `header` when it is a chunk that can lie on the list of `size` (on the
// 8-byte grid, inside the allocated area, with that size and span), else 0.
inline Offset listed_chunk_or_zero(const MemoryManager *manager, Offset header, std::uint8_t size,
                                   std::uint8_t span) {
    const Offset allocated = manager->offset;
    if (header < kFirstChunk || header % kChunkGrid != 0 || header >= allocated || allocated - header < span) {
        return 0;
    }
    const char *chunk = reinterpret_cast<const char *>(manager) + header;
    if (chunk_size_at(chunk) != size || chunk_span_at(chunk) != span) return 0;
    return header;
}

// ---- the free-listed count (memory_manager.hpp) ------------------------------

inline constexpr std::uint64_t kCountLimit = (std::uint64_t{1} << 48) - 1;

inline std::uint64_t listed_bytes(const MemoryManager *manager) {
    std::uint64_t count = 0;
    std::memcpy(&count, manager->free_listed, sizeof manager->free_listed);
    // A count past what was ever cut (one a process of an earlier version
    // left behind by taking chunks it did not count off) reads as all of it.
    const std::uint64_t allocated = manager->offset > kFirstChunk ? manager->offset - kFirstChunk : 0;
    return count < allocated ? count : allocated;
}
inline void set_listed_bytes(MemoryManager *manager, std::uint64_t count) {
    if (count > kCountLimit) count = kCountLimit;
    std::memcpy(manager->free_listed, &count, sizeof manager->free_listed);
}
// Adds `bytes` listed, or takes `bytes` off (never below 0: chunks an earlier
// version listed without counting them may be taken off).
inline void count_listed(MemoryManager *manager, std::uint64_t bytes) {
    set_listed_bytes(manager, listed_bytes(manager) + bytes);
}
inline void count_unlisted(MemoryManager *manager, std::uint64_t bytes) {
    const std::uint64_t count = listed_bytes(manager);
    set_listed_bytes(manager, count > bytes ? count - bytes : 0);
}

// Puts the chunk at `header` (of the list's size) on top of `list`, counted.
inline void push(MemoryManager *manager, FreeList *list, char *header, Offset at) {
    write_link(header, list->head);
    list->head = at;
    count_listed(manager, chunk_span_at(header));
}

}  // namespace zorvik::free_lists
