// What a bucket holds besides its entries: the intent word, which lets the
// next holder of a bucket's lock finish or undo a change that a process
// killed under the lock left half done; and the checked accessors of a
// locked bucket's entries that the entry operations, the repair and the
// expansion share.
//
// The intent word. A bucket's entry list (a ChunkArray) has a `per_chunk`
// byte, always 2, followed by 7 bytes of padding. Those 8 bytes (entries +
// 24) are the intent word, written with one store while the bucket's lock is
// held:
//
//   byte 0     per_chunk (2, unchanged)
//   byte 1     bits 0-3: the change in progress (Intent), bit 7: split done
//              (the running expansion has split this bucket)
//   bytes 2-7  the change's argument (48 bits)
//
// and the list's `scratch` word (entries + 32) holds a second argument where
// one is needed; its values stay below 2^48, so its top two bytes, which
// share an aligned word with `forward`, stay 0. Only the lock's holder reads
// or writes either word; a process that takes the lock over reads them after
// the takeover's full fence. Both words read 0 where no change is in
// progress, whichever version wrote the file. The protocols that use them are told at the top of
// entry_operations.cpp and expansion.cpp.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/atomics.hpp"

namespace zorvik {

enum class Intent : std::uint8_t {
    none = 0,
    append = 1,       // argument: the list's length before the new entry
    replace = 2,      // argument: Offset of the entry whose value is replaced
    remove = 3,       // argument: Offset of the entry removed; `scratch`: the length before
    split_moves = 4,  // argument: the partner's length before the moved entries
    split_stays = 5,  // argument: the number of entries that stay; `scratch`: their new list's head
};
inline constexpr std::uint8_t kIntentMask = 0x0F;
inline constexpr std::uint8_t kSplitDone = 0x80;
// Arguments are Offsets, lengths and counts, all below 2^47 (a mapping's size
// on x86-64), so 48 bits hold them.
inline constexpr std::uint64_t kIntentArgumentLimit = std::uint64_t{1} << 48;

struct IntentWord {
    Intent intent;
    bool split_done;
    std::uint64_t argument;
};

inline char *intent_word(Bucket *bucket) {
    return reinterpret_cast<char *>(bucket) + offsetof(Bucket, entries) + offsetof(ChunkArray, per_chunk);
}
inline const char *intent_word(const Bucket *bucket) {
    return reinterpret_cast<const char *>(bucket) + offsetof(Bucket, entries) + offsetof(ChunkArray, per_chunk);
}
static_assert(offsetof(ChunkArray, padding) == offsetof(ChunkArray, per_chunk) + 1,
              "the intent word's upper bytes are the padding after per_chunk");
static_assert(offsetof(ChunkArray, scratch) == offsetof(ChunkArray, per_chunk) + 8,
              "the intent word is 8 bytes, and the scratch word follows it");

inline IntentWord read_intent(const Bucket *bucket) {
    const std::uint64_t word = read_u64(intent_word(bucket));
    const auto tag = static_cast<std::uint8_t>(word >> 8);
    return IntentWord{static_cast<Intent>(tag & kIntentMask), (tag & kSplitDone) != 0, word >> 16};
}

// True when a change was left in progress (the hot path's one test after
// taking a lock: a byte of the bucket's own cache lines).
inline bool intent_pending(const Bucket *bucket) {
    return (static_cast<std::uint8_t>(intent_word(bucket)[1]) & kIntentMask) != 0;
}

// One store: the change, its argument and the split-done bit together.
inline void write_intent(Bucket *bucket, Intent intent, std::uint64_t argument, bool split_done) {
    const std::uint64_t tag = static_cast<std::uint8_t>(intent) | (split_done ? kSplitDone : 0);
    atomics::store_whole64(intent_word(bucket), kEntriesPerChunk | tag << 8 | argument << 16);
}
// The change in progress, keeping the split-done bit; returns the bit, for
// end_intent.
inline bool begin_intent(Bucket *bucket, Intent intent, std::uint64_t argument) {
    const bool split_done = read_intent(bucket).split_done;
    write_intent(bucket, intent, argument, split_done);
    return split_done;
}
inline void end_intent(Bucket *bucket, bool split_done) { write_intent(bucket, Intent::none, 0, split_done); }
inline void end_intent(Bucket *bucket) { end_intent(bucket, read_intent(bucket).split_done); }

// Clears an expansion's mark on a locked bucket: `forward` first, then the
// split-done bit (a mark without the bit reads as a split not yet done, which
// inserts treat safely; the bit without a mark means nothing).
inline void clear_split_mark(Bucket *bucket) {
    atomics::exchange_field48(reinterpret_cast<char *>(bucket) + offsetof(Bucket, forward), 0);
    const IntentWord word = read_intent(bucket);
    if (word.split_done) write_intent(bucket, word.intent, word.argument, false);
}

inline void set_list_scratch(Bucket *bucket, std::uint64_t value) {
    atomics::store_whole64(reinterpret_cast<char *>(bucket) + offsetof(Bucket, entries) + offsetof(ChunkArray, scratch),
                           value);
}

// Single-instruction stores of a list's or an array's fields: a process
// killed around one leaves the old or the new value.
inline void store_head(ChunkArray &array, Offset head) { atomics::store_whole64(&array.head, head); }
inline void store_length(ChunkArray &array, std::uint64_t length) { atomics::store_whole64(&array.length, length); }
inline void store_chunk_count(ChunkArray &array, std::uint64_t count) {
    atomics::store_whole64(&array.chunk_count, count);
}

// ---- a locked bucket's entries -------------------------------------------------------

// The chain of a locked bucket's entries, after the checks every walk of it
// relies on: two entries a chunk, at least one chunk, and chunks for every
// entry. A bucket that breaks them is reported as "offset overflow!" rather
// than walked.
inline Chain bucket_entries(const MapState &m, const ChunkArray &entries) {
    if (entries.per_chunk != kEntriesPerChunk || entries.chunk_count == 0 ||
        entries.length > std::numeric_limits<std::uint64_t>::max() / sizeof(MapEntry) ||
        entries.chunk_count < chunks_for(entries.length, kEntriesPerChunk)) {
        throw_offset_overflow();
    }
    return entry_chain(m.area, entries);
}

// Entry `index` of a bucket, in the entry chunk that `link` carries.
inline MapEntry *entry_slot(const MapState &m, const ChunkLink *link, std::uint64_t index) {
    char *chunk = m.area.bytes(link->chunk, kEntryChunkSize);
    return reinterpret_cast<MapEntry *>(chunk + (index % kEntriesPerChunk) * sizeof(MapEntry));
}

// Entry place `index` (< 2 x chunk_count, so possibly past the length) of a
// locked bucket, reached by a checked walk.
inline MapEntry *entry_place(const MapState &m, const ChunkArray &entries, std::uint64_t index) {
    return entry_slot(m, bucket_entries(m, entries).link_at(index / kEntriesPerChunk), index);
}

// The place among the first `places` entry places of a locked bucket's list
// whose Offset is `offset`, or null: an argument read from an intent word is
// only used once it is found to name one of the bucket's own places.
inline MapEntry *entry_named(const MapState &m, const ChunkArray &entries, Offset offset, std::uint64_t places) {
    const Chain list = bucket_entries(m, entries);
    std::uint64_t index = 0;
    for (ChunkLink *link : list.links()) {
        for (std::uint64_t k = 0; k < kEntriesPerChunk && index < places; ++k, ++index) {
            MapEntry *place = entry_slot(m, link, index);
            if (m.area.offset_of(place) == offset) return place;
        }
        if (index >= places) break;
    }
    return nullptr;
}

inline void zero_entry(MapEntry *entry) { std::memset(static_cast<void *>(entry), 0, sizeof(MapEntry)); }

}  // namespace zorvik
