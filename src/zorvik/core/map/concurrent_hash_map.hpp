// ConcurrentHashMap_string: the hash map over byte-string keys and values that
// every dictionary object owns, kept in a shared segment so that any number of
// threads in any number of processes can use one map at once.
//
// This header is the core's exported interface (used by the Python binding
// and open to other native code), and the only core header a host of
// dictionaries needs: it also brings the host hooks (segment/host.hpp:
// waits, allocation, shutting down), the exceptions a wait can end in
// (segment/wait_errors.hpp) and those about the file
// (segment/file_errors.hpp), and gives the defaults of a new map's shape.
// The operator's functions on a file are upkeep/upkeep.hpp's. The layout in
// the segment is map_layout.hpp; the protocol essays are at the top of
// entry_operations.cpp and expansion.cpp.
//
// Failures are thrown as standard exceptions:
//   std::invalid_argument  rejected constructor arguments, or a file that does
//                          not hold a map (the message names the path)
//   std::bad_alloc         the segment could not be opened ("bad allocation"),
//                          or host memory ran out
//   std::runtime_error     platform and allocation failures, "operation on
//                          empty chunks!", a lock word that names no process
//                          (LockHeldByNoProcess), a file that a repair holds
//                          (FileBeingRepaired, from the name constructor)
//   SpaceExhausted         (a std::runtime_error) the segment or the file system
//                          has no room for what an operation stores
//   FileError              (a std::system_error) a path given to the path
//                          constructor that cannot be opened or created
//                          (errno EBUSY while a repair holds it)
//   std::out_of_range      "offset overflow!" for a broken bucket structure
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zorvik/core/segment/export.hpp"
#include "zorvik/core/segment/file_errors.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/wait_errors.hpp"

namespace zorvik {

class MapState;

// The numbers a constructor takes: the shape of a map it creates (an attach
// takes the shape from the file). A table of 2^bucket_chunk_size_exponent
// buckets that can double until it has bucket_chunk_number chunks of them
// (up to the largest power of two not above it), `size` usable bytes, and
// data chunks of 2^string_chunk_size_exponent - 2 bytes rounded up to 8.
// What makes a map a cache, kept in its file so that every process that
// opens it obeys the same rules: bounds (0 for none), the eviction policy
// and the TTL of entries stored without one (0 for none).
struct CacheSettings {
    enum class Policy : std::uint8_t { lru = 1, lfu = 2, random = 3, ttl = 4 };
    Policy policy = Policy::lru;
    std::uint64_t max_entries = 0;
    std::uint64_t max_bytes = 0;
    std::uint64_t default_ttl_ms = 0;
    bool operator==(const CacheSettings &) const = default;
};
// A cache's counts since its file was made (all processes): those in the
// file's record plus this process's not yet added there, and the bytes its
// entries take.
struct CacheStats {
    std::uint64_t hits = 0;         // gets and lookups that found the key
    std::uint64_t misses = 0;       // gets and lookups that did not
    std::uint64_t sets = 0;         // stores
    std::uint64_t evictions = 0;    // entries removed to keep a bound
    std::uint64_t expirations = 0;  // expired entries removed
    std::uint64_t bytes = 0;        // bytes the entries take in the file (what max_bytes bounds)
    bool operator==(const CacheStats &) const = default;
};
// The longest TTL an entry can have: deadlines are kept in 47 bits of
// milliseconds, and a TTL of 100 years leaves them room for centuries.
inline constexpr std::uint64_t kMostTtlMs = std::uint64_t{100} * 366 * 24 * 3600 * 1000;

struct MapArguments {
    std::uint8_t bucket_chunk_size_exponent;
    std::uint64_t bucket_chunk_number;
    std::uint64_t size;
    std::uint8_t string_chunk_size_exponent;
    // The serializer a new map is made for, recorded in its header (up to
    // kSerializerNameLength bytes); empty records none.
    std::string_view serializer{};
    // A map created with settings is a cache (an attach takes the file's).
    std::optional<CacheSettings> cache{};
};
// The longest serializer name a header records.
inline constexpr std::size_t kSerializerNameLength = 8;
// Arguments for an attach, where the map's shape comes from the file: they
// only have to pass the argument checks (a size above 0, a string chunk size
// exponent from 3 to 7, a bucket chunk number above 0).
inline constexpr MapArguments kAttachArguments{2, 2, 2, 3};

// ---- the defaults of a new map's shape -----------------------------------------

// The load rule: an insert that finds more than this many entries per bucket,
// on average over the table in force, joins an expansion that doubles it.
inline constexpr std::uint64_t kDoublingLoad = 2;

// Data chunks of 2^5 - 2 bytes rounded up to 8: 32, in either default shape.
inline constexpr std::uint8_t kDefaultChunkSizeExponent = 5;

// The shape of a new map whose creator names it by the constructor's numbers
// and gives none: 2^20 buckets, up to 100 bucket chunks of them, 650,000,000
// usable bytes.
inline constexpr MapArguments kDefaultArguments{20, 100, 650000000, kDefaultChunkSizeExponent};

// The shape of a new map whose creator names it by a capacity and a first
// table (the Python class SharedDict), and gives none; defaults that suit
// most users. A new map starts with 1,024 buckets (56 KiB of buckets and
// 1,024 entry chunks of 192 bytes with their links: about 250 KiB of pages
// touched) and doubles by itself up to 2^28 buckets, room for more than 500
// million entries at two a bucket. Its capacity, the usable size of its file,
// is 1 TiB: the file is sparse, so only what is written takes memory or disk,
// and tmpfs and ext4 take a file that long.
inline constexpr std::uint64_t kDefaultCapacity = std::uint64_t{1} << 40;
inline constexpr std::uint64_t kDefaultInitialBuckets = 1024;
// Doublings a table can make by default: 2^18 chunks of the first table's
// size, whose chunk table is 2 MiB of the file (a page of it touched per 512
// chunks) and whose chunk cache in each process 2 MiB of address space.
inline constexpr unsigned kDefaultDoublings = 18;

// Where get puts a found value's bytes. reserve(length) is called once, with
// the bucket's lock held, and returns memory for `length` bytes (null when
// none can be had: get then throws std::bad_alloc); abandon() is called when
// the copy fails after a successful reserve. Lets a host receive the value
// in its own object without an intermediate buffer.
class ValueSink {
public:
    virtual char *reserve(std::uint64_t length) = 0;
    virtual void abandon() noexcept = 0;

protected:
    ~ValueSink() = default;
};

// Where a scan puts the entries of the buckets it visits, one entry at a
// time under its bucket's lock: for each entry, reserve(key, n) and then
// reserve(value, m) for the parts the sink was made to want, then commit();
// a reserve that returns null (no memory) ends the scan with std::bad_alloc,
// after abandon() (also called when a copy fails) has dropped the entry's
// parts reserved so far.
class EntrySink {
public:
    enum class Part : std::uint8_t { key, value };
    EntrySink(bool keys, bool values) : keys_(keys), values_(values) {}
    bool wants(Part part) const { return part == Part::key ? keys_ : values_; }
    virtual char *reserve(Part part, std::uint64_t length) = 0;
    virtual void commit() = 0;
    virtual void abandon() noexcept = 0;

protected:
    ~EntrySink() = default;

private:
    bool keys_;
    bool values_;
};

// ---- batches ---------------------------------------------------------------

// One key of a batch: its bytes and its hash.
struct BatchKey {
    std::string_view key;
    std::int64_t hash;
};

// One store of a batch.
struct BatchItem {
    std::string_view key;
    std::string_view value;
    std::int64_t hash;
};

// Where get_many puts the values it finds: reserve(index, length) for the key
// at `index` of the batch, called as ValueSink::reserve is (once per found
// key, with its bucket's lock held; null: std::bad_alloc), abandon(index)
// when the copy into what it reserved fails.
class BatchSink {
public:
    virtual char *reserve(std::size_t index, std::uint64_t length) = 0;
    virtual void abandon(std::size_t index) noexcept = 0;

protected:
    ~BatchSink() = default;
};

// How the constructor that takes a path opens it.
enum class OpenMode : std::uint8_t {
    open,            // the file must exist and hold a map (FileError ENOENT)
    create,          // the file must not exist (FileError EEXIST)
    open_or_create,  // opens the file, or creates it when there is none: of
                     // processes racing to create one path, one creates it and
                     // the others open it
};

// What stats() reads: the shared counters, the allocator's record and the
// file's length, each read on its own (no lock holds them together).
struct MapStats {
    std::uint64_t entries;          // the stored entry count
    std::uint64_t buckets;          // buckets of the table in force
    std::uint64_t largest_buckets;  // buckets of the largest table the map can double to
    std::uint64_t capacity;         // usable bytes of the segment
    std::uint64_t allocated;        // of them, bytes cut for chunks and blocks (free lists included)
    std::uint64_t file_length;      // bytes of the file (sparse: mostly unstored)
    std::uint8_t data_chunk_size;   // bytes of one data chunk
    std::uint64_t free_listed;      // of `allocated`, bytes of the free chunks on the free lists (an estimate)
};

class ZORVIK_EXPORT ConcurrentHashMap_base {
public:
    virtual ~ConcurrentHashMap_base() = default;

    // Runs this thread's part of an expansion (claiming one when none is in
    // progress) until no bucket is left to hand out, then leaves it. The caller
    // has passed a join gate, so its participation is already counted.
    virtual void expansion_worker() = 0;

    // Unlocked join gate on this map object, then expansion_worker. `target` is
    // accepted and not consulted.
    void python_expansion_helper(std::uint64_t target);

protected:
    // Unlocked join gate: admits the caller (counting it in expansion_workers)
    // when at most 4096 participants are inside and the doubled table fits.
    virtual bool join_unlocked() = 0;
};

class ZORVIK_EXPORT ConcurrentHashMap_string final : public ConcurrentHashMap_base {
public:
    // Empty `name`: creates a new map in a new segment file and writes the
    // file's path into `name`. Otherwise attaches to the map in the file at
    // that path, whose shape then replaces the numeric arguments.
    ConcurrentHashMap_string(std::string &name, std::uint8_t bucket_chunk_size_exponent,
                             std::uint64_t bucket_chunk_number, std::uint64_t size,
                             std::uint8_t string_chunk_size_exponent);
    // The map at `path`, opened or created as `mode` says; a map it creates
    // is shaped by `arguments` and is linked into place only once complete.
    // Throws FileError for a path that cannot be opened or created,
    // std::invalid_argument (naming the path) for a file that holds no map.
    ConcurrentHashMap_string(const std::string &path, OpenMode mode, const MapArguments &arguments);
    // Releases this process's hold on the segment; the file and entries stay.
    ~ConcurrentHashMap_string() override;

    ConcurrentHashMap_string(const ConcurrentHashMap_string &) = delete;
    ConcurrentHashMap_string &operator=(const ConcurrentHashMap_string &) = delete;

    // Stores `value` under `key`, replacing the value of an existing entry.
    void insert(const signed char *key, const signed char *value, std::uint64_t key_length,
                std::uint64_t value_length, std::int64_t hash);
    // True and a copy of the value in `buffer` (from host::malloc, `length` + 1
    // bytes, at least 1; the caller frees it with host::free) when the key is
    // present; false with both out-parameters untouched otherwise.
    bool get(const signed char *key, std::uint64_t key_length, std::int64_t hash, signed char *&buffer,
             std::int64_t &length);
    // The same lookup, handing the value to `sink`; false when absent (the
    // sink is not called then).
    bool get(const signed char *key, std::uint64_t key_length, std::int64_t hash, ValueSink &sink);
    // True when an entry for the key was present and is now removed.
    bool remove(const signed char *key, std::uint64_t key_length, std::int64_t hash);

    // ---- operations with a result, each under the one lock of the key's
    // bucket (and of its partner while an expansion splits it); values are
    // compared by their bytes, and an absent optional stands for "no entry".

    // True when an entry for the key is present.
    bool contains(std::string_view key, std::int64_t hash);
    // When the key's value is `expected` (no entry, for nullopt), makes it
    // `desired` (removes the entry, for nullopt) and returns true; false,
    // changing nothing, otherwise.
    bool compare_and_set(std::string_view key, std::int64_t hash, std::optional<std::string_view> expected,
                         std::optional<std::string_view> desired);
    // Stores `value` under the key when it has no entry and returns true;
    // otherwise hands the present value to `existing` and returns false.
    bool insert_if_absent(std::string_view key, std::string_view value, std::int64_t hash, ValueSink &existing);
    // Removes the key's entry, handing its value to `value` first; false
    // (the sink not called) when absent.
    bool take(std::string_view key, std::int64_t hash, ValueSink &value);

    // ---- a cache's expiry (a map made with CacheSettings) -----------------------
    // In a cache, an entry whose deadline has passed is absent to every
    // operation, and its space comes back at the next operation on its
    // bucket. Every store gives its entry the cache's default TTL; these
    // say otherwise. A TTL is in milliseconds, 1 to kMostTtlMs; std::nullopt
    // stands for the default TTL (set) or for none (expire). On a plain map
    // they throw std::invalid_argument.
    // Stores `value` under `key` with `ttl_ms` from now.
    void insert_with_ttl(std::string_view key, std::string_view value, std::int64_t hash,
                         std::optional<std::uint64_t> ttl_ms);
    // Milliseconds the entry has left (std::nullopt for no deadline); false
    // when the key is absent.
    bool ttl_left(std::string_view key, std::int64_t hash, std::optional<std::uint64_t> &left_ms);
    // Gives the entry a new TTL from now (std::nullopt: none); false when absent.
    bool expire(std::string_view key, std::int64_t hash, std::optional<std::uint64_t> ttl_ms);
    // Marks the entry used now, without reading its value; false when absent.
    bool touch(std::string_view key, std::int64_t hash);
    // The cache's settings, std::nullopt for a plain map.
    std::optional<CacheSettings> cache_settings() const;
    // The cache's counts, std::nullopt for a plain map.
    std::optional<CacheStats> cache_stats() const;

    // ---- whole-table operations: one bucket at a time, each under its lock
    // (and its partner's while an expansion splits it), no lock held between
    // two buckets, so they never stop other processes for long.

    // Hands the entries of the buckets from `cursor` on to `sink`, visiting
    // at most `buckets` buckets (at least one), and returns the cursor to go
    // on from: 0 once every bucket has been visited. A scan from 0 to 0
    // hands over every entry present from its start to its end exactly once,
    // also when the table doubles meanwhile (the cursor runs in reversed-bit
    // order, as entry_operations.cpp explains); entries stored or removed
    // meanwhile may or may not be handed over.
    std::uint64_t scan(std::uint64_t cursor, EntrySink &sink, std::uint64_t buckets);
    // Removes one entry, handing its key and value to `sink`: the first found
    // from `cursor` on, all round the table; `cursor` becomes where to look
    // next time. False when no bucket held an entry.
    bool take_any(std::uint64_t &cursor, EntrySink &sink);
    // Removes every entry present from the start of the call to its end.
    // Between groups of buckets it asks the host whether to stop
    // (host::stop_if_interrupted): it then throws host::Interrupted, the
    // buckets before emptied.
    void clear();

    // ---- batches: many keys per call. Each key is its own operation, exactly
    // the single-key operation on it (the same locks, results and failures),
    // done in the batch's order, one bucket lock at a time; what makes a batch
    // faster is that the cache misses of the next keys' buckets and entry
    // chunks are started while the current key is worked on
    // (batch_operations.cpp). A batch is not a transaction: other threads and
    // processes may see some of its keys done and others not yet. A failure
    // at one key (what the single operation throws) leaves the keys before it
    // done and the others untouched.

    // get for every key: the values of the keys present go to `values`.
    void get_many(std::span<const BatchKey> keys, BatchSink &values);
    // contains for every key; found[i] is key i's result (found.size() ==
    // keys.size()).
    void contains_many(std::span<const BatchKey> keys, std::span<bool> found);
    // remove for every key; removed[i] is key i's result. A key given twice
    // is removed by its first occurrence.
    void remove_many(std::span<const BatchKey> keys, std::span<bool> removed);
    // insert for every item, in order: of two items with one key, the later
    // one's value stays.
    void insert_many(std::span<const BatchItem> items);

    MapStats stats() const;
    // Writes the segment's changed pages to the file and waits for them.
    // Throws FileError (with an empty path) when the system refuses.
    void flush() const;
    // Whether the path constructor created the map (false for an attach).
    bool created() const { return created_; }

    // A hint: starts loading the bucket `hash` leads to, so that a caller with
    // other work to do before the operation overlaps that cache miss with it.
    void prefetch_bucket(std::int64_t hash) const noexcept;
    // A later hint, once the bucket has had time to arrive: starts loading its
    // first entry chunk.
    void prefetch_entries(std::int64_t hash) const noexcept;

    void expansion_worker() override;

    // Shared state, read from the segment.
    std::uint64_t chunks_in_use() const;
    std::uint64_t entry_count() const;
    std::uint64_t bucket_chunk_size() const;
    std::uint64_t bucket_chunk_number() const;
    std::uint8_t data_chunk_size() const;
    // The serializer the file's header names; empty when it names none.
    std::string recorded_serializer() const;
    // The descriptor of the map's file, owned by the map, for a caller that
    // judges the file it maps (its owner and mode); -1 without a map.
    int file_descriptor() const;
    // This process's base address of the segment (the allocator's record).
    char *base() const;

    // The process-local state (map_internal.hpp); opaque outside the map.
    MapState *internals() const { return state_.get(); }

protected:
    bool join_unlocked() override;

private:
    // The state, or "operation on empty chunks!".
    MapState &state() const;

    std::unique_ptr<MapState> state_;
    bool created_ = false;
};

// Attaches to the map named `name`; if its chunks_in_use is below `target`,
// passes the unlocked join gate and runs expansion_worker; detaches on every
// exit. At most one expansion per call.
ZORVIK_EXPORT void python_expansion_helper_string(std::string name, std::uint64_t target);

}  // namespace zorvik
