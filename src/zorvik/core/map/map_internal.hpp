// The process-local side of a map: where this process's view of the segment
// is, copies of the MapHeader (which never changes), the resolved addresses
// of bucket chunks, and the two chunk pools. Shared by the map's source files;
// not part of the exported interface.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "zorvik/core/alloc/chunk_pool.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_layout.hpp"
#include "zorvik/core/segment/atomics.hpp"

namespace zorvik {

// Fixed-text exceptions: one object per process, created on first use and
// thrown as copies.
const std::out_of_range &offset_overflow_exception();     // "offset overflow!"
const std::runtime_error &empty_chunks_exception();       // "operation on empty chunks!"

// Names of the segment's lock words, for LockHolderDied messages.
inline constexpr const char *kBucketLockName = "bucket lock";
inline constexpr const char *kExpansionLockName = "expansion lock";

// While a claim marker is set, split_cursor (unused then) names the process
// that set it, so that a waiter can tell whether that process still exists:
//   a claimer building the new chunks:          kClaimedBy - pid
//   an ender clearing `forward` after doubling:  kEndingBy - pid
// Both lie far below every value an expansion gives the cursor (no lower than
// -(2^41 + 16 x 4097)), and within the 48 bits the cursor is handled in.
inline constexpr std::int64_t kClaimedBy = -(std::int64_t{1} << 44);
inline constexpr std::int64_t kEndingBy = -(std::int64_t{1} << 45);
inline constexpr std::int64_t kPidRange = std::int64_t{1} << 24;

// A snapshot of the shared words that move while an expansion makes progress.
struct ExpansionProgress {
    std::int64_t cursor = 0;
    std::uint64_t workers = 0;
    std::uint64_t chunks = 0;
    std::uint64_t unchanged_since_wait = 0;  // insert's wait count when last seen moving
};

struct __attribute__((visibility("hidden"))) ConcurrentHashMap_string::Impl {
    Impl(Allocator base, std::uint8_t data_chunk_size)
        : entry_pool(base, ChunkPool::kEntriesPerChunk, ChunkPool::Flavour::entry),
          data_pool(base, data_chunk_size, ChunkPool::Flavour::data) {}
    ~Impl();
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;

    Allocator base = nullptr;
    Offset capacity = 0;  // copy of the MemoryManager's; fixed at creation
    std::uint64_t bucket_chunk_size = 0;  // B, a power of two
    unsigned bucket_shift = 0;            // log2(B)
    std::uint64_t bucket_chunk_number = 0;
    std::uint64_t reachable_chunks = 0;   // largest power of two <= bucket_chunk_number
    std::uint8_t data_chunk_size = 0;

    char *chunk_table = nullptr;  // bucket_chunk_number entries (field48 each)
    char *chunks_in_use_word = nullptr;
    char *expansion_workers_word = nullptr;
    char *expansion_lock_word = nullptr;
    char *split_cursor_word = nullptr;
    char *entry_count_word = nullptr;

    // Process-local addresses of bucket chunks; null until resolved. Any thread
    // may fill a slot (every thread computes the same address), with a release
    // store that its readers' acquire loads pair with.
    char **chunk_cache = nullptr;

    ChunkPool entry_pool;
    ChunkPool data_pool;

    // insert's patience with an expansion whose shared words do not move, in
    // 1-millisecond waits (about ten seconds; tests shorten it).
    std::uint64_t waits_without_progress = 10000;

    // ---- shared words -------------------------------------------------------
    // chunks_in_use only ever doubles, under expansion_lock; an acquire load.
    std::uint64_t chunks_in_use() const {
        return static_cast<std::uint64_t>(atomics::load_field48(chunks_in_use_word));
    }
    std::uint64_t entry_count() const {
        return static_cast<std::uint64_t>(atomics::load_field48(entry_count_word));
    }
    // Full barrier; the count is only an input of the load rule, so nothing
    // else pairs with it.
    void add_entries(std::int64_t delta) { atomics::fetch_add_field48(entry_count_word, delta); }

    // ---- addresses ----------------------------------------------------------
    // base + offset after checking that [offset, offset + length) lies inside
    // the allocated area; a broken structure throws "offset overflow!" instead
    // of reaching outside the mapping.
    char *checked(Offset offset, std::uint64_t length) const {
        if (offset < kFirstChunk || offset > capacity || length > capacity - offset) {
            throw offset_overflow_exception();
        }
        return base + offset;
    }
    ChunkLink *link_at(Offset data_offset) const {
        return reinterpret_cast<ChunkLink *>(checked(data_offset, sizeof(ChunkLink)));
    }
    char *payload_of(const ChunkLink *link, std::uint64_t length) const { return checked(link->chunk, length); }

    // The address of bucket chunk j (< reachable_chunks), resolved from the
    // chunk table on first use. Throws "offset overflow!" when the table holds
    // no valid bucket chunk there.
    char *bucket_chunk(std::uint64_t j);
    // Offset stored in chunk table slot j (0, the claim marker 1, or a chunk).
    std::int64_t table_entry(std::uint64_t j) const {
        return atomics::load_field48(chunk_table + j * sizeof(Offset));
    }
    char *table_slot(std::uint64_t j) const { return chunk_table + j * sizeof(Offset); }

    // The bucket with index `index` (< B x chunks_in_use).
    Bucket *bucket_at(std::uint64_t index) {
        char *chunk = bucket_chunk(index >> bucket_shift);
        return reinterpret_cast<Bucket *>(chunk + (index & (bucket_chunk_size - 1)) * sizeof(Bucket));
    }
    std::uint64_t bucket_index(std::int64_t hash, std::uint64_t chunks) const {
        return static_cast<std::uint64_t>(hash) & ((bucket_chunk_size * chunks) - 1);
    }
    // The bucket `hash` leads to when this process has resolved its bucket
    // chunk already, else null: for hints, which must neither throw nor touch
    // the file. A table that doubles meanwhile only makes the hint a wrong one.
    const char *resolved_bucket(std::int64_t hash) const noexcept {
        const std::uint64_t index = bucket_index(hash, chunks_in_use());
        const std::uint64_t j = index >> bucket_shift;
        if (j >= reachable_chunks) return nullptr;
        // Acquire pairs with the release store that filled the slot.
        const char *chunk = __atomic_load_n(&chunk_cache[j], __ATOMIC_ACQUIRE);
        if (chunk == nullptr) return nullptr;
        return chunk + (index & (bucket_chunk_size - 1)) * sizeof(Bucket);
    }
    // Hint: starts loading the bucket `hash` leads to.
    void prefetch_bucket(std::int64_t hash) const noexcept {
        const char *bucket = resolved_bucket(hash);
        if (bucket == nullptr) return;
        __builtin_prefetch(bucket, 1);
        __builtin_prefetch(bucket + sizeof(Bucket) - 1, 1);
    }
    // Hint, some time after prefetch_bucket: starts loading the bucket's first
    // entry link and the entry chunk beside it. The head is read without the
    // bucket's lock, by an atomic load of the aligned word that holds its low
    // six bytes (no write pairs with it: a head changed meanwhile, or one not
    // yet loaded, only makes the prefetch a wasted one).
    void prefetch_entries(std::int64_t hash) const noexcept {
        const char *bucket = resolved_bucket(hash);
        if (bucket == nullptr) return;
        const std::int64_t head =
            atomics::load_field48(bucket + offsetof(Bucket, entries) + offsetof(ChunkArray, head));
        if (head < static_cast<std::int64_t>(kFirstChunk + kChunkHeaderLength) ||
            static_cast<std::uint64_t>(head) >= capacity) {
            return;
        }
        const char *link_header = base + head - kChunkHeaderLength;
        for (std::uint64_t at = 0; at < ChunkPool::pair_span(kEntryChunkSize); at += kCacheLine) {
            __builtin_prefetch(link_header + at, 1);
        }
    }

    // ---- entry operations (entry_operations.cpp) ----------------------------
    void insert(const signed char *key, const signed char *value, std::uint64_t key_length,
                std::uint64_t value_length, std::int64_t hash);
    bool get(const signed char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &sink);
    bool remove(const signed char *key, std::uint64_t key_length, std::int64_t hash);
    void help_expand_after_insert();

    // ---- expansion (expansion.cpp) ------------------------------------------
    bool join_locked();    // insert's gate: load rule, room, bound; under expansion_lock
    bool join_unlocked();  // the entry points' gate
    // What a participant's part in an expansion came to.
    enum class Part { split, nothing_to_do, no_room };
    Part expansion_worker();
    // `stand_in` is set when this thread took over the claim of a process that
    // died counted as a participant: it then leaves for both.
    Part take_part(std::uint64_t chunks, bool &stand_in);
    Part claim_and_build(std::uint64_t chunks, bool &stand_in);
    bool take_over_claim(std::uint64_t chunks, std::int64_t cursor, bool &stand_in);
    bool build_new_chunks(std::uint64_t chunks);
    void clear_forwards(std::uint64_t chunks);
    // insert's wait on a bucket that an expansion marked: heals a mark left
    // behind by an expansion that ended without clearing it, and gives up
    // when the expansion stops making progress.
    void after_waiting_on_mark(Bucket *bucket, std::uint64_t waits, ExpansionProgress &progress);
    void split_bucket(std::uint64_t index, std::uint64_t chunks);
    void leave_expansion(std::uint64_t chunks, std::int64_t participants);
    bool doubling_fits(std::uint64_t chunks) const { return chunks <= reachable_chunks / 2; }
    bool has_room_for_expansion(std::uint64_t chunks);
    std::uint64_t expansion_workers() const {
        return static_cast<std::uint64_t>(atomics::load_field48(expansion_workers_word));
    }
};

// Chunks that `length` elements fill, `per_chunk` to a chunk.
inline std::uint64_t chunks_for(std::uint64_t length, std::uint64_t per_chunk) {
    return length / per_chunk + (length % per_chunk != 0);
}

// A bucket with no entry that owns its first entry chunk (the link at
// `entry_link`); the lock free and no `forward`.
inline void write_empty_bucket(Bucket *bucket, Offset entry_link) {
    std::memset(static_cast<void *>(bucket), 0, sizeof(Bucket));
    bucket->entries.head = entry_link;
    bucket->entries.chunk_count = 1;
    bucket->entries.per_chunk = static_cast<std::uint8_t>(kEntriesPerChunk);
}

// Entry `index` of a list, in the entry chunk that `link` carries.
inline MapEntry *entry_in(const ConcurrentHashMap_string::Impl &m, ChunkLink *link, std::uint64_t index) {
    char *chunk = m.payload_of(link, kEntryChunkSize);
    return reinterpret_cast<MapEntry *>(chunk + (index % kEntriesPerChunk) * sizeof(MapEntry));
}

inline char *lock_word(Bucket *bucket) { return reinterpret_cast<char *>(bucket) + offsetof(Bucket, lock); }
inline char *forward_word(Bucket *bucket) { return reinterpret_cast<char *>(bucket) + offsetof(Bucket, forward); }

}  // namespace zorvik
