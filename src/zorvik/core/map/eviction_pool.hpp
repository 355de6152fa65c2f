// The candidates a process keeps between evictions (eviction.cpp): the
// best entries its past samples met, so that each eviction picks from more
// than its own few buckets, as Redis's eviction pool does.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "zorvik/core/map/entry_metadata.hpp"

namespace zorvik {

// An entry an eviction may remove: its key (to find it again under its
// bucket's lock) and what the policy scored it by.
struct EvictionCandidate {
    std::string key;
    std::int64_t hash = 0;
    EntryUse use;
    std::uint64_t score = 0;  // higher evicts first; recomputed at each eviction
};

// Up to kEvictionPoolSize candidates, best first. One thread of the process
// uses it at a time; one that finds it in use samples without it (so that
// no thread waits, and a child forked while another thread held it only
// ever samples).
inline constexpr std::size_t kEvictionPoolSize = 16;

struct EvictionPool {
    std::mutex mutex;
    std::vector<EvictionCandidate> candidates;
};

}  // namespace zorvik
