// A cache's metadata of an entry, in the two words its paddings make
// (map_layout.hpp): each array's per_chunk byte followed by its 7 padding
// bytes.
//
//   K word (entry + 24)  byte 0 the key's per_chunk, byte 1 flags,
//                        bytes 2-7 the deadline: milliseconds since the Unix
//                        epoch, 0 for none
//   V word (entry + 64)  byte 0 the value's per_chunk, bytes 1-4 the access
//                        stamp (units of 64 microseconds), byte 5 the LFU
//                        counter, bytes 6-7 the LFU decay stamp (minutes)
//
//   flags  bit 0: the metadata is present. Bits 1-7 are 0.
//
// Each word is written with one store while the bucket's lock is held (the
// per_chunk byte rewritten with its own value), so a process killed around
// it leaves the old word or the new one. An append writes both with the
// entry, past the list's length, so they commit with it. A version without
// caches writes both paddings zero on its appends (flags 0: "no metadata";
// the first cache operation that meets the entry adopts it), keeps them on a
// replace, and moves them with the entry wherever it moves an entry.
//
// A replace that changes the deadline with the value stashes the new
// deadline in the bucket list's `scratch` word, with kDeadlineStash set, for
// the repair of a replace left half done (bucket_lock.cpp): that word's other
// uses (a remove's count, a split's head) stay below 2^47.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "zorvik/core/map/map_layout.hpp"
#include "zorvik/core/segment/atomics.hpp"
#include "zorvik/core/segment/layout.hpp"

namespace zorvik {

inline constexpr std::uint8_t kMetadataPresent = 0x01;
// Deadlines are below 2^47 ms (the year 6429), so that one fits the stash
// beside its mark, in the 48 bits the list's scratch word may use.
inline constexpr std::uint64_t kDeadlineLimit = std::uint64_t{1} << 47;
inline constexpr std::uint64_t kDeadlineStash = std::uint64_t{1} << 47;

inline char *k_word(MapEntry *entry) {
    return reinterpret_cast<char *>(entry) + offsetof(MapEntry, key) + offsetof(ChunkArray, per_chunk);
}
inline const char *k_word(const MapEntry *entry) {
    return reinterpret_cast<const char *>(entry) + offsetof(MapEntry, key) + offsetof(ChunkArray, per_chunk);
}
inline char *v_word(MapEntry *entry) {
    return reinterpret_cast<char *>(entry) + offsetof(MapEntry, value) + offsetof(ChunkArray, per_chunk);
}
static_assert(offsetof(MapEntry, key) + offsetof(ChunkArray, per_chunk) == 24 &&
                  offsetof(MapEntry, value) + offsetof(ChunkArray, per_chunk) == 64,
              "file format: the K word at entry + 24, the V word at entry + 64");

// What a cache keeps of an entry.
struct EntryMetadata {
    bool present = false;
    std::uint64_t deadline_ms = 0;  // 0: none
};

inline EntryMetadata read_metadata(const MapEntry *entry) {
    const std::uint64_t word = read_u64(k_word(entry));
    const bool present = ((word >> 8) & kMetadataPresent) != 0;
    return EntryMetadata{present, present ? word >> 16 : 0};
}

// Writes the K word of an entry (its deadline, 0 for none; < kDeadlineLimit),
// keeping the key's per_chunk byte.
inline void write_deadline(MapEntry *entry, std::uint64_t deadline_ms) {
    const std::uint64_t per_chunk = static_cast<std::uint8_t>(k_word(entry)[0]);
    atomics::store_whole64(k_word(entry), per_chunk | std::uint64_t{kMetadataPresent} << 8 | deadline_ms << 16);
}

// The stamp `now_us` makes (units of 64 us, wrapping).
inline std::uint32_t stamp_at(std::uint64_t now_us) { return static_cast<std::uint32_t>(now_us >> 6); }

// The access stamp of an entry (units of 64 microseconds, wrapping every 76
// hours), 0 for an entry without metadata.
inline std::uint32_t read_stamp(const MapEntry *entry) {
    return static_cast<std::uint32_t>(read_u64(reinterpret_cast<const char *>(entry) + offsetof(MapEntry, value) +
                                               offsetof(ChunkArray, per_chunk)) >>
                                      8);
}

// Writes the access stamp for `now_us`, keeping the value's per_chunk byte
// and the LFU bytes.
inline void write_stamp(MapEntry *entry, std::uint64_t now_us) {
    const std::uint64_t word = read_u64(v_word(entry));
    const std::uint64_t stamp = stamp_at(now_us);
    atomics::store_whole64(v_word(entry), (word & ~(std::uint64_t{0xFFFFFFFF} << 8)) | stamp << 8);
}

// What the V word keeps of an entry's use: the access stamp (LRU) and the
// LFU counter with the minute its decay was last counted from.
struct AccessMetadata {
    std::uint32_t stamp = 0;
    std::uint8_t lfu_counter = 0;
    std::uint16_t lfu_minutes = 0;
    bool operator==(const AccessMetadata &) const = default;
};

inline AccessMetadata read_access(const MapEntry *entry) {
    const std::uint64_t word = read_u64(reinterpret_cast<const char *>(entry) + offsetof(MapEntry, value) +
                                        offsetof(ChunkArray, per_chunk));
    return AccessMetadata{static_cast<std::uint32_t>(word >> 8), static_cast<std::uint8_t>(word >> 40),
                          static_cast<std::uint16_t>(word >> 48)};
}

// Writes the whole V word but the value's per_chunk byte, in one store.
inline void write_access(MapEntry *entry, const AccessMetadata &access) {
    const std::uint64_t per_chunk = static_cast<std::uint8_t>(v_word(entry)[0]);
    atomics::store_whole64(v_word(entry), per_chunk | std::uint64_t{access.stamp} << 8 |
                                              std::uint64_t{access.lfu_counter} << 40 |
                                              std::uint64_t{access.lfu_minutes} << 48);
}

// What an eviction saw of its candidate: removed only if it is unchanged
// (no hit, store or expire since).
struct EntryUse {
    AccessMetadata access;
    std::uint64_t deadline_ms = 0;
    bool operator==(const EntryUse &) const = default;
};

inline EntryUse read_use(const MapEntry *entry) { return EntryUse{read_access(entry), read_metadata(entry).deadline_ms}; }

// An entry whose deadline has come (at `now_ms`) is absent to every read.
inline bool is_expired(const MapEntry *entry, std::uint64_t now_ms) {
    const EntryMetadata metadata = read_metadata(entry);
    return metadata.deadline_ms != 0 && metadata.deadline_ms <= now_ms;
}

// Wall-clock time in microseconds: deadlines must mean the same moment in
// every process, and processes share no monotonic clock. A step of the
// system clock forward expires entries early, one back keeps them longer.
inline std::uint64_t wall_clock_us() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

}  // namespace zorvik
