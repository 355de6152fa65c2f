// A map made as a cache: its settings kept in the file, expiry as every
// operation sees it, and max_entries held by stores from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "map_fixture.hpp"
#include "zorvik/core/map/lfu_counter.hpp"

namespace zorvik::testing {
namespace {

class CacheTest : public MapTest {
protected:
    std::unique_ptr<ConcurrentHashMap_string> make(std::optional<CacheSettings> cache) {
        path = std::string(std::getenv("TMPDIR")) + "/cache";
        MapArguments arguments{4, 4, 1 << 22, 5};
        arguments.cache = cache;
        return std::make_unique<ConcurrentHashMap_string>(path, OpenMode::create, arguments);
    }
    std::unique_ptr<ConcurrentHashMap_string> reopen() {
        return std::make_unique<ConcurrentHashMap_string>(path, OpenMode::open, kAttachArguments);
    }
};

std::int64_t hash_of(const std::string &key) { return static_cast<std::int64_t>(std::hash<std::string>{}(key)); }

TEST_F(CacheTest, SettingsAreKeptInTheFile) {
    const CacheSettings settings{CacheSettings::Policy::random, 10, 0, 2500};
    make(settings).reset();
    EXPECT_EQ(reopen()->cache_settings(), settings);
    EXPECT_THROW(make(std::nullopt), FileError);  // a second file at the same path is refused
}

TEST_F(CacheTest, PlainMapsRefuseExpiry) {
    auto map = make(std::nullopt);
    EXPECT_EQ(map->cache_settings(), std::nullopt);
    EXPECT_THROW(map->insert_with_ttl("k", "v", 1, 100), std::invalid_argument);
    std::optional<std::uint64_t> left;
    EXPECT_THROW(map->ttl_left("k", 1, left), std::invalid_argument);
    map->insert_with_ttl("k", "v", 1, std::nullopt);  // a store like any other
    EXPECT_EQ(fetch(*map, "k", 1), "v");
}

TEST_F(CacheTest, ExpiredEntriesAreAbsentAndTheirSpaceComesBack) {
    auto map = make(CacheSettings{CacheSettings::Policy::lru, 0, 0, 0});
    for (int i = 0; i < 40; ++i) map->insert_with_ttl(numbered("k", i), "value", hash_of(numbered("k", i)), 1);
    map->insert_with_ttl("stays", "value", hash_of("stays"), std::nullopt);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int i = 0; i < 40; ++i) EXPECT_EQ(fetch(*map, numbered("k", i), hash_of(numbered("k", i))), std::nullopt);
    EXPECT_EQ(map->entry_count(), 1u);
    std::optional<std::uint64_t> left{5};
    EXPECT_TRUE(map->ttl_left("stays", hash_of("stays"), left));
    EXPECT_EQ(left, std::nullopt);
    // A replace that gives a deadline, then one that takes it away.
    EXPECT_TRUE(map->expire("stays", hash_of("stays"), 50000));
    EXPECT_TRUE(map->ttl_left("stays", hash_of("stays"), left));
    EXPECT_TRUE(left && *left <= 50000 && *left > 40000);
    map->insert_with_ttl("stays", "new", hash_of("stays"), std::nullopt);
    EXPECT_TRUE(map->ttl_left("stays", hash_of("stays"), left));
    EXPECT_EQ(left, std::nullopt);
}

// Keys stored with a TTL and never read again leave once they expire: the
// stores of another key sweep the table for them, doubling included.
TEST_F(CacheTest, StoresSweepOutExpiredEntriesNobodyReads) {
    auto map = make(CacheSettings{CacheSettings::Policy::lru, 0, 0, 0});
    for (int i = 0; i < 500; ++i) map->insert_with_ttl(numbered("k", i), "value", hash_of(numbered("k", i)), 1);
    map->insert_with_ttl("stays", "value", hash_of("stays"), std::nullopt);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Each store sweeps two buckets at the least: the table's buckets
    // (about 500 / 2) are all visited well within this many.
    for (int i = 0; i < 2000 && map->entry_count() > 2; ++i) put(*map, "writer", "value", hash_of("writer"));
    EXPECT_EQ(map->entry_count(), 2u);
    EXPECT_EQ(fetch(*map, "stays", hash_of("stays")), "value");
}

// The bytes in use follow every change that adds, replaces or removes an
// entry, and the counts every get, store, expiry and eviction. Data chunks
// of 32 bytes: an entry takes 104 bytes plus 64 per data chunk.
TEST_F(CacheTest, BytesAndCountsFollowEveryChange) {
    auto map = make(CacheSettings{CacheSettings::Policy::lru, 0, 0, 0});
    const std::string long_value(100, 'v');  // 4 data chunks (32 bytes each)
    put(*map, "k1", long_value, hash_of("k1"));
    EXPECT_EQ(map->cache_stats()->bytes, 104u + 64 * 5);
    put(*map, "k1", "short", hash_of("k1"));
    EXPECT_EQ(map->cache_stats()->bytes, 104u + 64 * 2);
    map->insert_with_ttl("k2", std::string(40, 'v'), hash_of("k2"), 1);
    EXPECT_EQ(map->cache_stats()->bytes, 104u * 2 + 64 * 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(fetch(*map, "k2", hash_of("k2")), std::nullopt);
    EXPECT_EQ(map->cache_stats()->bytes, 104u + 64 * 2);
    EXPECT_EQ(fetch(*map, "k1", hash_of("k1")), "short");
    EXPECT_TRUE(map->remove(reinterpret_cast<const signed char *>("k1"), 2, hash_of("k1")));
    EXPECT_EQ(map->cache_stats(), (CacheStats{1, 1, 3, 0, 1, 0}));
    // The counts reach the file in batches, and at the latest at close.
    map.reset();
    EXPECT_EQ(reopen()->cache_stats(), (CacheStats{1, 1, 3, 0, 1, 0}));
}

// Stores into a cache bounded by max_bytes evict first, new keys and
// replacements that grow alike; the bound holds after every store.
TEST_F(CacheTest, MaxBytesBoundsEveryStore) {
    constexpr std::uint64_t kEntry = 104 + 64 * 5;  // a 2-byte key, a 100-byte value
    auto map = make(CacheSettings{CacheSettings::Policy::lru, 0, 10 * kEntry, 0});
    const std::string value(100, 'v');
    for (int i = 0; i < 100; ++i) {
        put(*map, numbered("k", i % 90), value, hash_of(numbered("k", i % 90)));
        ASSERT_LE(map->cache_stats()->bytes, 10 * kEntry) << i;
    }
    EXPECT_EQ(map->entry_count(), 10u);
    EXPECT_EQ(map->cache_stats()->evictions, 90u);
    // A replacement four times larger makes room for itself.
    put(*map, "k99", std::string(400, 'v'), hash_of("k99"));
    EXPECT_LE(map->cache_stats()->bytes, 10 * kEntry);
    EXPECT_EQ(fetch(*map, "k99", hash_of("k99"))->size(), 400u);
    EXPECT_LE(map->entry_count(), 8u);  // 8 more data chunks: two entries gone
}

// The LFU counter loses one per decay period since its minute, its 16-bit
// minute wrapping, and never goes below 0.
TEST(LfuCounter, DecaysByWholePeriods) {
    struct Case {
        std::uint8_t counter;
        std::uint16_t since, now, period;
        std::uint8_t decayed;
    };
    const Case cases[] = {
        {10, 100, 100, 1, 10}, {10, 100, 103, 1, 7},   {10, 100, 107, 2, 7},
        {10, 100, 150, 1, 0},  {10, 65535, 2, 1, 7},   {10, 100, 103, 0, 7},  // 0: the default period
        {255, 0, 65535, 1, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(lfu_decayed(AccessMetadata{0, c.counter, c.since}, c.now, c.period), c.decayed)
            << int{c.counter} << " from minute " << c.since << " to " << c.now << " every " << c.period;
    }
}

// A count at or below the initial one always rises; past it less and less
// often; the top stays.
TEST(LfuCounter, CountsLogarithmically) {
    EXPECT_EQ(lfu_incremented(0, 10, ~std::uint64_t{0}), 1);
    EXPECT_EQ(lfu_incremented(kLfuInitial, 10, ~std::uint64_t{0}), kLfuInitial + 1);
    EXPECT_EQ(lfu_incremented(kLfuMost, 10, 0), kLfuMost);
    std::uint64_t state = 88172645463325252ULL;
    auto draw = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (const auto &[hits, least, most] : {std::tuple{100, 8, 12}, std::tuple{1000, 15, 22}, std::tuple{100000, 130, 155}}) {
        std::uint8_t counter = kLfuInitial;
        for (int i = 0; i < hits; ++i) counter = lfu_incremented(counter, 10, draw());
        EXPECT_GE(counter, least) << hits;
        EXPECT_LE(counter, most) << hits;
    }
}

// Threads storing distinct keys: the count passes max_entries by at most
// one entry per thread, however their stores and evictions interleave.
TEST_F(CacheTest, ThreadsKeepTheBound) {
    constexpr std::uint64_t kBound = 200;
    constexpr int kThreads = 4;
    auto map = make(CacheSettings{CacheSettings::Policy::lru, kBound, 0, 0});
    std::atomic<std::uint64_t> most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1500; ++i) {
                const std::string key = numbered(numbered("t", t).append(":").c_str(), i);
                put(*map, key, "value", hash_of(key));
                std::uint64_t seen = map->entry_count();
                std::uint64_t known = most.load();
                while (seen > known && !most.compare_exchange_weak(known, seen)) {
                }
                if (i % 7 == 0) fetch(*map, key, hash_of(key));
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_LE(most.load(), kBound + kThreads);
    EXPECT_LE(map->entry_count(), kBound + kThreads);
    EXPECT_GE(map->entry_count(), kBound - kThreads);
}

}  // namespace
}  // namespace zorvik::testing
