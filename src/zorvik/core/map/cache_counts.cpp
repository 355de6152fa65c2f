// A cache's statistics: hits, misses, stores, evictions and expirations,
// counted in each process and added to the cache record's counters in
// batches, so that no operation writes a shared cache line to be counted.
// The record's counters are field48 words (map_layout.hpp): 2^47 counts
// before they wrap, centuries at millions a second.
#include <cstddef>

#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

// Counts of one kind a process gathers before it adds all its counts to the
// record: one shared write per counter per 4,096 operations at the most, and
// a reader of the record sees other processes at most that far behind in
// each count.
constexpr std::uint64_t kCountsBatch = 4096;

constexpr std::size_t kCounts = 5;

// The record's counter for each Count, in Count's order.
char *record_counter(CacheRecord *record, std::size_t what) {
    constexpr std::size_t kPlaces[kCounts] = {offsetof(CacheRecord, hits), offsetof(CacheRecord, misses),
                                              offsetof(CacheRecord, sets), offsetof(CacheRecord, evictions),
                                              offsetof(CacheRecord, expirations)};
    return reinterpret_cast<char *>(record) + kPlaces[what];
}

}  // namespace

void MapState::count(Count what, std::uint64_t n) {
    if (cache == nullptr || n == 0) return;
    // Relaxed: these are process-local tallies; add_counts_to_record moves
    // them whole or in parts, and a count read between two parts is only a
    // statistic a moment old.
    // One add per operation: the counter's own total says when to move them.
    if (counts_[static_cast<std::size_t>(what)].fetch_add(n, std::memory_order_relaxed) + n >= kCountsBatch) {
        add_counts_to_record();
    }
}

void MapState::add_counts_to_record() {
    if (cache == nullptr) return;
    const int pid = host::own_pid();
    if (counts_pid_.exchange(pid, std::memory_order_relaxed) != pid) {
        // Counted before a fork by the parent, which adds them itself.
        for (std::atomic<std::uint64_t> &local : counts_) local.store(0, std::memory_order_relaxed);
        return;
    }
    for (std::size_t what = 0; what < kCounts; ++what) {
        const std::uint64_t n = counts_[what].exchange(0, std::memory_order_relaxed);
        // Seq_cst; pairs with cache_stats' loads in every process.
        if (n != 0) atomics::fetch_add_field48(record_counter(cache, what), static_cast<std::int64_t>(n));
    }
}

CacheStats MapState::cache_stats() const {
    std::uint64_t totals[kCounts] = {};
    for (std::size_t what = 0; what < kCounts; ++what) {
        // Acquire; pairs with add_counts_to_record's adds.
        const std::int64_t in_record = atomics::load_field48(record_counter(cache, what));
        totals[what] = (in_record < 0 ? 0 : static_cast<std::uint64_t>(in_record)) +
                       counts_[what].load(std::memory_order_relaxed);
    }
    return CacheStats{totals[0], totals[1], totals[2], totals[3], totals[4], cache_bytes()};
}

// Nothing here throws: the adds are atomic instructions on the record,
// which the attach checked lies in the mapping.
MapState::~MapState() { add_counts_to_record(); }

}  // namespace zorvik
