// The map: construction and attachment, the entry operations with chosen
// hashes, failure with a bucket lock held, and several processes at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "map_fixture.hpp"
#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/segment/scope_exit.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik::testing {
namespace {

// ---- construction ---------------------------------------------------------------

struct BadArguments {
    std::uint8_t bucket_exponent;
    std::uint64_t bucket_chunk_number;
    std::uint64_t size;
    std::uint8_t string_exponent;
    const char *message;
};

TEST_F(MapTest, RejectsArgumentsInOrder) {
    const BadArguments cases[] = {
        {2, 1, 0, 3, "size should be greater than zero!"},
        {2, 0, 0, 2, "size should be greater than zero!"},  // size wins over the rest
        {2, 0, 100, 2, "string_chunk_size_exponent should be greater than 2!"},
        {2, 0, 100, 3, "bucket chunk number should be greater than zero!"},
        {2, 1, 100, 8, "string_chunk_size_exponent should be less than 8!"},
        {2, UINT64_MAX / 4, 100, 3, "bucket chunk number is too large!"},
        {62, 1, 100, 3, "bucket chunk size exponent is too large!"},
    };
    for (const BadArguments &c : cases) {
        std::string name;
        try {
            ConcurrentHashMap_string map(name, c.bucket_exponent, c.bucket_chunk_number, c.size, c.string_exponent);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const std::invalid_argument &e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_TRUE(name.empty());
    }
    EXPECT_TRUE(tmpdir.entries().empty());
}

TEST_F(MapTest, CreateWritesPathAndAttachTakesShapeFromFile) {
    auto map = create({3, 5, 1 << 20, 5});
    ASSERT_EQ(path.rfind(tmpdir.path() + numbered("/mm", getpid()), 0), 0u) << path;
    EXPECT_EQ(map->bucket_chunk_size(), 8u);
    EXPECT_EQ(map->data_chunk_size(), 32u);
    const Allocator base = map->base();
    EXPECT_EQ(chunk_size_at(base + 64), 168);  // the header chunk comes first
    EXPECT_EQ(read_u64(base + 66 + 16), 5u);   // MapHeader.bucket_chunk_number
    put(*map, "k", "v", 7);

    auto other = attach(path);
    EXPECT_EQ(other->bucket_chunk_size(), 8u);
    EXPECT_EQ(other->bucket_chunk_number(), 5u);
    EXPECT_EQ(other->data_chunk_size(), 32u);
    EXPECT_EQ(fetch(*other, "k", 7), "v");
    other.reset();
    map.reset();
    EXPECT_EQ(fetch(*attach(path), "k", 7), "v");  // the file outlives its users
}

TEST_F(MapTest, BucketExponentIsTakenModulo64) {
    EXPECT_EQ(create({64, 1, 1 << 16, 3})->bucket_chunk_size(), 1u);
    EXPECT_EQ(create({0, 1, 1 << 16, 3})->bucket_chunk_size(), 1u);
}

TEST_F(MapTest, AttachToMissingFileReportsErrno) {
    try {
        attach(tmpdir.path() + "/absent");
        FAIL();
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "file status wrong with errno: 2");
    }
}

TEST_F(MapTest, FailedCreationLeavesNoFile) {
    EXPECT_THROW(create({2, 1, 100, 3}), std::runtime_error);  // too small for the entry chunks
    EXPECT_THROW(create({20, 1, 1 << 20, 3}), std::runtime_error);
    EXPECT_TRUE(tmpdir.entries().empty());
}

// Files that do not hold a map are refused before a byte is written.
TEST_F(MapTest, RefusesForeignFilesUnchanged) {
    auto map = create();
    map.reset();
    const std::string good = file_bytes(path);
    auto write_file = [&](const std::string &name, const std::string &contents) {
        std::string file = tmpdir.path() + "/" + name;
        std::ofstream(file, std::ios::binary) << contents;
        return file;
    };
    auto patched = [&](std::size_t position, std::uint64_t value) {
        std::string contents = good;
        std::memcpy(&contents[position], &value, sizeof value);
        return contents;
    };
    std::mt19937_64 random(1);
    std::string noise(good.size(), '\0');
    for (char &c : noise) c = static_cast<char>(random());
    const std::string directory = tmpdir.path() + "/dir";
    mkdir(directory.c_str(), 0700);

    const std::vector<std::pair<std::string, std::string>> refused = {
        {directory, "not a regular file"},
        {"/dev/null", "not a regular file"},
        {write_file("empty", ""), "too short"},
        {write_file("short", good.substr(0, 200)), "too short"},
        {write_file("noise", noise), "does not hold a zorvik dictionary"},
        {write_file("text", std::string(8192, 'x')), "does not hold a zorvik dictionary"},
        {write_file("capacity", patched(24, 1ull << 40)), "capacity"},
        {write_file("offset", patched(32, good.size())), "offset"},
        {write_file("table", patched(90 + 56, 1ull << 40)), "chunk table"},
        {write_file("word", patched(90 + 96, 7)), "entry_count"},
        {write_file("chunks", patched(90 + 24, 3)), "power of two"},
    };
    for (const auto &[file, fault] : refused) {
        struct stat before {};
        stat(file.c_str(), &before);
        const std::string contents = S_ISREG(before.st_mode) ? file_bytes(file) : "";
        try {
            attach(file);
            ADD_FAILURE() << "attached to " << file;
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(fault), std::string::npos) << e.what();
        }
        if (S_ISREG(before.st_mode)) {
            EXPECT_EQ(file_bytes(file), contents) << file;
        }
    }
}

// ---- entry operations -----------------------------------------------------------

TEST_F(MapTest, GetOnEmptyBucketLeavesOutParametersAlone) {
    auto map = create();
    signed char *buffer = reinterpret_cast<signed char *>(0x1);
    std::int64_t length = -5;
    EXPECT_FALSE(map->get(bytes_of("a"), 1, 3, buffer, length));
    EXPECT_EQ(buffer, reinterpret_cast<signed char *>(0x1));
    EXPECT_EQ(length, -5);
    EXPECT_FALSE(erase(*map, "a", 3));
}

TEST_F(MapTest, KeysAreHashLengthAndBytes) {
    auto map = create();
    put(*map, "same", "by hash 1", 1);
    put(*map, "same", "by hash 5", 5);  // same bytes, another hash: another key
    put(*map, "other", "collides", 1);  // same hash, other bytes
    put(*map, "sam", "shorter", 1);     // a prefix
    EXPECT_EQ(map->entry_count(), 4u);
    EXPECT_EQ(fetch(*map, "same", 1), "by hash 1");
    EXPECT_EQ(fetch(*map, "same", 5), "by hash 5");
    EXPECT_EQ(fetch(*map, "other", 1), "collides");
    EXPECT_EQ(fetch(*map, "sam", 1), "shorter");
    EXPECT_EQ(fetch(*map, "same", 9), std::nullopt);
}

TEST_F(MapTest, ReplacementKeepsCountAndResizesValue) {
    auto map = create();
    const std::string values[] = {"short", std::string(100, 'L'), "", std::string(17, 'm'), "x"};
    for (const std::string &v : values) {
        put(*map, "key", v, 42);
        EXPECT_EQ(fetch(*map, "key", 42), v);
        EXPECT_EQ(map->entry_count(), 1u);
    }
}

TEST_F(MapTest, EmptyValueComesBackAsOneByteBuffer) {
    auto map = create();
    put(*map, "", "", 0);
    signed char *buffer = nullptr;
    std::int64_t length = -1;
    ASSERT_TRUE(map->get(bytes_of(""), 0, 0, buffer, length));
    EXPECT_EQ(length, 0);
    EXPECT_NE(buffer, nullptr);
    host::free(buffer);
}

TEST_F(MapTest, LongStringsSpanManyChunks) {
    auto map = create();  // 8-byte data chunks
    std::string key(1000, '\0'), value(5000, '\0');
    std::mt19937 random(3);
    for (char &c : key) c = static_cast<char>(random());
    for (char &c : value) c = static_cast<char>(random());
    put(*map, key, value, -1);  // a negative hash is placed by its unsigned value
    EXPECT_EQ(fetch(*map, key, -1), value);
    key.back() ^= 1;
    EXPECT_EQ(fetch(*map, key, -1), std::nullopt);
}

// Entries of one bucket: two per entry chunk, the first chunk always kept,
// the last entry moved into a removed one's slot.
TEST_F(MapTest, BucketEntryChunkAccounting) {
    auto map = create({0, 1, 1 << 20, 3});  // one bucket: every hash collides
    Bucket *bucket = bucket_for(*map, 0);
    auto shape = [&] { return std::make_pair(std::uint64_t{bucket->entries.length}, std::uint64_t{bucket->entries.chunk_count}); };
    put(*map, "a", "1", 10);
    put(*map, "b", "2", 11);
    EXPECT_EQ(shape(), std::make_pair(std::uint64_t{2}, std::uint64_t{1}));
    put(*map, "c", "3", 12);
    EXPECT_EQ(shape(), std::make_pair(std::uint64_t{3}, std::uint64_t{2}));  // the third entry takes a chunk

    ASSERT_TRUE(erase(*map, "a", 10));  // the last entry moves into slot 0
    EXPECT_EQ(shape(), std::make_pair(std::uint64_t{2}, std::uint64_t{1}));
    EXPECT_EQ(fetch(*map, "b", 11), "2");
    EXPECT_EQ(fetch(*map, "c", 12), "3");
    ASSERT_TRUE(erase(*map, "b", 11));
    ASSERT_TRUE(erase(*map, "c", 12));
    EXPECT_EQ(shape(), std::make_pair(std::uint64_t{0}, std::uint64_t{1}));  // the first chunk stays
    EXPECT_FALSE(erase(*map, "c", 12));
    put(*map, "d", "4", 13);
    EXPECT_EQ(fetch(*map, "d", 13), "4");
    EXPECT_EQ(map->entry_count(), 1u);
}

// A removed entry's key and value chunks go back together, in the order an
// append takes them, so that the next append of the same shape lands on the
// same neighbouring chunks.
TEST_F(MapTest, RemovedEntryChunksComeBackInAppendOrder) {
    auto map = create({0, 1, 1 << 20, 3});  // one bucket, 8-byte data chunks
    Bucket *bucket = bucket_for(*map, 0);
    const char *base = map->base();
    auto first_entry = [&] {
        const Offset entry_chunk = read_u64(base + bucket->entries.head);  // the link's `chunk`
        return reinterpret_cast<const MapEntry *>(base + entry_chunk);
    };
    put(*map, "key", std::string(20, 'v'), 1);  // 1 key chunk, 3 value chunks
    const Offset key_head = first_entry()->key.head;
    const Offset value_head = first_entry()->value.head;
    ASSERT_TRUE(erase(*map, "key", 1));
    put(*map, "yek", std::string(20, 'w'), 2);
    EXPECT_EQ(first_entry()->key.head, key_head);
    EXPECT_EQ(first_entry()->value.head, value_head);
    EXPECT_EQ(fetch(*map, "yek", 2), std::string(20, 'w'));
}

// The prefetch hints work for any hash, in a map that has resolved its bucket
// chunks and in one attached a moment ago that has not: they neither throw
// nor change a byte of the file, also where a bucket's head is damaged.
TEST_F(MapTest, PrefetchHintsChangeNothing) {
    auto map = create({1, 4, 1 << 20, 5});  // 2 buckets a chunk, up to 4 chunks
    // Attached before the table doubles: it resolves only the first chunk.
    auto attached = attach(path);
    for (int i = 0; i < 20; ++i) put(*map, numbered("k", i), "v", i);
    ASSERT_EQ(map->chunks_in_use(), 4u) << "the table doubled twice";
    const std::string before = file_bytes(path);
    std::vector<std::int64_t> hashes = {-1, INT64_MIN, INT64_MAX};
    for (std::int64_t h = 0; h < 8; ++h) hashes.push_back(h);
    for (std::int64_t hash : hashes) {
        map->prefetch_bucket(hash);
        attached->prefetch_bucket(hash);
        map->prefetch_entries(hash);
        attached->prefetch_entries(hash);
    }
    EXPECT_EQ(file_bytes(path), before);
    Bucket *bucket = bucket_for(*map, 0);
    const Offset head = bucket->entries.head;
    for (Offset damaged : {Offset{0}, Offset{1}, ~Offset{0}, Offset{1} << 47}) {
        bucket->entries.head = damaged;
        map->prefetch_entries(0);
    }
    bucket->entries.head = head;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(fetch(*attached, numbered("k", i), i), "v");
}

// Removing in every order from a bucket of n entries keeps the others found
// and the slots beyond the length all zero.
TEST_F(MapTest, RemovalInAnyOrderAgainstModel) {
    std::mt19937 random(11);
    std::map<std::string, std::string> model;
    // One bucket, three hashes: every entry collides with many others.
    auto hash_of = [](const std::string &key) { return static_cast<std::int64_t>(key.size() % 3); };
    auto fresh = create({0, 1, 1 << 22, 3});
    for (int round = 0; round < 2000; ++round) {
        std::string key = numbered("k", random() % 40);
        if (random() % 3 != 0) {
            std::string value(random() % 40, static_cast<char>('a' + round % 26));
            put(*fresh, key, value, hash_of(key));
            model[key] = value;
        } else {
            EXPECT_EQ(erase(*fresh, key, hash_of(key)), model.erase(key) == 1);
        }
        ASSERT_EQ(fresh->entry_count(), model.size());
    }
    for (const auto &[key, value] : model) EXPECT_EQ(fetch(*fresh, key, hash_of(key)), value);
    Bucket *bucket = bucket_for(*fresh, 0);
    EXPECT_GE(bucket->entries.chunk_count, (bucket->entries.length + 1) / 2);
}

// ---- failure with the bucket lock held ------------------------------------------

// A segment with room for the map and little else: inserts that need space
// fail cleanly, and everything that needs none goes on working.
TEST_F(MapTest, FullSegmentFailsCleanly) {
    auto map = create({0, 1, 40000, 3});
    std::vector<std::string> stored;
    std::string failure;
    for (int i = 0;; ++i) {
        std::string key = numbered("key", i);
        try {
            put(*map, key, std::string(40, 'v'), 1);
        } catch (const std::runtime_error &e) {
            failure = e.what();
            break;
        }
        stored.push_back(key);
    }
    EXPECT_EQ(failure, std::strerror(ENOMEM));
    ASSERT_GT(stored.size(), 3u);
    Bucket *bucket = bucket_for(*map, 1);
    const auto length = bucket->entries.length;
    EXPECT_EQ(length, stored.size());
    EXPECT_EQ(map->entry_count(), stored.size());
    EXPECT_THROW(put(*map, "another", std::string(40, 'v'), 1), std::runtime_error);  // every time
    EXPECT_EQ(bucket->entries.length, length);
    EXPECT_EQ(segment_lock_holder(lock_word(bucket)), 0);  // released

    for (const std::string &key : stored) EXPECT_EQ(fetch(*map, key, 1), std::string(40, 'v'));
    put(*map, stored[0], "short", 1);  // a shorter value needs no space
    EXPECT_EQ(fetch(*map, stored[0], 1), "short");
    EXPECT_TRUE(erase(*map, stored[1], 1));
    put(*map, "fits now", "v", 1);  // the removed entry's chunks are reused
    EXPECT_EQ(fetch(*map, "fits now", 1), "v");
}

TEST_F(MapTest, FailedBufferAllocationReleasesTheLock) {
    auto map = create();
    put(*map, "k", "value", 2);
    host::install({nullptr, nullptr, [](std::size_t) -> void * { return nullptr; }, nullptr, nullptr, nullptr});
    signed char *buffer = nullptr;
    std::int64_t length = 0;
    EXPECT_THROW(map->get(bytes_of("k"), 1, 2, buffer, length), std::bad_alloc);
    host::install({});
    EXPECT_EQ(fetch(*map, "k", 2), "value");
}

// ---- the bucket guard ----------------------------------------------------------------

bool lock_held(Bucket *bucket) { return segment_lock_holder(lock_word(bucket)) != 0; }

// lock_bucket hands out the lock as a guard; it is let go exactly once, on
// whatever path the holder leaves by.
TEST_F(MapTest, BucketGuardReleasesOnEveryPath) {
    auto map = create();
    MapState &m = *map->internals();
    Bucket *bucket = bucket_for(*map, 5);
    {
        const BucketGuard guard = lock_bucket(m, 5);
        EXPECT_EQ(guard.bucket(), bucket);
        EXPECT_EQ(guard.forward(), 0u);
        EXPECT_EQ(segment_lock_holder(lock_word(bucket)), host::own_pid());
    }
    EXPECT_FALSE(lock_held(bucket)) << "the end of the scope";

    try {
        const BucketGuard guard = lock_bucket(m, 5);
        throw std::runtime_error("failure while held");
    } catch (const std::runtime_error &) {
    }
    EXPECT_FALSE(lock_held(bucket)) << "an exception";

    {
        BucketGuard outer = [&] {
            BucketGuard inner = lock_bucket(m, 5);
            return inner;
        }();
        EXPECT_TRUE(lock_held(bucket)) << "a moved-from guard let go";
        EXPECT_TRUE(outer.holds());
    }
    EXPECT_FALSE(lock_held(bucket)) << "the guard it moved to";

    std::optional<BucketGuard> released(lock_bucket(m, 5));
    released->release();
    EXPECT_FALSE(lock_held(bucket)) << "release()";
    {
        const SegmentLockGuard another_holder(lock_word(bucket), kBucketLockName);
        released.reset();
        EXPECT_TRUE(lock_held(bucket)) << "a released guard let go a second time";
    }
    EXPECT_FALSE(lock_held(bucket));
}

// The entry a map's first bucket holds first.
MapEntry *first_entry(ConcurrentHashMap_string &map, Bucket *bucket) {
    const MapState &m = *map.internals();
    return reinterpret_cast<MapEntry *>(m.area.bytes(entry_chain(m.area, bucket->entries).link_at(0)->chunk, 88));
}

// Every operation that fails while it holds a bucket's lock (or its partner's)
// lets go of it: the failure reaches the caller and the next operation on the
// bucket goes on.
TEST_F(MapTest, FailuresUnderTheBucketLockReleaseIt) {
    struct Case {
        const char *name;
        std::function<void(ConcurrentHashMap_string &, Bucket *)> damage;
        std::function<void(ConcurrentHashMap_string &)> operation;
    };
    auto broken_value = [](ConcurrentHashMap_string &map, Bucket *bucket) {
        first_entry(map, bucket)->value.head = map.internals()->area.end() + 2;
    };
    auto no_damage = [](ConcurrentHashMap_string &, Bucket *) {};
    const std::vector<Case> cases = {
        {"get_of_a_broken_value", broken_value, [](ConcurrentHashMap_string &map) { fetch(map, "k", 3); }},
        {"remove_of_a_broken_value", broken_value, [](ConcurrentHashMap_string &map) { erase(map, "k", 3); }},
        {"replace_of_a_broken_value", broken_value,
         [](ConcurrentHashMap_string &map) { put(map, "k", std::string(40, 'w'), 3); }},
        {"get_of_a_broken_key",
         [](ConcurrentHashMap_string &map, Bucket *bucket) {
             first_entry(map, bucket)->key.head = map.internals()->area.end() + 2;
         },
         [](ConcurrentHashMap_string &map) { fetch(map, "k", 3); }},
        {"get_without_a_buffer", no_damage,
         [](ConcurrentHashMap_string &map) {
             host::install({nullptr, nullptr, [](std::size_t) -> void * { return nullptr; }, nullptr, nullptr, nullptr});
             ScopeExit restore([] { host::install({}); });
             fetch(map, "k", 3);
         }},
    };
    for (const Case &c : cases) {
        auto map = create();
        put(*map, "k", std::string(20, 'v'), 3);  // three 8-byte value chunks
        Bucket *bucket = bucket_for(*map, 3);
        c.damage(*map, bucket);
        EXPECT_ANY_THROW(c.operation(*map)) << c.name;
        EXPECT_FALSE(lock_held(bucket)) << c.name;
        atomics::exchange_field48(forward_word(bucket), 0);
        put(*map, "other", "v", 3);  // takes the lock again
        EXPECT_EQ(fetch(*map, "other", 3), "v") << c.name;
    }
}

// ---- several processes ----------------------------------------------------------

// Processes attach by name and work on their own keys and on shared keys at
// once; the end state is checked entry by entry.
TEST_F(MapTest, ProcessesShareOneMap) {
    auto map = create({4, 1, 1 << 24, 4});
    constexpr int kWorkers = 4;
    constexpr int kKeys = 300;
    auto own_key = [](int worker, int i) { return numbered("w", worker) + numbered("-", i); };
    auto hash_of = [](const std::string &key) { return static_cast<std::int64_t>(std::hash<std::string>{}(key)); };
    std::vector<pid_t> children;
    for (int w = 0; w < kWorkers; ++w) {
        children.push_back(fork_child([&, w] {
            int status = 0;
            auto mine = attach(path);
            for (int i = 0; i < kKeys; ++i) {
                std::string key = own_key(w, i);
                put(*mine, key, "first", hash_of(key));
                put(*mine, key, std::string(i % 50, 'x') + std::to_string(w), hash_of(key));
                put(*mine, numbered("shared", i % 10), std::to_string(w), hash_of(numbered("shared", i % 10)));
                if (fetch(*mine, key, hash_of(key)) != std::string(i % 50, 'x') + std::to_string(w)) status = 2;
                if (i % 3 == 0 && !erase(*mine, key, hash_of(key))) status = 3;
            }
            return status;
        }));
    }
    for (pid_t pid : children) EXPECT_EQ(wait_exit_status(pid), 0);
    std::size_t expected = 10;
    for (int w = 0; w < kWorkers; ++w) {
        for (int i = 0; i < kKeys; ++i) {
            std::string key = own_key(w, i);
            auto value = fetch(*map, key, hash_of(key));
            if (i % 3 == 0) {
                EXPECT_EQ(value, std::nullopt) << key;
            } else {
                ++expected;
                EXPECT_EQ(value, std::string(i % 50, 'x') + std::to_string(w)) << key;
            }
        }
    }
    for (int s = 0; s < 10; ++s) {
        auto value = fetch(*map, numbered("shared", s), hash_of(numbered("shared", s)));
        ASSERT_TRUE(value.has_value());
        EXPECT_TRUE(value->size() == 1 && (*value)[0] >= '0' && (*value)[0] < '0' + kWorkers);
    }
    EXPECT_EQ(map->entry_count(), expected);
}

}  // namespace
}  // namespace zorvik::testing
