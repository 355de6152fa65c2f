// The process-local side of a map: this process's hold on the segment, copies
// of the MapHeader (which never changes), the resolved addresses of bucket
// chunks, and the two chunk pools. Shared by the map's source files and,
// through operator_access.hpp, by the operator's room; not part of the
// exported interface (the public class holds it through a pointer to an
// incomplete type).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "zorvik/core/alloc/chain.hpp"
#include "zorvik/core/alloc/chunk_pool.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_layout.hpp"
#include "zorvik/core/segment/atomics.hpp"
#include "zorvik/core/segment/file_errors.hpp"
#include "zorvik/core/segment/segment.hpp"

namespace zorvik {

class ValueSink;
class EntrySink;

// Fixed-text exception: one object per process, created on first use and
// thrown as copies. ("offset overflow!" is the chain's, alloc/chain.hpp.)
const std::runtime_error &empty_chunks_exception();  // "operation on empty chunks!"

// Names of the segment's lock words, for the messages of failed waits.
inline constexpr const char *kBucketLockName = "bucket lock";
inline constexpr const char *kExpansionLockName = "expansion lock";

// While a claim marker is set, split_cursor (unused then) names the process
// that set it, so that a waiter can tell whether that process still exists:
//   a claimer building the new chunks:          kClaimedBy - pid
//   an ender clearing `forward` after doubling:  kEndingBy - pid
// Every other value is plain: the last bucket left to hand out (>= 0), or
// none (negative, down to -16: a batch is only taken from a value >= 0). The
// two markers lie far below every plain value, and within the 48 bits the
// cursor is handled in.
inline constexpr std::int64_t kClaimedBy = -(std::int64_t{1} << 44);
inline constexpr std::int64_t kEndingBy = -(std::int64_t{1} << 45);
inline constexpr std::int64_t kPidRange = std::int64_t{1} << 24;  // Linux process ids fit in 22 bits

// The numbers a map's shape is made of, as the MapHeader holds them.
struct MapShape {
    std::uint64_t bucket_chunk_size;  // B, a power of two
    std::uint64_t bucket_chunk_number;
    std::uint8_t data_chunk_size;
};

// This process's addresses of bucket chunks; null until resolved. Any thread
// may fill a slot (every thread computes the same address), with a release
// store that its readers' acquire loads pair with. The slots are host memory
// (host::calloc: the host accounts for it), zero until filled.
class ChunkCache {
public:
    // Throws std::runtime_error when the host has no memory for `slots`.
    explicit ChunkCache(std::uint64_t slots);
    ~ChunkCache();
    ChunkCache(const ChunkCache &) = delete;
    ChunkCache &operator=(const ChunkCache &) = delete;

    char *load(std::uint64_t j) const { return std::atomic_ref<char *>(slots_[j]).load(std::memory_order_acquire); }
    void store(std::uint64_t j, char *chunk) const {
        std::atomic_ref<char *>(slots_[j]).store(chunk, std::memory_order_release);
    }

private:
    char **slots_;
};

class MapState {
public:
    // Takes over `segment`, which holds a map of `shape` (its shared words are
    // filled in by the caller). Throws when the chunk cache cannot be had.
    MapState(Segment segment, const MapShape &shape);
    MapState(const MapState &) = delete;
    MapState &operator=(const MapState &) = delete;

    // First, so that it goes last: the pools give their chunks back into the
    // mapped segment before it is unmapped (and, for a creation that failed,
    // removed).
    Segment segment;
    Allocator base;
    ChunkArea area;  // every address taken from the file is checked against it
    std::uint64_t bucket_chunk_size;  // B, a power of two
    unsigned bucket_shift;            // log2(B)
    std::uint64_t bucket_chunk_number;
    std::uint64_t reachable_chunks;  // largest power of two <= bucket_chunk_number
    std::uint8_t data_chunk_size;    // a power of two: 8 to 128
    unsigned data_chunk_shift;       // log2(data_chunk_size)

    char *chunk_table = nullptr;  // bucket_chunk_number entries (field48 each)
    char *chunks_in_use_word = nullptr;
    char *expansion_workers_word = nullptr;
    char *expansion_lock_word = nullptr;
    char *split_cursor_word = nullptr;
    char *entry_count_word = nullptr;

    ChunkCache chunk_cache;
    // Links with entry chunks (two zeroed entries each) and with data chunks.
    ChunkPool entry_pool;
    ChunkPool data_pool;

    // Batches run their prefetch hints (batch_operations.cpp) on tables of at
    // least this many entries. Below it a table sits in a core's caches: an
    // entry with short keys and 100-byte values takes about 400 bytes with
    // its bucket share, entry slot, links and data chunks, so 4,096 of them
    // about 1.6 MiB, near a 2 MiB L2. Every link of a key's chain is a hit
    // there already, and the hints only add their own loads and checks
    // (core_bench: get_many 1.25x a get at 1,000 entries, 1.10x at 4,000,
    // 0.8 to 0.96x from 8,000 to 16,000, 0.6x from 64,000 on). The entry
    // count is only an estimate of the working set: one a concurrent change
    // or a repaired death left a little off changes nothing that matters.
    // Tests lower it to run the hints on small tables.
    std::uint64_t batch_hints_from = 4096;

    // When this map object last verified an expansion that others were still
    // counted in (steady clock ticks): verifications are spaced out.
    std::atomic<std::int64_t> last_verification{0};
    // The free-listed count, plus one, when this map object last failed to
    // find a doubling's block among free chunks; 0 when it did not (a hint
    // for has_room_for_expansion, which tries again once more was freed).
    std::atomic<std::uint64_t> doubling_refused_at{0};

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
    std::uint64_t expansion_workers() const {
        return static_cast<std::uint64_t>(atomics::load_field48(expansion_workers_word));
    }
    // The load rule (kDoublingLoad): whether the table of `chunks` chunks
    // holds more entries than it should before it doubles.
    bool past_doubling_load(std::uint64_t chunks) const {
        return kDoublingLoad * bucket_chunk_size * chunks < entry_count();
    }

    // Data chunks that `length` bytes fill (a shift, not a division: the
    // data chunk size is a power of two, which creation and attach make sure
    // of).
    std::uint64_t data_chunks(std::uint64_t length) const {
        return (length >> data_chunk_shift) + ((length & (data_chunk_size - 1)) != 0);
    }

    // `n` links from `pool` (entry_pool or data_pool); when the pool cannot
    // get them for lack of room, the other pool's cached links are given
    // back to the allocator first and the take made once more. Throws what
    // ChunkPool::take throws.
    Chain take_links(ChunkPool &pool, std::uint64_t n, ChunkPool::Refill refill = ChunkPool::Refill::group) {
        try {
            return pool.take(n, refill);
        } catch (const SpaceExhausted &) {
            if (!give_back_other_pool(pool)) throw;
        }
        return pool.take(n, refill);
    }
    // Gives the cached links of the pool that is not `pool` back to the
    // allocator; false when it holds none.
    bool give_back_other_pool(const ChunkPool &pool);

    // ---- buckets ------------------------------------------------------------
    // The address of bucket chunk j (< reachable_chunks), resolved from the
    // chunk table on first use. Throws "offset overflow!" when the table holds
    // no valid bucket chunk there.
    char *bucket_chunk(std::uint64_t j);
    // Offset stored in chunk table slot j (0, the claim marker 1, or a chunk).
    std::int64_t table_entry(std::uint64_t j) const { return atomics::load_field48(table_slot(j)); }
    char *table_slot(std::uint64_t j) const { return chunk_table + j * sizeof(Offset); }
    // Bytes of one bucket chunk.
    std::uint64_t bucket_chunk_bytes() const { return bucket_chunk_size * sizeof(Bucket); }

    // The bucket with index `index` (< B x chunks_in_use).
    Bucket *bucket_at(std::uint64_t index) { return bucket_in(bucket_chunk(index >> bucket_shift), index); }
    std::uint64_t bucket_index(std::int64_t hash, std::uint64_t chunks) const {
        return static_cast<std::uint64_t>(hash) & ((bucket_chunk_size * chunks) - 1);
    }
    // Hint: starts loading the bucket `hash` leads to.
    void prefetch_bucket(std::int64_t hash) const noexcept;
    // Hint, some time after prefetch_bucket: starts loading the bucket's first
    // entry link and the entry chunk beside it.
    void prefetch_entries(std::int64_t hash) const noexcept;
    // Hint, some time after prefetch_entries: starts loading the key's data
    // chunks (and, when `value`, the value's) of each entry in the bucket's
    // first entry chunk that has this hash.
    void prefetch_entry_data(std::int64_t hash, bool value) const noexcept;

    // ---- entry operations (entry_operations.cpp) ----------------------------
    void insert(const char *key, const char *value, std::uint64_t key_length, std::uint64_t value_length,
                std::int64_t hash);
    bool get(const char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &sink);
    bool remove(const char *key, std::uint64_t key_length, std::int64_t hash);
    void help_expand_after_insert();
    // Operations with a result (the public class says what each does).
    bool contains(const char *key, std::uint64_t key_length, std::int64_t hash);
    bool compare_and_set(const char *key, std::uint64_t key_length, std::int64_t hash, const char *expected,
                         std::uint64_t expected_length, const char *desired, std::uint64_t desired_length);
    bool insert_if_absent(const char *key, const char *value, std::uint64_t key_length, std::uint64_t value_length,
                          std::int64_t hash, ValueSink &existing);
    bool take(const char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &value);
    std::uint64_t scan(std::uint64_t cursor, EntrySink &sink, std::uint64_t buckets);
    bool take_any(std::uint64_t &cursor, EntrySink &sink);
    void clear();

    // ---- expansion (expansion.cpp) ------------------------------------------
    // The gates: the chunks_in_use of the expansion the caller joined (it is
    // counted in expansion_workers), or 0 when refused. insert's gate applies
    // the load rule and asks for room; the entry points' gate does neither.
    std::uint64_t join_locked();
    std::uint64_t join_unlocked();
    // Counts a participant in the expansion from `chunks`; under expansion_lock.
    std::uint64_t admit(std::uint64_t chunks, bool check_room);
    // What a participant's part in an expansion came to.
    enum class Part { split, nothing_to_do, no_room };
    // A joined participant's whole part: claim or wait for the new chunks,
    // split batches, leave (ending the expansion when it is done).
    Part expansion_worker(std::uint64_t chunks);
    Part take_part(std::uint64_t chunks);
    Part claim_and_build(std::uint64_t chunks);
    bool build_new_chunks(std::uint64_t chunks);
    // Reserves the file's blocks behind the chunk table's slots that the
    // expansion from `chunks` writes; false when the file system refuses.
    bool reserve_table_slots(std::uint64_t chunks);
    // The last bucket of the next batch of 16, or -1 when all are handed out.
    std::int64_t take_batch();
    // Splits bucket `index` for the expansion from `chunks` unless it is split
    // or the expansion has ended; takes the bucket's lock (and its partner's).
    void split_bucket(std::uint64_t index, std::uint64_t chunks);
    // The split itself; the bucket's lock is held.
    void split_locked(std::uint64_t index, std::uint64_t chunks, Bucket *bucket);
    // True when the locked bucket `index` is split for the expansion from `chunks`.
    bool is_split(std::uint64_t index, std::uint64_t chunks, Bucket *bucket);
    void leave_expansion(std::uint64_t chunks);
    bool verification_due();
    // Splits every bucket of the expansion from `chunks` that is not split yet.
    void finish_splits(std::uint64_t chunks);
    // Doubles the table, then clears the old buckets' marks. Every bucket is split.
    void end_expansion(std::uint64_t chunks);
    void clear_marks(std::uint64_t chunks);
    bool doubling_fits(std::uint64_t chunks) const { return chunks <= reachable_chunks / 2; }
    bool has_room_for_expansion(std::uint64_t chunks);

private:
    Bucket *bucket_in(char *chunk, std::uint64_t index) const {
        return reinterpret_cast<Bucket *>(chunk + (index & (bucket_chunk_size - 1)) * sizeof(Bucket));
    }
    // The bucket `hash` leads to when this process has resolved its bucket
    // chunk already, else null: for hints, which must neither throw nor touch
    // the file. A table that doubles meanwhile only makes the hint a wrong one.
    const Bucket *resolved_bucket(std::int64_t hash) const noexcept;
};

// A bucket with no entry that owns its first entry chunk (the link at
// `entry_link`); the lock free and no `forward`.
inline void write_empty_bucket(Bucket *bucket, Offset entry_link) {
    std::memset(static_cast<void *>(bucket), 0, sizeof(Bucket));
    bucket->entries.head = entry_link;
    bucket->entries.chunk_count = 1;
    bucket->entries.per_chunk = static_cast<std::uint8_t>(kEntriesPerChunk);
}

inline char *lock_word(Bucket *bucket) { return reinterpret_cast<char *>(bucket) + offsetof(Bucket, lock); }
inline char *forward_word(Bucket *bucket) { return reinterpret_cast<char *>(bucket) + offsetof(Bucket, forward); }

}  // namespace zorvik
