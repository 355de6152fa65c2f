// The physical floor of a lookup, for the batch benchmarks: the loads no
// lookup of a key can do without, and nothing else (no lock, no key compared,
// no value copied). Two floors: the bucket and its first entry chunk; and
// those with the first data chunk of the key's and of the value's chain. Each
// is timed one key at a time and with the batch's pipeline
// (batch_operations.cpp: groups of 8, hints three groups deep). Reads the
// map's records directly, without locks: for a benchmark on a map that
// nobody changes meanwhile.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"

namespace zorvik::bench {

// The bucket `hash` leads to and its first entry chunk.
struct Touched {
    const Bucket *bucket;
    const MapEntry *entries;  // two of them
};

inline Touched bucket_and_entries(MapState &m, std::int64_t hash) {
    const Bucket *bucket = m.bucket_at(m.bucket_index(hash, m.chunks_in_use()));
    const ChunkLink *link = m.area.link(bucket->entries.head);
    return {bucket, reinterpret_cast<const MapEntry *>(m.area.bytes(link->chunk, kEntryChunkSize))};
}

// Loads the bucket (its lock word and entry list) and the two entries' hashes
// of its first entry chunk; returns a sum of what it read, so that the
// compiler keeps the loads.
inline std::uint64_t touch_bucket_and_entries(MapState &m, std::int64_t hash) {
    const Touched t = bucket_and_entries(m, hash);
    return t.bucket->lock + static_cast<std::uint64_t>(t.entries[0].hash + t.entries[1].hash);
}

// Also the first byte of the key's and of the value's data of the entry with
// the hash, when it lies in the first entry chunk.
inline std::uint64_t touch_with_data(MapState &m, std::int64_t hash) {
    const Touched t = bucket_and_entries(m, hash);
    std::uint64_t sum = t.bucket->lock;
    for (std::uint64_t e = 0; e < kEntriesPerChunk; ++e) {
        const MapEntry &entry = t.entries[e];
        if (entry.hash != hash) continue;
        const ChunkLink *key = m.area.link(entry.key.head);
        const ChunkLink *value = m.area.link(entry.value.head);
        sum += static_cast<std::uint64_t>(*m.area.bytes(key->chunk, 1) + *m.area.bytes(value->chunk, 1));
    }
    return sum;
}

enum class Floor { bucket_and_entries, with_data };

inline std::uint64_t touch(MapState &m, std::int64_t hash, Floor floor) {
    return floor == Floor::bucket_and_entries ? touch_bucket_and_entries(m, hash) : touch_with_data(m, hash);
}

// The floor one key at a time (the processor still overlaps what it can of
// neighbouring keys: nothing orders them).
inline std::uint64_t floor_one_at_a_time(ConcurrentHashMap_string &map, std::span<const std::int64_t> hashes,
                                         Floor floor) {
    MapState &m = *map.internals();
    std::uint64_t sum = 0;
    for (std::int64_t hash : hashes) sum += touch(m, hash, floor);
    return sum;
}

// The floor with the batch's pipeline, `batch` keys a call as get_many takes
// them: step s hints the buckets of group s, the entry chunks of group s - 1
// and (for the second floor) the data of group s - 2, then loads group s - 3.
inline std::uint64_t floor_pipelined(ConcurrentHashMap_string &map, std::span<const std::int64_t> hashes,
                                     std::size_t batch, Floor floor) {
    constexpr std::size_t kGroup = 8;
    MapState &m = *map.internals();
    std::uint64_t sum = 0;
    for (std::size_t start = 0; start < hashes.size(); start += batch) {
        const std::span<const std::int64_t> part = hashes.subspan(start, std::min(batch, hashes.size() - start));
        const std::size_t n = part.size();
        const std::size_t groups = (n + kGroup - 1) / kGroup;
        auto group = [&](std::size_t g, auto &&each) {
            for (std::size_t i = g * kGroup; i < std::min(n, (g + 1) * kGroup); ++i) each(part[i]);
        };
        for (std::size_t step = 0; step < groups + 3; ++step) {
            if (step < groups) group(step, [&](std::int64_t h) { m.prefetch_bucket(h); });
            if (step >= 1 && step - 1 < groups) group(step - 1, [&](std::int64_t h) { m.prefetch_entries(h); });
            if (floor == Floor::with_data && step >= 2 && step - 2 < groups) {
                group(step - 2, [&](std::int64_t h) { m.prefetch_entry_data(h, true); });
            }
            if (step >= 3) group(step - 3, [&](std::int64_t h) { sum += touch(m, h, floor); });
        }
    }
    return sum;
}

}  // namespace zorvik::bench
