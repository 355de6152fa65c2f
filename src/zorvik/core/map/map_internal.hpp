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
#include <optional>

#include "zorvik/core/alloc/chain.hpp"
#include "zorvik/core/alloc/chunk_pool.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/entry_metadata.hpp"
#include "zorvik/core/map/eviction_pool.hpp"
#include "zorvik/core/map/growth.hpp"
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
inline constexpr const char *kGrowthLockName = "growth lock";

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
// The process an incremental doubling's claim and end name (growth.cpp): no
// process has this id (Linux's ids stay below 2^22), so a version that knows
// only named claimers takes such a claim for one whose process has ended.
inline constexpr int kPhantomPid = static_cast<int>(kPidRange) - 1;
inline constexpr std::int64_t kPhantomClaim = kClaimedBy - kPhantomPid;
inline constexpr std::int64_t kPhantomEnder = kEndingBy - kPhantomPid;
// The cursor a finished expansion leaves: plain, and below every bucket.
inline constexpr std::int64_t kPlainCursor = -1;
// Buckets a participant takes from split_cursor at once: the range a-15 .. a
// below the value a it found. Every participant of every process must use the
// same batch, or two would split the same buckets; 16 keeps the contended
// compare-and-swap on the shared cursor to one per 16 splits while leaving
// work for every participant of a table of a few chunks.
inline constexpr std::int64_t kSplitBatch = 16;
// The process id a cursor value names below `sentinel` (kClaimedBy or
// kEndingBy), 0 for none.
inline int pid_below(std::int64_t cursor, std::int64_t sentinel) {
    return cursor <= sentinel && cursor > sentinel - kPidRange ? static_cast<int>(sentinel - cursor) : 0;
}

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

// The chains of a new entry's key and value, filled and reachable from
// nowhere else yet: `key_chunks` links from `key_head`, `value_chunks` from
// `value_head` (the heads of empty chains included).
struct FilledEntry {
    Offset key_head;
    std::uint64_t key_chunks;
    std::uint64_t key_length;
    Offset value_head;
    std::uint64_t value_chunks;
    std::uint64_t value_length;
};

class MapState {
public:
    // Takes over `segment`, which holds a map of `shape` (its shared words are
    // filled in by the caller). Throws when the chunk cache cannot be had.
    MapState(Segment segment, const MapShape &shape);
    // Adds this process's cache counts to the record (cache_counts.cpp).
    ~MapState();
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

    // The free-listed count, plus one, when this map object last failed to
    // find a doubling's block among free chunks; 0 when it did not (a hint
    // for has_room_for_expansion, which tries again once more was freed).
    std::atomic<std::uint64_t> doubling_refused_at{0};
    // Gets step the doubling once per this many gets of a thread, while
    // no change of this map object has stepped for kGetStepQuiet (growth.cpp);
    // tests lower it.
    std::uint32_t get_step_interval = 256;
    // Whether changes and gets step the doubling; tests turn it off to hold
    // a doubling where they want it, and step it with grow().
    bool grows_by_steps = true;

    // The cache record (map_layout.hpp), null for a plain map; the settings
    // it held at attach, which no process changes after creation.
    CacheRecord *cache = nullptr;
    CacheSettings cache_settings;
    // The LFU counter's logarithmic factor and decay period in minutes, as
    // the record gives them (0: lfu_counter.hpp's defaults).
    std::uint8_t lfu_log_factor = 0;
    std::uint16_t lfu_decay_minutes = 0;
    // This process's eviction candidates (eviction.cpp).
    EvictionPool eviction_pool;
    // The extension names a cache record that fails the attach's checks
    // (read_map set it aside for the operator's check, which reports it).
    bool cache_damaged = false;

    // The incremental doubling's process-local side.
    GrowthLocal growth;
    // The header's `extension` names no record (read_map set it aside).
    bool extension_damaged = false;
    // The header carries the repair mark (read_map accepted it).
    bool repair_marked = false;

    // ---- shared words -------------------------------------------------------
    // chunks_in_use only ever doubles, under expansion_lock; an acquire load.
    std::uint64_t chunks_in_use() const {
        return static_cast<std::uint64_t>(atomics::load_field48(chunks_in_use_word));
    }
    std::uint64_t entry_count() const {
        return static_cast<std::uint64_t>(atomics::load_field48(entry_count_word));
    }
    // Seq_cst; the count is only an input of the load rule, so nothing
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

    // ---- a cache (cache.cpp) --------------------------------------------------
    // What a store writes into a cache's entry: the clock it read and the
    // deadline it gives (0: none). `cache` is false in a plain map, which
    // writes no metadata and reads no clock.
    struct StoreStamp {
        bool cache = false;
        std::uint64_t now_us = 0;
        std::uint64_t deadline_ms = 0;
    };
    // The stamp of a store now with `ttl_ms` (std::nullopt: the cache's
    // default TTL). Throws std::invalid_argument for a TTL in a plain map.
    StoreStamp store_stamp(std::optional<std::uint64_t> ttl_ms) const;
    // The clock a cache operation judges expiry by, in microseconds (0 in a
    // plain map, where nothing expires). Inline: every get of a plain map
    // asks it.
    std::uint64_t expiry_clock() const { return cache == nullptr ? 0 : wall_clock_us(); }
    // Makes this map the cache `record` describes, with the `settings` read
    // from it (at creation or attach, before any operation runs).
    void take_cache(CacheRecord *record, const CacheSettings &settings);
    // The cache's settings, after a check that the map is one
    // (std::invalid_argument naming `operation` when it is not).
    const CacheSettings &require_cache(const char *operation) const;

    // ---- eviction (eviction.cpp) ----------------------------------------------
    // Makes room for one entry in a cache bounded by max_entries: removes
    // the entry the policy picks among a few sampled buckets, or expired
    // entries met while sampling. Takes one bucket lock at a time; the
    // caller holds none. False when it found nothing to remove.
    bool evict_one(std::uint64_t now_us);
    // Active expiry (expiry_sweep.cpp): settles the next few buckets the
    // shared hand names, more while it finds expired entries there; called
    // by every change of a cache, with no lock held. Returns the entries it
    // removed. Never throws what it meets (the operations that need a
    // broken bucket report it).
    std::uint64_t sweep_expired(std::uint64_t now_us);
    // Whether a cache must make room before a store adds `entries` (0 or
    // 1) entries and `bytes` bytes (max_entries, max_bytes).
    bool needs_room(std::uint64_t entries, std::int64_t bytes) const {
        return (entries != 0 && cache_settings.max_entries != 0 && entry_count() >= cache_settings.max_entries) ||
               (bytes > 0 && cache_settings.max_bytes != 0 &&
                cache_bytes() + static_cast<std::uint64_t>(bytes) > cache_settings.max_bytes);
    }

    // ---- a cache's counts (cache_counts.cpp) -----------------------------------
    // Hits, misses, stores, evictions and expirations are counted in this
    // process and added to the record's counters in batches: whenever one
    // of them reaches kCountsBatch, and at close, never per operation, so
    // counting costs no shared write. What a process killed had not added is lost.
    enum class Count { hits, misses, sets, evictions, expirations };
    void count(Count what, std::uint64_t n = 1);
    // Adds this process's counts to the record (a forked child first drops
    // the ones it inherited: its parent adds them).
    void add_counts_to_record();
    // The record's counts plus this process's, and the bytes in use.
    CacheStats cache_stats() const;

    // ---- a cache's bytes (cache.cpp) ------------------------------------------
    // What max_bytes bounds: the bytes the entries take in the file, each
    // its share of an entry chunk with its link and a link and data chunk
    // per data chunk of its key and value (the bucket table is not counted).
    // The count in the record is raised by an append and an adoption,
    // changed by a replace, lowered by a remove (evictions and expiry are
    // removes), each once committed; a process killed between a commit and
    // its count leaves it off by that entry, which the offline repair
    // recounts.
    //
    // The bytes of an entry with `data_chunks` data chunks, and of
    // `data_chunks` data chunks alone.
    std::int64_t entry_bytes(std::uint64_t data_chunks) const;
    std::int64_t chunk_bytes(std::uint64_t data_chunks) const;
    // The record's count (0 in a plain map).
    std::uint64_t cache_bytes() const;
    // Adds to the record's count; nothing in a plain map.
    void add_cache_bytes(std::int64_t delta);

    // ---- entry operations (entry_operations.cpp) ----------------------------
    // Brings a locked bucket of a cache up to date at `now_us`: its expired
    // entries removed, its entries without metadata adopted. Returns the
    // number removed.
    std::uint64_t settle(Bucket *bucket, std::uint64_t now_us);
    // Removes the entry of the key when its metadata is still `seen` (an
    // eviction's candidate no hit, store or expire has changed since it was
    // chosen); false when it is gone or was used meanwhile.
    bool evict_entry(const char *key, std::uint64_t key_length, std::int64_t hash, const EntryUse &seen);
    // A store; `ttl_ms` as store_stamp takes it.
    void insert(const char *key, const char *value, std::uint64_t key_length, std::uint64_t value_length,
                std::int64_t hash, std::optional<std::uint64_t> ttl_ms = std::nullopt);
    // What insert_filled did with the chains it was given.
    struct FilledInsert {
        bool replaced = false;             // the key was there: only the value's chain was taken
        bool appended_to_entries = false;  // a new key, in a bucket that held entries (after_change)
        Chain old_value;                   // replaced: the value's chain before, now the caller's
        ChunkLink *old_value_last = nullptr;
    };
    // An insert whose key and value chains are already `filled` (process-
    // private chains of the data pool's): they are linked in as insert links
    // its own. Throws only before anything changes, leaving every chain the
    // caller's. Does not step the growth: the caller calls after_change.
    // Plain maps only: a cache's store stamps, bounds and counts go through
    // insert.
    FilledInsert insert_filled(const char *key, std::uint64_t key_length, std::int64_t hash,
                               const FilledEntry &filled);
    // Fills the data links from `head` (a chain of the data pool's, taken and
    // not linked anywhere) with a key and its value, as an append would;
    // `after` receives the `next` of the last link filled.
    FilledEntry fill_new_entry(Offset head, const char *key, std::uint64_t key_length, const char *value,
                               std::uint64_t value_length, Offset &after) const;
    // Expiry of one entry (cache maps): the ConcurrentHashMap_string methods.
    bool ttl_left(const char *key, std::uint64_t key_length, std::int64_t hash, std::optional<std::uint64_t> &left);
    bool expire(const char *key, std::uint64_t key_length, std::int64_t hash, std::optional<std::uint64_t> ttl_ms);
    bool touch(const char *key, std::uint64_t key_length, std::int64_t hash);
    bool get(const char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &sink);
    bool remove(const char *key, std::uint64_t key_length, std::int64_t hash);
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

    // ---- expansion (expansion.cpp): the gates and the split ------------------
    // The entry points' gate: the chunks_in_use of the doubling the caller
    // joined (it is counted in expansion_workers), or 0 when refused.
    std::uint64_t join_unlocked();
    // Counts a participant in the expansion from `chunks`; under expansion_lock.
    std::uint64_t admit(std::uint64_t chunks);
    // What a participant's part in an expansion came to.
    enum class Part { split, nothing_to_do, no_room };
    // A participant's whole part: the doubling from `chunks` driven to its
    // end (growth.cpp), then the participant uncounted (when the gate
    // `counted` it) if the doubling has not ended.
    Part expansion_worker(std::uint64_t chunks, bool counted);
    // Reserves the file's blocks behind the chunk table's slots that the
    // expansion from `chunks` writes; false when the file system refuses.
    bool reserve_table_slots(std::uint64_t chunks);
    // The last bucket of the next batch of 16, or -1 when all are handed out.
    std::int64_t take_batch();
    // What split_bucket found or did.
    enum class Split { done_now, done_before, over };
    // Splits bucket `index` for the expansion from `chunks` unless it is split
    // (done_before) or the expansion has ended (over); takes the bucket's lock
    // (and its partner's).
    Split split_bucket(std::uint64_t index, std::uint64_t chunks);
    // The split itself; the bucket's lock is held.
    void split_locked(std::uint64_t index, std::uint64_t chunks, Bucket *bucket);
    // True when the locked bucket `index` is split for the expansion from `chunks`.
    bool is_split(std::uint64_t index, std::uint64_t chunks, Bucket *bucket);
    bool doubling_fits(std::uint64_t chunks) const { return chunks <= reachable_chunks / 2; }
    bool has_room_for_expansion(std::uint64_t chunks);

    // ---- the incremental doubling (growth.cpp) --------------------------------
    // The MapExtension's data, null while this process knows of none.
    char *extension() const { return extension_.load(std::memory_order_acquire); }
    // Records the extension found at attach or made at creation.
    void set_extension(char *record) { extension_.store(record, std::memory_order_release); }
    // The extension, made now when the file has none (null when the segment
    // has no room for it).
    char *extension_or_create();
    // The growth lock's word (in the extension), null without one.
    char *growth_lock_word() const;
    // At the end of every change, with no lock held: in a cache, sweeps a
    // few buckets for expired entries (sweep_expired); carries the doubling in
    // progress a bounded step on, or starts one when `appended` (the change
    // appended to a bucket that held entries) and the load rule asks for it.
    // Never throws what the growth meets (a failure is the growth's, not the
    // change's), never waits.
    void after_change(bool appended);
    // At the end of every get: now and then a step too (see get_step_interval).
    void after_get();
    // One step of `units` of work (growth.cpp), claiming a doubling when
    // `may_claim` and none runs, as a change's step does but whatever the
    // load. True when it did some work. Throws what the growth meets.
    bool grow(std::int64_t units, bool may_claim);
    // Drives the doubling from `chunks` to its end, its marks cleared,
    // claiming it when none runs and waiting (1 ms sleeps) where another
    // process holds what comes next. Throws what a split throws.
    Part drive_to_end(std::uint64_t chunks);
    // Where the doubling stands.
    GrowthPhase growth_phase();
    // For an offline repair: forgets the new buckets written for a doubling
    // that never published them (their block stays named, for the next build
    // to write again), so that nothing links the entry chunks they owned.
    // True when there were some.
    bool forget_unpublished_build();
    // The block of new buckets the extension names, and its length; false
    // when it names none (or none that lies inside the area).
    bool named_build_block(Offset &block, std::uint64_t &length) const;
    // For an offline repair of a file whose header names no sound extension
    // (extension_damaged): the header names none any more, and the next
    // doubling makes a new one.
    void forget_damaged_extension();

private:
    std::atomic<char *> extension_{nullptr};
    // This process's counts not yet in the record (Count's order), and the
    // process they were counted in.
    std::atomic<std::uint64_t> counts_[5] = {};
    std::atomic<int> counts_pid_{0};
    // The run of hand positions this process claimed last (its first) and
    // the next one to sweep; the first sweep finds itself past any run and
    // claims one.
    std::atomic<std::uint64_t> sweep_claimed_{0};
    std::atomic<std::uint64_t> sweep_next_{std::uint64_t{1} << 63};
    // The next hand position this process sweeps, claiming a new run of them
    // from the cache record's hand when its run is spent.
    std::uint64_t next_sweep_position();

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
