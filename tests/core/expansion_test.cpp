// Expansion: the table doubles in place, automatically and on request, while
// threads and processes keep using it; nothing is lost and nothing hangs.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "map_fixture.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik::testing {
namespace {

// Appended rather than concatenated: g++ 12 warns falsely (-Wrestrict) on
// literal + std::string temporaries.
std::string key_of(std::uint64_t i) {
    std::string key = "key-";
    key += std::to_string(i);
    return key;
}
std::string value_of(std::uint64_t i) {
    std::string value(i % 23, 'v');
    value += std::to_string(i);
    return value;
}

// Hashes that spread keys over every bucket of every table size.
std::int64_t spread(std::uint64_t i) { return static_cast<std::int64_t>(i * 0x9E3779B97F4A7C15ull); }

std::vector<std::uint64_t> entry_hashes(ConcurrentHashMap_string &map, Bucket *bucket) {
    std::vector<std::uint64_t> hashes;
    const Chain entries = entry_chain(map.internals()->area, bucket->entries);
    entries.for_each_piece(bucket->entries.length * sizeof(MapEntry), [&](const ChainPiece &piece) {
        for (std::uint64_t at = 0; at < piece.length; at += sizeof(MapEntry)) {
            hashes.push_back(static_cast<std::uint64_t>(reinterpret_cast<const MapEntry *>(piece.bytes + at)->hash));
        }
        return true;
    });
    return hashes;
}

TEST_F(MapTest, DoublesFromASingleBucketAndFindsEverything) {
    auto map = create({0, 64, 1 << 22, 3});
    for (std::uint64_t i = 0; i < 300; ++i) put(*map, key_of(i), value_of(i), spread(i));
    EXPECT_EQ(map->chunks_in_use(), 64u);  // the capacity limit: 64 buckets of one
    EXPECT_EQ(map->entry_count(), 300u);
    for (std::uint64_t i = 0; i < 300; ++i) EXPECT_EQ(fetch(*map, key_of(i), spread(i)), value_of(i)) << i;
    // Every entry sits in bucket h mod T.
    auto *m = map->internals();
    for (std::uint64_t b = 0; b < 64; ++b) {
        for (std::uint64_t h : entry_hashes(*map, m->bucket_at(b))) EXPECT_EQ(h % 64, b);
    }
}

TEST_F(MapTest, OnlyAnAppendToANonEmptyBucketStartsAnExpansion) {
    auto map = create({3, 4, 1 << 22, 3});  // 8 buckets; expands past 16 entries
    std::uint64_t n = 0;
    for (int b = 0; b < 4; ++b) {
        for (int k = 0; k < 4; ++k) put(*map, key_of(n++), "v", b + 8 * k);  // buckets 0..3, 4 each
    }
    EXPECT_EQ(map->chunks_in_use(), 1u);
    put(*map, key_of(n++), "v", 5);  // 17 entries, but bucket 5 was empty
    EXPECT_EQ(map->chunks_in_use(), 1u);
    put(*map, key_of(n++), "v", 0);  // 18, appended to bucket 0
    EXPECT_EQ(map->chunks_in_use(), 2u);
    EXPECT_EQ(map->entry_count(), n);
}

TEST_F(MapTest, CapacityLimitStopsExpansionQuietly) {
    auto map = create({1, 3, 1 << 22, 3});  // 3 chunks of 2: doubling stops at 2
    for (std::uint64_t i = 0; i < 200; ++i) put(*map, key_of(i), value_of(i), spread(i));
    EXPECT_EQ(map->chunks_in_use(), 2u);
    map->python_expansion_helper(8);
    EXPECT_EQ(map->chunks_in_use(), 2u);
    for (std::uint64_t i = 0; i < 200; ++i) EXPECT_EQ(fetch(*map, key_of(i), spread(i)), value_of(i));
}

// A split keeps the order of the entries on both sides; each side ends with
// the chunks its entries fill (the partner its own first chunk and a new one,
// the old bucket one new chunk, its old list given back).
TEST_F(MapTest, SplitKeepsOrderOnBothSides) {
    auto map = create({1, 2, 1 << 22, 3});  // two buckets; expands past 4 entries
    const std::vector<std::int64_t> hashes = {2, 0, 6, 10, 14};  // all in bucket 0; bit 2 moves
    for (std::size_t i = 0; i < hashes.size(); ++i) put(*map, key_of(i), value_of(i), hashes[i]);
    ASSERT_EQ(map->chunks_in_use(), 2u);  // the fifth append expanded
    auto *m = map->internals();
    EXPECT_EQ(entry_hashes(*map, m->bucket_at(0)), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(entry_hashes(*map, m->bucket_at(2)), (std::vector<std::uint64_t>{2, 6, 10, 14}));
    EXPECT_EQ(m->bucket_at(2)->entries.chunk_count, 2u);
    EXPECT_EQ(m->bucket_at(0)->entries.chunk_count, 1u);
    for (std::size_t i = 0; i < hashes.size(); ++i) EXPECT_EQ(fetch(*map, key_of(i), hashes[i]), value_of(i));
}

TEST_F(MapTest, SplitWhereAllMoveOrAllStay) {
    for (std::int64_t parity : {0, 1}) {
        auto map = create({0, 2, 1 << 22, 3});
        std::vector<std::int64_t> hashes = {parity, parity + 2, parity + 4};
        for (std::size_t i = 0; i < hashes.size(); ++i) put(*map, key_of(i), value_of(i), hashes[i]);
        ASSERT_EQ(map->chunks_in_use(), 2u);
        auto *m = map->internals();
        Bucket *stays = m->bucket_at(parity == 0 ? 0 : 1);
        Bucket *empty = m->bucket_at(parity == 0 ? 1 : 0);
        EXPECT_EQ(stays->entries.length, 3u);
        EXPECT_EQ(empty->entries.length, 0u);
        EXPECT_GE(empty->entries.chunk_count, 1u);  // an emptied bucket keeps a chunk
        EXPECT_EQ(stays->forward, 0u);
        for (std::size_t i = 0; i < hashes.size(); ++i) EXPECT_EQ(fetch(*map, key_of(i), hashes[i]), value_of(i));
    }
}

TEST_F(MapTest, ExpansionHelperBelowAtAndAboveTarget) {
    auto map = create({2, 16, 1 << 22, 3});
    for (std::uint64_t i = 0; i < 8; ++i) put(*map, key_of(i), value_of(i), spread(i));
    python_expansion_helper_string(path, 1);  // at the target: nothing
    EXPECT_EQ(map->chunks_in_use(), 1u);
    python_expansion_helper_string(path, 1000);  // far above: one doubling
    EXPECT_EQ(map->chunks_in_use(), 2u);
    python_expansion_helper_string(path, 4);
    EXPECT_EQ(map->chunks_in_use(), 4u);
    for (std::uint64_t i = 0; i < 8; ++i) EXPECT_EQ(fetch(*map, key_of(i), spread(i)), value_of(i));
    EXPECT_THROW(python_expansion_helper_string(tmpdir.path() + "/absent", 2), std::runtime_error);
    EXPECT_THROW(python_expansion_helper_string("", 2), std::runtime_error);  // creates, runs out of room
}

// A segment without room for the new chunks refuses the expansion: inserts go
// on in the table as it is, or report the full segment; nothing waits.
TEST_F(MapTest, NoRoomMeansNoExpansion) {
    auto map = create({6, 64, 140000, 3});  // 64 buckets; a doubling needs ~17 KB
    std::uint64_t stored = 0;
    try {
        for (;; ++stored) put(*map, key_of(stored), "v", spread(stored));
    } catch (const std::runtime_error &) {
    }
    EXPECT_GT(stored, 128u);
    EXPECT_EQ(map->internals()->expansion_workers(), 0u);
    EXPECT_EQ(map->entry_count(), stored);
    for (std::uint64_t i = 0; i < stored; ++i) ASSERT_EQ(fetch(*map, key_of(i), spread(i)), "v") << i;
    // Asked for explicitly, the expansion reports the lack of room, and
    // leaves nothing behind: no participant counted, no claim marker.
    const std::uint64_t chunks = map->chunks_in_use();
    try {
        map->python_expansion_helper(1000);
        ADD_FAILURE() << "expanded a full segment";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "the segment has no room to expand the table");
    }
    EXPECT_EQ(map->internals()->expansion_workers(), 0u);
    EXPECT_EQ(map->internals()->table_entry(chunks), 0);
    EXPECT_EQ(map->chunks_in_use(), chunks);
}

// Threads insert, read and remove while the table expands under them; every
// read of a key that is present finds it.
TEST_F(MapTest, ThreadsKeepFindingKeysDuringExpansions) {
    auto map = create({1, 1024, 1 << 26, 4});
    constexpr int kThreads = 4;
    constexpr std::uint64_t kPerThread = 3000;
    std::atomic<int> misses{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint64_t i = 0; i < kPerThread; ++i) {
                std::uint64_t k = t * kPerThread + i;
                put(*map, key_of(k), value_of(k), spread(k));
                std::uint64_t back = t * kPerThread + i / 2;
                if (fetch(*map, key_of(back), spread(back)) != value_of(back)) misses++;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(misses.load(), 0);
    EXPECT_EQ(map->entry_count(), kThreads * kPerThread);
    EXPECT_GE(map->chunks_in_use(), 1024u);
    for (std::uint64_t k = 0; k < kThreads * kPerThread; ++k) ASSERT_EQ(fetch(*map, key_of(k), spread(k)), value_of(k));
}

// Processes insert, read and remove while other processes expand on request.
TEST_F(MapTest, ProcessesWorkWhileOthersExpand) {
    auto map = create({2, 512, 1 << 26, 4});
    constexpr int kWorkers = 3;
    constexpr std::uint64_t kPerWorker = 2500;
    std::vector<pid_t> children;
    for (int w = 0; w < kWorkers; ++w) {
        children.push_back(fork_child([&, w] {
            int status = 0;
            auto mine = attach(path);
            for (std::uint64_t i = 0; i < kPerWorker; ++i) {
                std::uint64_t k = w * kPerWorker + i;
                put(*mine, key_of(k), value_of(k), spread(k));
                if (fetch(*mine, key_of(k), spread(k)) != value_of(k)) status = 2;
                if (i % 4 == 3 && !erase(*mine, key_of(k - 1), spread(k - 1))) status = 3;
            }
            return status;
        }));
    }
    pid_t expander = fork_child([&] {
        for (int round = 0; round < 6; ++round) python_expansion_helper_string(path, UINT64_MAX);
        return 0;
    });
    for (pid_t pid : children) EXPECT_EQ(wait_exit_status(pid), 0);
    EXPECT_EQ(wait_exit_status(expander), 0);
    std::uint64_t present = 0;
    for (std::uint64_t k = 0; k < kWorkers * kPerWorker; ++k) {
        const bool removed = k % 4 == 2;
        auto value = fetch(*map, key_of(k), spread(k));
        if (removed) {
            EXPECT_EQ(value, std::nullopt) << k;
        } else {
            ++present;
            EXPECT_EQ(value, value_of(k)) << k;
        }
    }
    EXPECT_EQ(map->entry_count(), present);
    EXPECT_EQ(map->internals()->expansion_workers(), 0u);
    EXPECT_GE(map->chunks_in_use(), 64u);
}

}  // namespace
}  // namespace zorvik::testing

namespace zorvik::testing {
namespace {

// The pid of a process that has ended (and been reaped).
int dead_pid() {
    pid_t pid = fork_child([] { return 0; });
    wait_exit_status(pid);
    return static_cast<int>(pid);
}

// A process died after claiming an expansion (counted, marker set, cursor
// naming it): a waiting participant takes its place and the expansion ends.
TEST_F(MapTest, DeadClaimerIsReplaced) {
    auto map = create({2, 16, 1 << 22, 3});
    for (std::uint64_t i = 0; i < 8; ++i) put(*map, key_of(i), value_of(i), spread(i));
    auto *m = map->internals();
    atomics::fetch_add_field48(m->expansion_workers_word, 1);
    atomics::exchange_field48(m->table_slot(1), 1);
    atomics::store_field64(m->split_cursor_word, kClaimedBy - dead_pid());

    map->python_expansion_helper(2);
    EXPECT_EQ(map->chunks_in_use(), 2u);
    EXPECT_EQ(m->expansion_workers(), 0u);
    for (std::uint64_t i = 0; i < 8; ++i) EXPECT_EQ(fetch(*map, key_of(i), spread(i)), value_of(i));
}

// A process died after doubling the table but before clearing the marks:
// the operation that meets a mark clears it, and the next expansion finishes
// the clearing before it starts.
TEST_F(MapTest, DeadEnderIsHealed) {
    auto map = create({2, 16, 1 << 22, 3});
    for (std::uint64_t i = 0; i < 8; ++i) put(*map, key_of(i), value_of(i), spread(i));
    map->python_expansion_helper(2);
    ASSERT_EQ(map->chunks_in_use(), 2u);
    auto *m = map->internals();
    // The state the dead ender left: marks on old buckets, marker on slot 2.
    for (std::uint64_t b = 0; b < 4; ++b) {
        atomics::exchange_field48(forward_word(m->bucket_at(b)), static_cast<std::int64_t>(to_offset(m->base, m->bucket_at(b + 4))));
    }
    atomics::exchange_field48(m->table_slot(2), 1);
    atomics::store_field64(m->split_cursor_word, kEndingBy - dead_pid());

    put(*map, "new key", "new value", 0);  // bucket 0's mark belongs to no expansion: cleared
    EXPECT_EQ(m->bucket_at(0)->forward, 0u);
    EXPECT_EQ(fetch(*map, "new key", 0), "new value");
    map->python_expansion_helper(4);
    EXPECT_EQ(map->chunks_in_use(), 4u);
    EXPECT_EQ(m->expansion_workers(), 0u);
    for (std::uint64_t b = 0; b < 16; ++b) EXPECT_EQ(m->bucket_at(b)->forward, 0u);
    for (std::uint64_t i = 0; i < 8; ++i) EXPECT_EQ(fetch(*map, key_of(i), spread(i)), value_of(i));
}

}  // namespace
}  // namespace zorvik::testing
