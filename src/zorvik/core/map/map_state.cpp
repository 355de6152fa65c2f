// The process-local state of a map: the chunk cache, bucket chunks resolved
// from the chunk table, and the prefetch hints.
#include <bit>
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
      data_pool(area, shape.data_chunk_size, ChunkPool::Payloads::kept) {}

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

}  // namespace zorvik
