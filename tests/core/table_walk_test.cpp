// Walking the whole table (scan): every entry present from the start of a
// walk to its end is handed over exactly once, while the table doubles
// between two steps (once or several times), while an expansion is halfway
// through its splits, with marks an ender has not cleared yet, and while
// another thread fills the map and doubles it.
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "map_fixture.hpp"
#include "result_sinks.hpp"
#include "zorvik/core/segment/atomics.hpp"

namespace zorvik::testing {
namespace {

std::int64_t spread(std::uint64_t i) { return static_cast<std::int64_t>(i * 0x9E3779B97F4A7C15ull); }
std::string key_of(std::uint64_t i) { return numbered("key-", i); }

// Times each key was handed over, by one walk made of steps of `buckets`
// buckets, with `between(step)` run after each step.
template <class Between>
std::map<std::string, int> walk(ConcurrentHashMap_string &map, std::uint64_t buckets, Between &&between) {
    std::map<std::string, int> seen;
    std::uint64_t cursor = 0;
    int step = 0;
    do {
        EntriesSink sink(true, false);
        cursor = map.scan(cursor, sink, buckets);
        for (auto &[key, value] : sink.entries) ++seen[key];
        between(step++);
    } while (cursor != 0);
    return seen;
}

std::map<std::string, int> walk(ConcurrentHashMap_string &map) {
    return walk(map, 1, [](int) {});
}

// The keys 0 .. n-1 were each seen exactly once, and nothing more than once.
void expect_each_once(const std::map<std::string, int> &seen, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
        auto found = seen.find(key_of(i));
        EXPECT_TRUE(found != seen.end() && found->second == 1) << key_of(i);
    }
    for (auto &[key, times] : seen) EXPECT_EQ(times, 1) << key;
}

TEST_F(MapTest, ScanHandsOverKeysAndValues) {
    auto map = create({2, 8, 1 << 20, 3});
    std::map<std::string, std::string> model;
    for (std::uint64_t i = 0; i < 50; ++i) {
        std::string value(i, 'v');  // empty to 49 bytes: up to seven 8-byte chunks
        put(*map, key_of(i), value, spread(i));
        model[key_of(i)] = value;
    }
    std::map<std::string, std::string> walked;
    std::uint64_t cursor = 0;
    do {
        EntriesSink sink(true, true);
        cursor = map->scan(cursor, sink, 3);
        for (auto &[key, value] : sink.entries) EXPECT_TRUE(walked.emplace(key, value).second) << key;
    } while (cursor != 0);
    EXPECT_EQ(walked, model);
    EntriesSink values_only(false, true);
    EXPECT_EQ(map->scan(0, values_only, UINT64_MAX), 0u);
    EXPECT_EQ(values_only.entries.size(), 50u);
    EXPECT_EQ(values_only.entries.front().first, "");
}

// One or several doublings between two steps of a walk, with inserts and
// removes of other keys: the first 64 keys, present throughout, each come
// once.
class DoublingsBetweenSteps : public MapTest, public ::testing::WithParamInterface<int> {};

TEST_P(DoublingsBetweenSteps, EachKeyPresentThroughoutComesOnce) {
    const int doublings = GetParam();
    auto map = create({0, 1 << 12, 1 << 24, 3});  // one bucket, up to 4096
    for (std::uint64_t i = 0; i < 64; ++i) put(*map, key_of(i), "v", spread(i));
    std::uint64_t next = 1000;
    auto seen = walk(*map, 1, [&](int step) {
        if (step % 3 != 0 || map->chunks_in_use() >= 2048) return;
        for (int d = 0; d < doublings; ++d) map->python_expansion_helper(UINT64_MAX);
        put(*map, key_of(next), "new", spread(next));
        erase(*map, key_of(next - 1), spread(next - 1));
        ++next;
    });
    EXPECT_GE(map->chunks_in_use(), 64u);
    for (std::uint64_t i = 0; i < 64; ++i) EXPECT_EQ(seen[key_of(i)], 1) << key_of(i);
    for (auto &[key, times] : seen) EXPECT_EQ(times, 1) << key;
}

INSTANTIATE_TEST_SUITE_P(MapTest, DoublingsBetweenSteps, ::testing::Values(1, 3));

// An expansion stopped halfway: some buckets split (their entries in two
// buckets, `forward` set), others not yet, and new keys inserted into both
// kinds (into a split one's partner too). A walk interleaved with the
// remaining splits and more inserts, and then with the end of the
// expansion, sees each key once; so does a walk over marks left behind by
// an ender.
TEST_F(MapTest, WalkThroughAnExpansionInProgressAndItsLeftoverMarks) {
    auto map = create({3, 64, 1 << 22, 3});  // 8 buckets
    MapState &m = *map->internals();
    m.grows_by_steps = false;  // the doubling goes where the test takes it
    constexpr std::uint64_t kKeys = 200;
    for (std::uint64_t i = 0; i < kKeys; ++i) put(*map, key_of(i), "v", spread(i));
    const std::uint64_t chunks = m.chunks_in_use();
    const std::uint64_t table = m.bucket_chunk_size * chunks;

    // Claimed, built and published in steps of one unit: the last one ends
    // with the publication, before any batch. The splits are made by hand.
    while (m.growth_phase() != GrowthPhase::splitting) ASSERT_TRUE(m.grow(1, true));
    for (std::uint64_t b = 0; b < table; b += 2) m.split_bucket(b, chunks);
    expect_each_once(walk(*map), kKeys);

    // Inserts do not wait for the expansion: a new key goes into a bucket not
    // split yet, or into the half of a split one its hash belongs to (the
    // partner for some of these).
    constexpr std::uint64_t kNew = 40;
    std::uint64_t into_partners = 0;
    for (std::uint64_t i = kKeys; i < kKeys + kNew; ++i) {
        const auto hash = static_cast<std::uint64_t>(spread(i));
        if ((hash & (table - 1)) % 2 == 0 && (hash & table) != 0) ++into_partners;
        put(*map, key_of(i), "new", spread(i));
    }
    ASSERT_GT(into_partners, 0u);
    expect_each_once(walk(*map), kKeys + kNew);

    std::uint64_t split = 1;
    bool ended = false;
    std::uint64_t during = 100000;  // keys inserted during the walk: at most once
    auto seen = walk(*map, 1, [&](int) {
        put(*map, key_of(during), "during", spread(during));
        ++during;
        if (split < table) {
            m.split_bucket(split, chunks);
            split += 2;
            return;
        }
        if (!ended) {
            // Every bucket is split, none by a batch: the sweep finds them so,
            // and the doubling ends.
            atomics::store_field64(m.split_cursor_word, -1);
            ASSERT_EQ(m.drive_to_end(chunks), MapState::Part::split);
            ended = true;
        }
    });
    ASSERT_TRUE(ended);
    ASSERT_EQ(m.chunks_in_use(), 2 * chunks);
    expect_each_once(seen, kKeys + kNew);
    for (std::uint64_t i = 0; i < kKeys + kNew; ++i) EXPECT_TRUE(fetch(*map, key_of(i), spread(i))) << key_of(i);

    // The marks of the ended expansion put back, as an ender that has doubled
    // the count but not yet cleared them leaves them: not to be followed.
    for (std::uint64_t b = 0; b < table; ++b) {
        const auto partner = static_cast<std::int64_t>(m.area.offset_of(m.bucket_at(b + table)));
        atomics::exchange_field48(forward_word(m.bucket_at(b)), partner);
    }
    expect_each_once(walk(*map), kKeys + kNew);
    for (std::uint64_t b = 0; b < table; ++b) atomics::exchange_field48(forward_word(m.bucket_at(b)), 0);
}

// One thread fills the map (its inserts double the table again and again)
// and removes some of its own keys; another walks it over and over. Keys
// present throughout each come once per walk, and nothing comes twice.
TEST_F(MapTest, WalksWhileAnotherThreadFillsAndDoubles) {
    auto map = create({0, 1 << 12, 1 << 26, 3});
    constexpr std::uint64_t kKept = 100;
    for (std::uint64_t i = 0; i < kKept; ++i) put(*map, key_of(i), "v", spread(i));
    std::atomic<bool> done{false};
    std::thread filler([&] {
        for (std::uint64_t i = kKept; i < 6000; ++i) {
            put(*map, key_of(i), "v", spread(i));
            if (i % 3 == 0) erase(*map, key_of(i - 1), spread(i - 1));
        }
        done = true;
    });
    int walks = 0;
    while ((!done || walks < 2) && !HasFailure()) {
        auto seen = walk(*map, 4, [](int) {});
        for (std::uint64_t i = 0; i < kKept; ++i) EXPECT_EQ(seen[key_of(i)], 1) << key_of(i) << " walk " << walks;
        for (auto &[key, times] : seen) EXPECT_EQ(times, 1) << key << " walk " << walks;
        ++walks;
    }
    filler.join();
    EXPECT_GE(map->chunks_in_use(), 2048u);
}

}  // namespace
}  // namespace zorvik::testing
