// The process-local state of a map: the chunk cache, bucket chunks resolved
// from the chunk table, and the prefetch hints.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {

const std::runtime_error &empty_chunks_exception() {
    static const std::runtime_error e("operation on empty chunks!");
    return e;
}

ChunkCache::ChunkCache(std::uint64_t slots) : slots_(static_cast<char **>(host::calloc(slots, sizeof(char *)))) {
    if (slots_ == nullptr) throw std::runtime_error("PyMem_Malloc failed!");
}

ChunkCache::~ChunkCache() { host::free(slots_); }

MapState::MapState(Segment segment_, const MapShape &shape)
    : segment(std::move(segment_)),
      base(segment.base()),
      area(base),
      bucket_chunk_size(shape.bucket_chunk_size),
      bucket_shift(static_cast<unsigned>(std::countr_zero(shape.bucket_chunk_size))),
      bucket_chunk_number(shape.bucket_chunk_number),
      reachable_chunks(std::bit_floor(shape.bucket_chunk_number)),
      data_chunk_size(shape.data_chunk_size),
      data_chunk_shift(static_cast<unsigned>(std::countr_zero(shape.data_chunk_size))),
      chunk_cache(reachable_chunks),
      entry_pool(area, kEntryChunkSize, ChunkPool::Payloads::zeroed),
      data_pool(area, shape.data_chunk_size, ChunkPool::Payloads::kept, ChunkPool::Runs::for_long_takes) {
    counts_pid_.store(host::own_pid(), std::memory_order_relaxed);
}

bool MapState::give_back_other_pool(const ChunkPool &pool) {
    // What this process's other pool keeps back is free room the allocator
    // cannot see: given back, it serves as chunks of any kind (the allocator
    // converts them). Taken without the first pool's lock, which its take
    // let go of: never two pool locks at once.
    ChunkPool &other = &pool == &entry_pool ? data_pool : entry_pool;
    if (other.count() == 0) return false;
    other.return_all();
    return true;
}

char *MapState::bucket_chunk(std::uint64_t j) {
    if (j >= reachable_chunks) throw_offset_overflow();
    // Acquire/release on the cache: a slot filled by another thread of this
    // process carries that thread's view of the chunk's initialisation.
    if (char *chunk = chunk_cache.load(j)) return chunk;
    // The table entry is published by the claimer's exchange after the chunk
    // was initialised (expansion.cpp); this acquire load pairs with it.
    const std::int64_t entry = table_entry(j);
    if (entry <= 1 || static_cast<Offset>(entry) % kChunkGrid != kDataPastGrid) throw_offset_overflow();
    char *chunk = area.bytes(static_cast<Offset>(entry), bucket_chunk_bytes());
    chunk_cache.store(j, chunk);
    return chunk;
}

const Bucket *MapState::resolved_bucket(std::int64_t hash) const noexcept {
    const std::uint64_t index = bucket_index(hash, chunks_in_use());
    const std::uint64_t j = index >> bucket_shift;
    if (j >= reachable_chunks) return nullptr;
    char *chunk = chunk_cache.load(j);  // acquire: pairs with the store that filled the slot
    return chunk == nullptr ? nullptr : bucket_in(chunk, index);
}

void MapState::prefetch_bucket(std::int64_t hash) const noexcept {
    const Bucket *bucket = resolved_bucket(hash);
    if (bucket == nullptr) return;
    __builtin_prefetch(bucket, 1);
    __builtin_prefetch(reinterpret_cast<const char *>(bucket) + sizeof(Bucket) - 1, 1);
}

void MapState::prefetch_entries(std::int64_t hash) const noexcept {
    const Bucket *bucket = resolved_bucket(hash);
    if (bucket == nullptr) return;
    // The head is read without the bucket's lock, by an atomic load of the
    // aligned word that holds its low six bytes (no write pairs with it: a
    // head changed meanwhile, or one not yet loaded, only makes the prefetch
    // a wasted one).
    const std::int64_t head = atomics::load_field48(reinterpret_cast<const char *>(bucket) + offsetof(Bucket, entries) +
                                                    offsetof(ChunkArray, head));
    if (head < 0 || !area.holds(static_cast<Offset>(head), kLinkChunkSize)) return;
    const char *link_header = chunk_header(area.base() + head);
    for (std::uint64_t at = 0; at < pair_span(kEntryChunkSize); at += kCacheLine) {
        __builtin_prefetch(link_header + at, 1);
    }
}

namespace {

// Starts loading the cache lines of [first, first + bytes).
void prefetch_lines(const char *first, std::uint64_t bytes) {
    const auto start = reinterpret_cast<std::uintptr_t>(first) & ~std::uintptr_t{kCacheLine - 1};
    const auto end = reinterpret_cast<std::uintptr_t>(first) + bytes;
    for (std::uintptr_t line = start; line < end; line += kCacheLine) {
        __builtin_prefetch(reinterpret_cast<const char *>(line));
    }
}

// True when `offset` (read from the file) is a chunk's data of `length` bytes
// inside the area: 2 bytes past the 8-byte grid, where the field48 loads of
// its fields are aligned.
bool on_data_grid(const ChunkArea &area, std::int64_t offset, std::uint64_t length) {
    return offset >= 0 && static_cast<Offset>(offset) % kChunkGrid == kDataPastGrid &&
           area.holds(static_cast<Offset>(offset), length);
}

// Starts loading the first data links of a chain from `head` (`links` of
// them, at most 8 cache lines' worth), each with the payload chunk of
// `payload` bytes beside it: a chain taken from a data pool in one piece
// mostly lies so (chunk_pool.cpp, cut_group).
void prefetch_data_chain(const ChunkArea &area, std::int64_t head, std::uint64_t links, std::uint8_t payload) {
    if (links == 0 || head < 0 || !area.holds(static_cast<Offset>(head), kLinkChunkSize)) return;
    constexpr std::uint64_t kMostLines = 8;
    const std::uint64_t bytes = std::min(std::min<std::uint64_t>(links, kMostLines) * pair_span(payload),
                                         kMostLines * kCacheLine);
    prefetch_lines(chunk_header(area.base() + head), bytes);
}

// Starts loading the data chain of the stored key or value (a ChunkArray)
// at `array`, from its head and chunk count as field48 loads read them.
void prefetch_stored(const ChunkArea &area, const char *array, std::uint8_t payload) {
    prefetch_data_chain(area, atomics::load_field48(array + offsetof(ChunkArray, head)),
                        static_cast<std::uint64_t>(atomics::load_field48(array + offsetof(ChunkArray, chunk_count))),
                        payload);
}

}  // namespace

void MapState::prefetch_entry_data(std::int64_t hash, bool value) const noexcept {
    const Bucket *bucket = resolved_bucket(hash);
    if (bucket == nullptr) return;
    // Every field is read without the bucket's lock, by atomic loads of the
    // aligned words that hold their low six bytes (each lies 2 bytes past an
    // 8-byte boundary: map_layout.hpp). No write pairs with them: a field
    // changed meanwhile only makes the prefetch a wasted one, and every
    // address is checked against the area before it is prefetched (a
    // prefetch never faults, but it must not load what this hint has no
    // business reading).
    const char *base = area.base();
    const std::int64_t head = atomics::load_field48(reinterpret_cast<const char *>(bucket) +
                                                    offsetof(Bucket, entries) + offsetof(ChunkArray, head));
    if (!on_data_grid(area, head, kLinkChunkSize)) return;
    const std::int64_t chunk = atomics::load_field48(base + head + offsetof(ChunkLink, chunk));
    if (!on_data_grid(area, chunk, kEntryChunkSize)) return;
    // The stored hash as a field48 reads it: its low 48 bits, sign-extended.
    const std::int64_t low_hash = static_cast<std::int64_t>(static_cast<std::uint64_t>(hash) << 16) >> 16;
    for (std::uint64_t e = 0; e < kEntriesPerChunk; ++e) {
        const char *entry = base + chunk + e * sizeof(MapEntry);
        if (atomics::load_field48(entry + offsetof(MapEntry, hash)) != low_hash) continue;
        prefetch_stored(area, entry + offsetof(MapEntry, key), data_chunk_size);
        if (value) prefetch_stored(area, entry + offsetof(MapEntry, value), data_chunk_size);
    }
}

}  // namespace zorvik
