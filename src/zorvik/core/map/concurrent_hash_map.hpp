// ConcurrentHashMap_string: the hash map over byte-string keys and values that
// every dictionary object owns, kept in a shared segment so that any number of
// threads in any number of processes can use one map at once.
//
// This header is the core's exported interface (used by the Python binding
// and open to other native code), and the only core header a host needs: it
// also brings the host hooks (segment/host.hpp: waits, allocation, shutting
// down) and the exceptions a wait can end in (segment/wait_errors.hpp). The
// layout in the segment is map_layout.hpp; the protocol essays are at the top
// of entry_operations.cpp and expansion.cpp.
//
// Failures are thrown as standard exceptions:
//   std::invalid_argument  rejected constructor arguments, or a file that does
//                          not hold a map (the message names the path)
//   std::bad_alloc         the segment could not be opened ("bad allocation"),
//                          or host memory ran out
//   std::runtime_error     platform and allocation failures, a full segment or
//                          file system, "operation on empty chunks!", a lock
//                          word that names no process (LockHeldByNoProcess)
//   std::out_of_range      "offset overflow!" for a broken bucket structure
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/wait_errors.hpp"

#define ZORVIK_EXPORT __attribute__((visibility("default")))

namespace zorvik {

class MapState;

// Constructor arguments for an attach, where the map's shape comes from the
// file: they only have to pass the argument checks (a size above 0, a string
// chunk size exponent from 3 to 7, a bucket chunk number above 0).
struct MapArguments {
    std::uint8_t bucket_chunk_size_exponent;
    std::uint64_t bucket_chunk_number;
    std::uint64_t size;
    std::uint8_t string_chunk_size_exponent;
};
inline constexpr MapArguments kAttachArguments{2, 2, 2, 3};

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
};

// Attaches to the map named `name`; if its chunks_in_use is below `target`,
// passes the unlocked join gate and runs expansion_worker; detaches on every
// exit. At most one expansion per call.
ZORVIK_EXPORT void python_expansion_helper_string(std::string name, std::uint64_t target);

}  // namespace zorvik
