// The map's records in the segment: a file format that every attached process
// relies on byte for byte. All integers are little-endian; every record starts
// at a chunk's data, 2 bytes past an 8-byte boundary, so each 8-byte field is
// misaligned by 2 and is read and written without alignment assumptions
// (plain fields through packed access, shared words through the field48
// functions of atomics.hpp, lock words through spin_lock.hpp).
//
//   MapHeader   the data of the first chunk of a new segment (size 168, span
//               176, at Offset 64), so always at Offset 66. Never changes
//               but for `extension`, set once from 0.
//   MapExtension  one chunk of size 232: the shared state of an incremental
//               doubling (and room for later records), named by the header's
//               `extension`.
//   shared words  five 8-byte blocks: chunks_in_use, expansion_workers,
//               expansion_lock, split_cursor, entry_count.
//   chunk table one block of bucket_chunk_number u64: entry j is the Offset of
//               bucket chunk j, 0 when it does not exist yet, 1 while an
//               expansion's claimer builds it.
//   bucket chunk  one block of bucket_chunk_size Buckets.
//   Bucket      lock, the ChunkArray of its entries (two per entry chunk),
//               and `forward` (the partner bucket while an expansion splits it).
//   MapEntry    key ChunkArray, value ChunkArray, hash; two per entry chunk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zorvik/core/alloc/chain.hpp"
#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/alloc/memory_manager.hpp"

namespace zorvik {

// The size of the header chunk: the MapHeader fills it. Never freed.
inline constexpr std::uint8_t kHeaderChunkSize = 168;

struct __attribute__((packed)) MapHeader {
    std::uint64_t creator_pid;   // the creating process's id, written at creation; no process reads it
    std::uint64_t creator_base;  // the creating process's Allocator base (an address); no process reads it
    std::uint64_t bucket_chunk_number;
    std::uint64_t bucket_chunk_size;
    // The name of the serializer the file was made for (ASCII, zero-padded),
    // written at creation by a maker that names one; all zero in a file made
    // without one. No map operation reads it: the dictionary layer compares
    // it with its own serializer when it opens the file.
    char serializer[8];
    std::uint8_t zero0[16];
    Offset chunk_table;
    Offset chunks_in_use;
    Offset expansion_workers;
    Offset expansion_lock;
    Offset split_cursor;
    Offset entry_count;
    // Data Offset of the MapExtension, 0 while none exists (a file made by a
    // version that keeps none, until a process that needs it adds it). The
    // header's only field that changes: from 0 to the record, once, by a
    // compare-and-swap (byte 104 is Offset 170, 2 past the grid). Versions
    // that keep no record never read or write these bytes.
    Offset extension;
    std::uint8_t zero1[48];
    std::uint8_t data_chunk_size;
    std::uint8_t zero2[7];
};
// Every process reads the header at these bytes, whatever version made the file.
static_assert(sizeof(MapHeader) == kHeaderChunkSize, "the header fills the first chunk carved, so it lies at Offset 66");
static_assert(offsetof(MapHeader, bucket_chunk_number) == 16, "file format: the shape at bytes 16 and 24");
static_assert(offsetof(MapHeader, bucket_chunk_size) == 24, "file format: the shape at bytes 16 and 24");
static_assert(offsetof(MapHeader, serializer) == 32,
              "file format: the serializer's name at bytes 32 to 39, which makers without it leave zero");
static_assert(offsetof(MapHeader, chunk_table) == 56, "file format: the chunk table's Offset at byte 56");
static_assert(offsetof(MapHeader, chunks_in_use) == 64 && offsetof(MapHeader, expansion_workers) == 72 &&
                  offsetof(MapHeader, expansion_lock) == 80 && offsetof(MapHeader, split_cursor) == 88 &&
                  offsetof(MapHeader, entry_count) == 96,
              "file format: the five shared words' Offsets at bytes 64 to 103");
static_assert(offsetof(MapHeader, data_chunk_size) == 160, "file format: the data chunk size at byte 160");

// The repair mark. A repair that works on a copy of the file, while
// processes that only read it hold it open, first closes the original to new
// openers: its header's `data_chunk_size` becomes kRepairMark, a size no map
// can have, so every attach refuses the file (this version says it is being
// repaired; a version that knows no mark finds a data chunk size no map has).
// The allocator's record keeps the chunk size, from which the mark is taken
// off again. A process reads the header only when it attaches, so those that
// hold the file already never meet the mark.
inline constexpr std::uint8_t kRepairMark = 0xFF;

// The header chunk is the first chunk carved in a new segment.
inline constexpr Offset kMapHeaderOffset = kFirstChunk + kChunkHeaderLength;  // 66
static_assert(offsetof(MapHeader, extension) == 104 && (kMapHeaderOffset + 104) % kChunkGrid == kDataPastGrid,
              "file format: the extension's Offset at byte 104 (Offset 170), a field48 2 past the grid");
// The mark is swapped through the aligned 4-byte word that holds the byte
// (the header's byte 160, Offset 226, is byte 2 of the word at Offset 224).
inline constexpr Offset kRepairMarkWord = kMapHeaderOffset + offsetof(MapHeader, data_chunk_size) - 2;
static_assert(kRepairMarkWord % 4 == 0, "the mark's byte lies 2 bytes into an aligned 4-byte word");

// ---- MapExtension: the shared state of an incremental doubling ---------------
//
// A chunk of kExtensionChunkSize bytes, made with a new map (or, for a file
// made without one, by the first process that doubles its table
// incrementally), never freed. Its size is one no free list keeps (link 16,
// entry 176, data 8 to 128, the header's 168), so an offline reclaim of any
// version steps over it. Every field but the magic is a field48 at 2 past
// the grid (the record's data is) or a segment lock word; the counts are
// tagged with the doubling they belong to (growth.cpp):
//
//   bits 42-47  the doubling's generation, log2(L) + 1 for the doubling from
//               a table of L chunks (1 to 47: L < 2^47)
//   bits 0-41   the count (buckets, or slots): below 2^42 > 2^47 / 56, more
//               buckets than a mapping holds
//
// A count whose generation is not the doubling's reads as 0 for it.
inline constexpr std::uint8_t kExtensionChunkSize = 232;

struct __attribute__((packed)) MapExtension {
    char magic[8];              // kExtensionMagic
    std::uint64_t features;     // bit 0: a cache record is present (0: none); others 0
    std::uint64_t growth_lock;  // segment lock word: the builder, sweeper, ender and clearer
    Offset build_block;         // data Offset of the block of new buckets last built, 0 none
    std::uint64_t built;        // generation | new buckets written
    std::uint64_t published;    // generation | chunk table slots above L published, from the top
    std::uint64_t split_done;   // generation | old buckets counted split (whole batches)
    std::uint64_t verified;     // generation | old buckets checked split by the sweep
    std::uint64_t cleared;      // generation (of the doubling that ended) | old buckets cleared
    Offset cache;               // data Offset of the cache record, 0 none
    std::uint8_t reserved[152];
};
static_assert(sizeof(MapExtension) == kExtensionChunkSize, "the record fills its chunk");
static_assert(offsetof(MapExtension, growth_lock) == 16 && offsetof(MapExtension, build_block) == 24 &&
                  offsetof(MapExtension, built) == 32 && offsetof(MapExtension, published) == 40 &&
                  offsetof(MapExtension, split_done) == 48 && offsetof(MapExtension, verified) == 56 &&
                  offsetof(MapExtension, cleared) == 64 && offsetof(MapExtension, cache) == 72,
              "file format: the record's fields, each 8 bytes at 2 past the grid");
inline constexpr char kExtensionMagic[8] = {'Z', 'V', 'K', 'X', 0, 0, 1, 0};
// MapExtension::features: the file is a cache and `cache` names its record.
inline constexpr std::uint64_t kFeatureCache = 1;

// ---- CacheRecord: the bounds and policy of a cache --------------------------------
//
// A chunk of kCacheChunkSize bytes, made with a map created as a cache and
// named by the extension's `cache` (with kFeatureCache set), never freed.
// Like the extension's, its size is one no free list keeps, so an offline
// reclaim of any version steps over it. Settings (policy to default_ttl_ms)
// are written before the file is published and read at every attach; the
// counters are field48 words at 2 past the grid (the record's data is).
// A version that knows no cache record never reads it: to it the file is a
// plain dictionary.
inline constexpr std::uint8_t kCacheChunkSize = 224;

struct __attribute__((packed)) CacheRecord {
    char magic[8];                 // kCacheMagic
    std::uint8_t policy;           // CachePolicy
    std::uint8_t lfu_log_factor;   // LFU counter's logarithmic factor (0: the default, 10)
    std::uint16_t lfu_decay_min;   // LFU counter's decay period in minutes (0: the default, 1)
    std::uint8_t reserved0[4];
    std::uint64_t max_entries;     // 0: no bound
    std::uint64_t max_bytes;       // 0: no bound
    std::uint64_t default_ttl_ms;  // 0: entries stored without a TTL never expire
    std::uint8_t reserved1[24];
    std::uint64_t bytes_in_use;    // field48: bytes the entries take (kept once max_bytes is enforced)
    std::uint64_t hand;            // field48: the next bucket the expiry sweep visits
    std::uint8_t reserved2[48];
    std::uint64_t hits;            // field48 statistics, added in batches
    std::uint64_t misses;
    std::uint64_t sets;
    std::uint64_t evictions;
    std::uint64_t expirations;
    Offset flight_table;           // data Offset of the single-flight table, 0 none
    std::uint8_t reserved3[48];
};
static_assert(sizeof(CacheRecord) == kCacheChunkSize, "the record fills its chunk");
static_assert(offsetof(CacheRecord, policy) == 8 && offsetof(CacheRecord, max_entries) == 16 &&
                  offsetof(CacheRecord, max_bytes) == 24 && offsetof(CacheRecord, default_ttl_ms) == 32 &&
                  offsetof(CacheRecord, bytes_in_use) == 64 && offsetof(CacheRecord, hand) == 72 &&
                  offsetof(CacheRecord, hits) == 128 && offsetof(CacheRecord, expirations) == 160 &&
                  offsetof(CacheRecord, flight_table) == 168,
              "file format: the cache record's fields");
inline constexpr char kCacheMagic[8] = {'Z', 'V', 'K', 'C', 0, 0, 1, 0};

// The eviction policies a cache record names (its `policy` byte).
enum class CachePolicy : std::uint8_t { lru = 1, lfu = 2, random = 3, ttl = 4 };
inline constexpr std::uint8_t kLastCachePolicy = 4;

// The map's record of a chain (alloc/chain.hpp): a list of elements stored in
// chunk_count ChunkLinks from `head`, element i in link i / per_chunk, slot
// i % per_chunk of that link's payload chunk. Serves both for the bytes of a
// key or value (per_chunk = data chunk size) and for a bucket's entries
// (per_chunk = 2). Every walk goes through the Chain the record gives out.
struct __attribute__((packed)) ChunkArray {
    Offset head;                // first ChunkLink (data Offset)
    std::uint64_t length;       // bytes, or entries
    std::uint64_t chunk_count;  // links in the chain
    std::uint8_t per_chunk;
    std::uint8_t padding[7];    // of a bucket's list: the intent word's upper bytes (bucket_state.hpp)
    std::uint64_t scratch;      // a change's second argument, meaningful only while an intent names it
};
static_assert(sizeof(ChunkArray) == 40, "file format: two arrays and a hash make an 88-byte MapEntry");
static_assert(offsetof(ChunkArray, length) == 8 && offsetof(ChunkArray, chunk_count) == 16,
              "file format: the length and the chunk count at bytes 8 and 16");
static_assert(offsetof(ChunkArray, per_chunk) == 24, "file format, and the intent word starts at per_chunk");
static_assert(offsetof(ChunkArray, scratch) == 32,
              "file format: the scratch word follows the intent word (bucket_state.hpp)");

// An entry. The padding after each array's per_chunk holds a cache's
// metadata (entry_metadata.hpp): with the key's per_chunk it makes the K word
// (entry + 24), with the value's the V word (entry + 64). A plain map and
// versions without caches leave both paddings zero.
struct __attribute__((packed)) MapEntry {
    ChunkArray key;
    ChunkArray value;
    std::int64_t hash;
};
static_assert(sizeof(MapEntry) == 88, "two entries fill an entry chunk of 176 bytes");
static_assert(offsetof(MapEntry, value) == 40 && offsetof(MapEntry, hash) == 80,
              "file format: the value's array at byte 40, the hash at byte 80");

// Entries lie two to an entry chunk: the chunk size the allocator's entry
// list keeps.
inline constexpr std::uint64_t kEntriesPerChunk = 2;
static_assert(kEntriesPerChunk * sizeof(MapEntry) == kEntryChunkSize,
              "the allocator's entry list keeps chunks of exactly two entries");

// The chain of a key's or value's bytes.
inline Chain byte_chain(const ChunkArea &area, const ChunkArray &array) {
    return Chain(area, array.head, array.chunk_count, array.per_chunk);
}
// The chain of a bucket's entries: whole MapEntry records, two a link.
inline Chain entry_chain(const ChunkArea &area, const ChunkArray &entries) {
    return Chain(area, entries.head, entries.chunk_count, kEntryChunkSize);
}

struct __attribute__((packed)) Bucket {
    std::uint64_t lock;  // segment lock word (spin_lock.hpp)
    ChunkArray entries;
    Offset forward;      // partner bucket while an expansion splits this one, else 0
};
static_assert(sizeof(Bucket) == 56, "file format: a bucket chunk is bucket_chunk_size buckets of 56 bytes");
static_assert(offsetof(Bucket, entries) == 8 && offsetof(Bucket, forward) == 48,
              "file format: the entry list at byte 8, `forward` at byte 48");

// Every shared word and lock word is 2 bytes past an 8-byte boundary, which
// the field48 functions and the segment lock rely on: a Bucket starts at a
// block's data (2 mod 8) and is 56 bytes long, so `lock` stays at 2 mod 8 and
// `forward` at 2 mod 8 for every bucket of a chunk.
static_assert(offsetof(Bucket, lock) % 8 == 0 && offsetof(Bucket, forward) % 8 == 0 && sizeof(Bucket) % 8 == 0,
              "the lock word and `forward` of every bucket lie 2 bytes past an 8-byte boundary");

}  // namespace zorvik
