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

}  // namespace

int main(int argc, char **argv) {
    const std::uint64_t large = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4000000;
    run_table("small", 1000, 10);
    run_table("large", large, 21);
    run_positions();
    return 0;
}
