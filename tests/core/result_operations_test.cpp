// The operations with a result: compare-and-set on stored bytes with "no
// entry" for either side, insert-if-absent, take, contains, take_any and
// clear; and the path constructor's three modes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <vector>

#include "map_fixture.hpp"
#include "result_sinks.hpp"

namespace zorvik::testing {
namespace {

constexpr std::int64_t kHash = 42;

std::optional<std::string> value_at(ConcurrentHashMap_string &map, const std::string &key) {
    return fetch(map, key, kHash);
}

struct CasCase {
    const char *name;
    std::optional<std::string> stored;    // the key's value before, none for no entry
    std::optional<std::string> expected;  // none: "no entry"
    std::optional<std::string> desired;   // none: remove
    bool result;
    std::optional<std::string> after;
};

class CompareAndSet : public MapTest, public ::testing::WithParamInterface<CasCase> {};

TEST_P(CompareAndSet, StoresOnlyWhenTheValueIsTheExpectedOne) {
    const CasCase &c = GetParam();
    auto map = create({2, 1, 1 << 20, 3});
    const std::string key = "the key";
    if (c.stored) put(*map, key, *c.stored, kHash);
    put(*map, "neighbour", "stays", kHash);  // same bucket, same hash: only the bytes tell them apart
    auto view = [](const std::optional<std::string> &s) -> std::optional<std::string_view> {
        if (!s) return std::nullopt;
        return std::string_view(*s);
    };
    EXPECT_EQ(map->compare_and_set(key, kHash, view(c.expected), view(c.desired)), c.result);
    EXPECT_EQ(value_at(*map, key), c.after);
    EXPECT_EQ(value_at(*map, "neighbour"), "stays");
    EXPECT_EQ(map->entry_count(), 1u + (c.after ? 1 : 0));
}

const std::string kLong(100, 'L');  // 13 chunks of 8 bytes: a replacement that grows and shrinks

INSTANTIATE_TEST_SUITE_P(
    MapTest, CompareAndSet,
    ::testing::Values(CasCase{"absent_expected_absent_inserts", std::nullopt, std::nullopt, "new", true, "new"},
                      CasCase{"absent_expected_value_fails", std::nullopt, "old", "new", false, std::nullopt},
                      CasCase{"absent_remove_of_absent_holds", std::nullopt, std::nullopt, std::nullopt, true,
                              std::nullopt},
                      CasCase{"absent_remove_of_value_fails", std::nullopt, "old", std::nullopt, false, std::nullopt},
                      CasCase{"present_matching_replaces", "old", "old", kLong, true, kLong},
                      CasCase{"present_matching_long_shrinks", kLong, kLong, "s", true, "s"},
                      CasCase{"present_other_value_fails", "old", "olD", "new", false, "old"},
                      CasCase{"present_prefix_fails", "old", "ol", "new", false, "old"},
                      CasCase{"present_expected_absent_fails", "old", std::nullopt, "new", false, "old"},
                      CasCase{"present_matching_removes", "old", "old", std::nullopt, true, std::nullopt},
                      CasCase{"present_other_value_keeps", "old", "new", std::nullopt, false, "old"},
                      CasCase{"present_absent_remove_fails", "old", std::nullopt, std::nullopt, false, "old"},
                      CasCase{"empty_value_matches_empty", "", "", "x", true, "x"}),
    [](const ::testing::TestParamInfo<CasCase> &info) { return std::string(info.param.name); });

TEST_F(MapTest, InsertIfAbsentTakeAndContains) {
    auto map = create({1, 4, 1 << 20, 3});
    StringSink existing;
    EXPECT_TRUE(map->insert_if_absent("k", kLong, kHash, existing));
    EXPECT_FALSE(existing.called);
    EXPECT_FALSE(map->insert_if_absent("k", "other", kHash, existing));
    EXPECT_EQ(existing.bytes, kLong);  // the stored value, unchanged
    EXPECT_EQ(value_at(*map, "k"), kLong);
    EXPECT_TRUE(map->contains("k", kHash));
    EXPECT_FALSE(map->contains("k", kHash + 1));  // the hash is part of the key

    StringSink taken;
    EXPECT_TRUE(map->take("k", kHash, taken));
    EXPECT_EQ(taken.bytes, kLong);
    EXPECT_FALSE(map->contains("k", kHash));
    StringSink none;
    EXPECT_FALSE(map->take("k", kHash, none));
    EXPECT_FALSE(none.called);
    EXPECT_EQ(map->entry_count(), 0u);
}

TEST_F(MapTest, TakeAnyEmptiesTheMapOneEntryAtATime) {
    auto map = create({2, 16, 1 << 22, 3});
    std::map<std::string, std::string> model;
    for (std::uint64_t i = 0; i < 200; ++i) {
        put(*map, numbered("k", i), numbered("v", i), static_cast<std::int64_t>(i * 0x9E3779B97F4A7C15ull));
        model[numbered("k", i)] = numbered("v", i);
    }
    std::uint64_t cursor = 0;
    while (!model.empty()) {
        EntriesSink taken(true, true);
        ASSERT_TRUE(map->take_any(cursor, taken));
        ASSERT_EQ(taken.entries.size(), 1u);
        auto [key, value] = taken.entries.front();
        ASSERT_EQ(model.at(key), value);
        model.erase(key);
        EXPECT_EQ(map->entry_count(), model.size());
    }
    EntriesSink none(true, true);
    EXPECT_FALSE(map->take_any(cursor, none));
    EXPECT_TRUE(none.entries.empty());
}

// A cursor left past every entry: take_any comes round to the start again.
TEST_F(MapTest, TakeAnyWrapsRoundFromItsCursor) {
    auto map = create({3, 1, 1 << 20, 3});  // 8 buckets; hash b leads to bucket b
    put(*map, "only", "v", 0);
    std::uint64_t cursor = 1;  // bucket 1, which the order 0 4 2 6 1 5 3 7 reaches after bucket 0
    EntriesSink taken(true, false);
    ASSERT_TRUE(map->take_any(cursor, taken));
    EXPECT_EQ(taken.entries, (std::vector<std::pair<std::string, std::string>>{{"only", ""}}));
}

TEST_F(MapTest, ClearRemovesEverythingAndTheSpaceServesAgain) {
    auto map = create({0, 64, 1 << 20, 3});
    std::uint64_t allocated_after_first_round = 0;
    for (int round = 0; round < 3; ++round) {
        for (std::uint64_t i = 0; i < 300; ++i) put(*map, numbered("key", i), kLong, static_cast<std::int64_t>(i));
        ASSERT_EQ(map->entry_count(), 300u);
        map->clear();
        EXPECT_EQ(map->entry_count(), 0u);
        for (std::uint64_t i = 0; i < 300; ++i) ASSERT_FALSE(map->contains(numbered("key", i), i));
        if (round == 0) allocated_after_first_round = map->stats().allocated;
    }
    // The later rounds ran on what the clears gave back.
    EXPECT_EQ(map->stats().allocated, allocated_after_first_round);
    EXPECT_EQ(map->chunks_in_use(), 64u);
}

TEST_F(MapTest, StatsDescribeTheMap) {
    auto map = create({4, 8, 1 << 20, 5});  // 16 buckets, up to 8 chunks; 32-byte data chunks
    const MapStats before = map->stats();
    EXPECT_EQ(before.entries, 0u);
    EXPECT_EQ(before.buckets, 16u);
    EXPECT_EQ(before.largest_buckets, 128u);
    EXPECT_EQ(before.capacity, std::uint64_t{1} << 20);
    EXPECT_EQ(before.data_chunk_size, 32u);
    EXPECT_GT(before.allocated, 0u);
    EXPECT_GE(before.file_length, before.capacity);
    put(*map, "k", kLong, 1);
    const MapStats after = map->stats();
    EXPECT_EQ(after.entries, 1u);
    EXPECT_GT(after.allocated, before.allocated);
    map->flush();
}

TEST_F(MapTest, FullSegmentIsSpaceExhausted) {
    auto map = create({0, 1, 1 << 14, 3});
    try {
        for (std::uint64_t i = 0; i < 100000; ++i) put(*map, numbered("k", i), kLong, static_cast<std::int64_t>(i));
        FAIL() << "a segment of 16 KiB held everything";
    } catch (const SpaceExhausted &e) {
        EXPECT_EQ(e.where(), SpaceExhausted::Where::segment);
        EXPECT_STREQ(e.what(), "Cannot allocate memory");  // the text brandel has always shown
    }
}

// ---- opening at a path ---------------------------------------------------------------

MapArguments small_map() { return MapArguments{2, 4, 1 << 20, 3}; }

// The error a construction throws, or 0.
int file_error_of(const std::string &path, OpenMode mode) {
    try {
        ConcurrentHashMap_string map(path, mode, small_map());
        return 0;
    } catch (const FileError &e) {
        EXPECT_EQ(e.path(), path);
        return e.code().value();
    }
}

TEST_F(MapTest, OpenModesAtAPath) {
    const std::string path = tmpdir.path() + "/dictionary";
    EXPECT_EQ(file_error_of(path, OpenMode::open), ENOENT);
    {
        ConcurrentHashMap_string made(path, OpenMode::create, small_map());
        EXPECT_TRUE(made.created());
        put(made, "k", "v", 1);
    }
    EXPECT_EQ(file_error_of(path, OpenMode::create), EEXIST);
    for (OpenMode mode : {OpenMode::open, OpenMode::open_or_create}) {
        ConcurrentHashMap_string opened(path, mode, small_map());
        EXPECT_FALSE(opened.created());
        EXPECT_EQ(fetch(opened, "k", 1), "v");
    }
    EXPECT_EQ(tmpdir.entries(), std::vector<std::string>{"dictionary"}) << "a temporary name was left";
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_EQ(file_error_of(tmpdir.path(), OpenMode::open_or_create), EISDIR);
    EXPECT_EQ(file_error_of(tmpdir.path() + "/missing/dictionary", OpenMode::open_or_create), ENOENT);
    const std::string foreign = tmpdir.path() + "/foreign";
    {
        std::ofstream out(foreign);
        out << std::string(8192, 'x');
    }
    EXPECT_THROW(ConcurrentHashMap_string(foreign, OpenMode::open_or_create, small_map()), std::invalid_argument);
    EXPECT_EQ(file_bytes(foreign), std::string(8192, 'x'));
}

TEST_F(MapTest, CreationTooSmallLeavesNoFile) {
    const std::string path = tmpdir.path() + "/dictionary";
    EXPECT_THROW(ConcurrentHashMap_string(path, OpenMode::create, MapArguments{10, 4, 4096, 3}), SpaceExhausted);
    EXPECT_TRUE(tmpdir.entries().empty());
}

// Processes race to open-or-create one path: exactly one creates it, all
// share its map, and no temporary name is left behind.
TEST_F(MapTest, RacingCreatorsShareOneFile) {
    const std::string path = tmpdir.path() + "/raced";
    constexpr int kProcesses = 8;
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(fork_child([&, p] {
            close(pipe_ends[1]);
            char go;
            if (read(pipe_ends[0], &go, 1) != 0) return 9;  // all start when the pipe closes
            ConcurrentHashMap_string map(path, OpenMode::open_or_create, small_map());
            put(map, numbered("from-", p), "v", p);
            return map.created() ? 100 : 0;
        }));
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    int creators = 0;
    for (pid_t pid : children) {
        const int status = wait_exit_status(pid);
        ASSERT_TRUE(status == 0 || status == 100) << status;
        creators += status == 100;
    }
    EXPECT_EQ(creators, 1);
    auto map = attach(path);
    EXPECT_EQ(map->entry_count(), std::uint64_t{kProcesses});
    for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(fetch(*map, numbered("from-", p), p), "v");
    EXPECT_EQ(tmpdir.entries(), std::vector<std::string>{"raced"});
}

}  // namespace
}  // namespace zorvik::testing
