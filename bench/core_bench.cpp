// The core's cost per operation, single-threaded, without Python: insert,
// get (hit and miss) and remove on a table that fits in cache and on one of
// millions of entries, and get by bucket position modulo 8 (the position of a
// bucket's lock word within its cache line cycles with period 8, and one
// position in eight puts the 8-byte word across two lines).
//
//   bench/core_bench [large_entries]     (default 4,000,000)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "batch_floor.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/segment/host.hpp"

using zorvik::ConcurrentHashMap_string;

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t spread(std::uint64_t i) { return static_cast<std::int64_t>(i * 0x9E3779B97F4A7C15ull); }

struct Keys {
    std::vector<std::string> keys;
    std::string value = std::string(100, 'v');
    explicit Keys(std::uint64_t n) {
        keys.reserve(n);
        for (std::uint64_t i = 0; i < n; ++i) keys.push_back("key:" + std::to_string(i));
    }
};

const signed char *bytes(const std::string &s) { return reinterpret_cast<const signed char *>(s.data()); }

template <class F>
double ns_per_op(std::uint64_t n, F f) {
    auto start = Clock::now();
    for (std::uint64_t i = 0; i < n; ++i) f(i);
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(n);
}

template <class F>
double median_ns(int repeats, std::uint64_t n, F f) {
    std::vector<double> runs;
    for (int r = 0; r < repeats; ++r) runs.push_back(ns_per_op(n, f));
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

void run_table(const char *label, std::uint64_t entries, std::uint8_t bucket_exponent) {
    std::string name;
    // Pre-sized so that the run measures the operations, not expansions.
    // Room for every bucket with its first entry chunk, and ~600 bytes an entry.
    const std::uint64_t size = std::max<std::uint64_t>(entries * 600, 64ull << 20) + (270ull << bucket_exponent);
    ConcurrentHashMap_string map(name, bucket_exponent, 1, size, 5);
    Keys k(entries);
    signed char *buffer = nullptr;
    std::int64_t length = 0;
    double insert = ns_per_op(entries, [&](std::uint64_t i) {
        map.insert(bytes(k.keys[i]), bytes(k.value), k.keys[i].size(), k.value.size(), spread(i));
    });
    double replace = ns_per_op(entries, [&](std::uint64_t i) {
        map.insert(bytes(k.keys[i]), bytes(k.value), k.keys[i].size(), k.value.size(), spread(i));
    });
    double hit = median_ns(3, entries, [&](std::uint64_t i) {
        map.get(bytes(k.keys[i]), k.keys[i].size(), spread(i), buffer, length);
        zorvik::host::free(buffer);
    });
    double miss = median_ns(3, entries, [&](std::uint64_t i) {
        map.get(bytes(k.keys[i]), k.keys[i].size(), spread(i + entries), buffer, length);
    });
    double remove = ns_per_op(entries, [&](std::uint64_t i) {
        map.remove(bytes(k.keys[i]), k.keys[i].size(), spread(i));
    });
    std::printf("%-8s %10llu entries  insert %7.1f  replace %7.1f  get-hit %7.1f  get-miss %7.1f  remove %7.1f  ns/op\n",
                label, static_cast<unsigned long long>(entries), insert, replace, hit, miss, remove);
    unlink(name.c_str());
}

// Gets whose buckets all sit at one position modulo 8, for each position. The
// positions are measured in rotated order in every round, and each figure is
// the median over the rounds, so that warm-up and noise fall on all alike.
void run_positions() {
    std::string name;
    constexpr std::uint8_t kExponent = 12;  // 4,096 buckets: the table stays in cache
    constexpr std::uint64_t kBuckets = 1u << kExponent;
    constexpr int kRounds = 15;
    ConcurrentHashMap_string map(name, kExponent, 1, 64ull << 20, 5);
    Keys k(kBuckets);
    for (std::uint64_t i = 0; i < kBuckets; ++i) {
        map.insert(bytes(k.keys[i]), bytes(k.value), k.keys[i].size(), k.value.size(), static_cast<std::int64_t>(i));
    }
    signed char *buffer = nullptr;
    std::int64_t length = 0;
    std::vector<std::vector<double>> runs(8);
    for (int round = 0; round < kRounds; ++round) {
        for (std::uint64_t step = 0; step < 8; ++step) {
            const std::uint64_t r = (step + static_cast<std::uint64_t>(round)) % 8;
            runs[r].push_back(ns_per_op(kBuckets / 8, [&](std::uint64_t j) {
                std::uint64_t i = j * 8 + r;
                map.get(bytes(k.keys[i]), k.keys[i].size(), static_cast<std::int64_t>(i), buffer, length);
                zorvik::host::free(buffer);
            }));
        }
    }
    std::vector<double> cost;
    for (auto &samples : runs) {
        std::sort(samples.begin(), samples.end());
        cost.push_back(samples[samples.size() / 2]);
    }
    std::vector<double> sorted = cost;
    std::sort(sorted.begin(), sorted.end());
    const double median = (sorted[3] + sorted[4]) / 2;
    std::printf("get by bucket position mod 8 (ns/op):");
    for (double c : cost) std::printf(" %.1f", c);
    std::printf("\n  slowest / median = %.2f\n", sorted.back() / median);
    unlink(name.c_str());
}

// ---- batches ------------------------------------------------------------------

constexpr std::size_t kBatch = 64;

// A value copied into one buffer that is used again for every get.
class ReusedSink final : public zorvik::ValueSink {
public:
    char *reserve(std::uint64_t length) override { return length <= sizeof buffer_ ? buffer_ : nullptr; }
    void abandon() noexcept override {}

private:
    char buffer_[4096];
};

class ReusedBatchSink final : public zorvik::BatchSink {
public:
    char *reserve(std::size_t index, std::uint64_t length) override {
        return length <= kSlot ? buffer_ + (index % kBatch) * kSlot : nullptr;
    }
    void abandon(std::size_t) noexcept override {}

private:
    static constexpr std::size_t kSlot = 512;
    char buffer_[kBatch * kSlot];
};

// Per-key cost of one pass over `n` keys done `batch` at a time.
template <class F>
double ns_per_key_batched(std::uint64_t n, F f) {
    auto start = Clock::now();
    for (std::uint64_t first = 0; first < n; first += kBatch) f(first, std::min<std::uint64_t>(kBatch, n - first));
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(n);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A map of `entries` at about two a bucket (a table that does not double),
// filled in runs of 64 new keys, every other run one key at a time and in one
// insert_many, so that both meet the same load; then gets of random present
// keys one at a time and 64 a call, and the floors for the same keys.
void run_batches(std::uint64_t entries) {
    unsigned exponent = 0;
    while ((std::uint64_t{2} << exponent) < entries) ++exponent;
    exponent = std::max(exponent, 2u);
    const std::uint64_t size = std::max<std::uint64_t>(entries * 600, 64ull << 20) + (270ull << exponent);
    std::string name;
    ConcurrentHashMap_string map(name, static_cast<std::uint8_t>(exponent), 1, size, 5);
    Keys k(entries);
    double insert_ns = 0, insert_many_ns = 0;
    std::uint64_t inserted_one = 0, inserted_many = 0;
    std::vector<zorvik::BatchItem> items(kBatch);
    for (std::uint64_t first = 0; first < entries; first += kBatch) {
        const std::uint64_t count = std::min<std::uint64_t>(kBatch, entries - first);
        const auto start = Clock::now();
        if ((first / kBatch) % 2 == 0) {
            for (std::uint64_t i = first; i < first + count; ++i) {
                map.insert(bytes(k.keys[i]), bytes(k.value), k.keys[i].size(), k.value.size(), spread(i));
            }
            insert_ns += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            inserted_one += count;
        } else {
            for (std::uint64_t j = 0; j < count; ++j) items[j] = {k.keys[first + j], k.value, spread(first + j)};
            map.insert_many(std::span(items.data(), count));
            insert_many_ns += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            inserted_many += count;
        }
    }
    const double insert = insert_ns / static_cast<double>(inserted_one);
    const double insert_many = insert_many_ns / static_cast<double>(std::max<std::uint64_t>(inserted_many, 1));

    // Random present keys, as many lookups as entries (at least 1,000,000),
    // their bytes one after the other in lookup order, as a caller that has
    // just made them holds them (not scattered over the table of keys).
    const std::uint64_t lookups = std::max<std::uint64_t>(entries, 1000000);
    std::vector<std::int64_t> hashes(lookups);
    std::vector<std::size_t> lengths(lookups);
    std::string arena;
    std::uint64_t state = 88172645463325252ull;
    for (std::uint64_t i = 0; i < lookups; ++i) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        const std::uint64_t key = state % entries;
        hashes[i] = spread(key);
        lengths[i] = k.keys[key].size();
        arena += k.keys[key];
    }
    std::vector<zorvik::BatchKey> keys(lookups);
    for (std::uint64_t i = 0, at = 0; i < lookups; at += lengths[i], ++i) {
        keys[i] = {std::string_view(arena).substr(at, lengths[i]), hashes[i]};
    }

    using zorvik::bench::Floor;
    ReusedSink sink;
    ReusedBatchSink batch_sink;
    volatile std::uint64_t keep = 0;
    auto per_key = [&](auto &&pass) { return ns_per_op(1, [&](std::uint64_t) { keep = keep + pass(); }) / lookups; };
    std::vector<double> get_one, get_many, floors[4];
    for (int r = 0; r < 5; ++r) {
        get_one.push_back(ns_per_op(lookups, [&](std::uint64_t i) {
            map.get(reinterpret_cast<const signed char *>(keys[i].key.data()), keys[i].key.size(), hashes[i], sink);
        }));
        get_many.push_back(ns_per_key_batched(lookups, [&](std::uint64_t first, std::uint64_t count) {
            map.get_many(std::span(keys).subspan(first, count), batch_sink);
        }));
        int f = 0;
        for (Floor floor : {Floor::bucket_and_entries, Floor::with_data}) {
            floors[f++].push_back(per_key([&] { return zorvik::bench::floor_one_at_a_time(map, hashes, floor); }));
            floors[f++].push_back(per_key([&] { return zorvik::bench::floor_pipelined(map, hashes, kBatch, floor); }));
        }
    }
    std::printf("batches  %10llu entries, ns per key: insert %.1f, insert_many %.1f (%.2fx); get %.1f, get_many %.1f "
                "(%.2fx)\n",
                static_cast<unsigned long long>(entries), insert, insert_many, insert_many / insert, median(get_one),
                median(get_many), median(get_many) / median(get_one));
    std::printf("         floor, bucket and entry chunk: %.1f one at a time, %.1f pipelined; with the key's and "
                "value's first chunks: %.1f, %.1f\n",
                median(floors[0]), median(floors[1]), median(floors[2]), median(floors[3]));
    unlink(name.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    const std::uint64_t large = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4000000;
    std::vector<std::uint64_t> batch_sizes;
    for (int a = 2; a < argc; ++a) batch_sizes.push_back(std::strtoull(argv[a], nullptr, 10));
    if (batch_sizes.empty()) batch_sizes = {1000, 1000000};
    if (large != 0) {
        run_table("small", 1000, 10);
        run_table("large", large, 21);
        run_positions();
    }
    for (std::uint64_t entries : batch_sizes) run_batches(entries);
    return 0;
}
