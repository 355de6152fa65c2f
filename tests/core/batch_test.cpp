// Batches: get_many, contains_many, remove_many and insert_many give every key
// exactly what the single-key operation gives it, in the batch's order, also
// while the table doubles under them; a failure stops a batch at the key that
// fails; and the hint that loads entries' data ahead reads nothing it should
// not, in a damaged file too.
#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "map_fixture.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik::testing {
namespace {

// Hashes that spread keys over every bucket of every table size; `collide`
// folds them onto few values, so that keys share hashes and buckets.
std::int64_t hash_of(std::uint64_t k, std::uint64_t collide = 0) {
    const std::uint64_t n = collide != 0 ? k % collide : k;
    return static_cast<std::int64_t>(n * 0x9E3779B97F4A7C15ull);
}

// The values get_many found, by index (none where the key was absent).
class ValuesSink final : public BatchSink {
public:
    explicit ValuesSink(std::size_t n) : values(n) {}
    char *reserve(std::size_t index, std::uint64_t length) override {
        values.at(index) = std::string(length, '\0');
        return values[index]->data();
    }
    void abandon(std::size_t index) noexcept override { values[index].reset(); }

    std::vector<std::optional<std::string>> values;
};

// A batch's keys, with the strings their views point into.
struct Batch {
    std::vector<std::string> keys;
    std::vector<std::string> values;
    std::vector<std::int64_t> hashes;

    std::vector<BatchKey> views() const {
        std::vector<BatchKey> out;
        for (std::size_t i = 0; i < keys.size(); ++i) out.push_back({keys[i], hashes[i]});
        return out;
    }
    std::vector<BatchItem> items() const {
        std::vector<BatchItem> out;
        for (std::size_t i = 0; i < keys.size(); ++i) out.push_back({keys[i], values[i], hashes[i]});
        return out;
    }
};

// Random batches of each operation, with repeated keys and shared hashes,
// against a model and against the single-key operations on a second map
// that gets the same operations one key at a time. The first map's table
// starts with one bucket and doubles many times, inside insert_many calls;
// it runs the hints from its first entry, though a table this small would
// go without them.
TEST_F(MapTest, BatchesAgreeWithSingleKeyOperationsAcrossDoublings) {
    std::mt19937 random(20240601);
    const MapShape shape{0, 4096, 1 << 24, 3};
    auto batched = create(shape);
    batched->internals()->batch_hints_from = 0;  // the hints on the small tables too
    auto single = create(shape);
    std::map<std::string, std::string> model;
    std::uint64_t doublings_inside_a_batch = 0;
    for (int round = 0; round < 300; ++round) {
        Batch batch;
        const std::size_t n = random() % 70;  // 0 too: an empty batch
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = random() % 400;
            batch.keys.push_back(numbered("key", k));
            batch.values.push_back(std::string(random() % 50, static_cast<char>('a' + round % 26)));
            batch.hashes.push_back(hash_of(k, 150));
        }
        const auto keys = batch.views();
        switch (random() % 4) {
            case 0: {
                const std::uint64_t before = batched->chunks_in_use();
                batched->insert_many(batch.items());
                if (batched->chunks_in_use() > before) ++doublings_inside_a_batch;
                for (std::size_t i = 0; i < n; ++i) {
                    put(*single, batch.keys[i], batch.values[i], batch.hashes[i]);
                    model[batch.keys[i]] = batch.values[i];  // the later of two stores of a key stays
                }
                break;
            }
            case 1: {
                ValuesSink sink(n);
                batched->get_many(keys, sink);
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_EQ(sink.values[i], fetch(*single, batch.keys[i], batch.hashes[i])) << batch.keys[i];
                }
                break;
            }
            case 2: {
                std::unique_ptr<bool[]> found(new bool[n + 1]);
                batched->contains_many(keys, std::span(found.get(), n));
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_EQ(found[i], single->contains(batch.keys[i], batch.hashes[i])) << batch.keys[i];
                }
                break;
            }
            default: {
                std::unique_ptr<bool[]> removed(new bool[n + 1]);
                batched->remove_many(keys, std::span(removed.get(), n));
                for (std::size_t i = 0; i < n; ++i) {
                    // A key given twice is removed by its first occurrence.
                    ASSERT_EQ(removed[i], erase(*single, batch.keys[i], batch.hashes[i])) << batch.keys[i];
                    model.erase(batch.keys[i]);
                }
            }
        }
        ASSERT_EQ(batched->entry_count(), model.size());
    }
    EXPECT_GT(doublings_inside_a_batch, 3u);
    for (std::uint64_t k = 0; k < 400; ++k) {
        const std::string key = numbered("key", k);
        const auto expected = model.count(key) ? std::optional(model[key]) : std::nullopt;
        EXPECT_EQ(fetch(*batched, key, hash_of(k, 150)), expected);
    }
}

TEST_F(MapTest, EmptyBatchesChangeNothingAndResultsMustFit) {
    auto map = create();
    put(*map, "k", "v", 1);
    const std::string before = file_bytes(path);
    ValuesSink sink(0);
    map->get_many({}, sink);
    map->contains_many({}, {});
    map->remove_many({}, {});
    map->insert_many({});
    EXPECT_EQ(file_bytes(path), before);
    const BatchKey key{"k", 1};
    bool result[2] = {false, false};
    EXPECT_THROW(map->remove_many(std::span(&key, 1), std::span(result, 2)), std::invalid_argument);
    EXPECT_EQ(fetch(*map, "k", 1), "v");
}

// insert_many takes a group's chains in one take and hands back what its
// keys did not use (the chains of keys that were there, the values those
// replaced): once the pools have given everything back, a map filled by
// batches holds exactly the chunks a map given the same stores one at a time
// holds. Values up to 300 bytes take chains long enough to be runs.
TEST_F(MapTest, InsertManyKeepsNoChunkItDoesNotUse) {
    std::mt19937 random(7);
    const MapShape shape{4, 16, 1 << 23, 5};
    auto batched = create(shape);
    auto single = create(shape);
    for (int round = 0; round < 60; ++round) {
        Batch batch;
        const std::size_t n = random() % 40;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = random() % 150;
            batch.keys.push_back(numbered("key", k));
            batch.values.push_back(std::string(random() % 300, static_cast<char>('a' + round % 26)));
            batch.hashes.push_back(hash_of(k, 150));
        }
        batched->insert_many(batch.items());
        for (std::size_t i = 0; i < n; ++i) put(*single, batch.keys[i], batch.values[i], batch.hashes[i]);
    }
    ASSERT_EQ(batched->entry_count(), single->entry_count());
    // Bytes allocated and not on a free list: what the map's structures hold.
    auto bytes_in_use = [](ConcurrentHashMap_string &map) {
        MapState &m = *map.internals();
        m.data_pool.return_all();
        m.entry_pool.return_all();
        return memory_manager(m.base)->offset - recount_free_listed(m.base);
    };
    EXPECT_EQ(bytes_in_use(*batched), bytes_in_use(*single));
}

// A full segment stops insert_many at the key that does not fit: the keys
// before it are stored, that key and the rest are not, and no lock stays held.
TEST_F(MapTest, InsertManyStopsAtTheKeyThatFails) {
    auto map = create({0, 1, 40000, 3});
    Batch batch;
    for (int i = 0; i < 2000; ++i) {
        batch.keys.push_back(numbered("key", i));
        batch.values.push_back(std::string(40, 'v'));
        batch.hashes.push_back(1);
    }
    EXPECT_THROW(map->insert_many(batch.items()), SpaceExhausted);
    const std::uint64_t stored = map->entry_count();
    ASSERT_GT(stored, 3u);
    ASSERT_LT(stored, batch.keys.size());
    for (std::size_t i = 0; i < batch.keys.size(); ++i) {
        EXPECT_EQ(fetch(*map, batch.keys[i], 1).has_value(), i < stored) << i;
    }
    EXPECT_EQ(segment_lock_holder(lock_word(bucket_for(*map, 1))), 0);
}

// The data hint works for any hash, resolved or not, and neither throws nor
// changes a byte where a bucket's head, its entry link or an entry's fields
// are damaged (the sanitizer builds see any read outside the segment).
TEST_F(MapTest, EntryDataHintReadsOnlyTheSegment) {
    auto map = create({1, 4, 1 << 20, 5});
    auto attached = attach(path);
    for (int i = 0; i < 20; ++i) put(*map, numbered("k", i), "v", i);
    MapState &m = *map->internals();
    const std::string before = file_bytes(path);
    for (std::int64_t hash : {std::int64_t{-1}, INT64_MIN, INT64_MAX, std::int64_t{0}, std::int64_t{3}}) {
        for (bool value : {false, true}) {
            m.prefetch_entry_data(hash, value);
            attached->internals()->prefetch_entry_data(hash, value);
        }
    }
    EXPECT_EQ(file_bytes(path), before);

    Bucket *bucket = bucket_for(*map, 0);
    const Offset head = bucket->entries.head;
    ChunkLink *link = m.area.link(head);
    const Offset chunk = link->chunk;
    auto *entry = reinterpret_cast<MapEntry *>(m.area.bytes(chunk, kEntryChunkSize));
    const MapEntry kept = *entry;
    const Offset damaged[] = {0, 1, 3, ~Offset{0}, Offset{1} << 47, m.area.end() - 2};
    for (Offset bad : damaged) {
        bucket->entries.head = bad;
        m.prefetch_entry_data(0, true);
    }
    bucket->entries.head = head;
    for (Offset bad : damaged) {
        link->chunk = bad;
        m.prefetch_entry_data(0, true);
    }
    link->chunk = chunk;
    for (Offset bad : damaged) {
        entry->key.head = bad;
        entry->value.head = bad;
        entry->key.chunk_count = bad;
        entry->value.chunk_count = bad;
        m.prefetch_entry_data(0, true);
    }
    *entry = kept;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(fetch(*attached, numbered("k", i), i), "v");
}

// One thread stores keys one at a time, doubling the table again and again;
// another reads batches of the keys stored so far: every one is found.
TEST_F(MapTest, GetManyFindsEveryKeyWhileAnotherThreadDoubles) {
    auto map = create({1, 1024, 1 << 26, 4});
    map->internals()->batch_hints_from = 0;
    constexpr std::uint64_t kKeys = 12000;
    std::atomic<std::uint64_t> stored{0};
    std::atomic<int> misses{0};
    std::thread reader([&] {
        std::mt19937 random(7);
        while (stored.load() < kKeys) {
            const std::uint64_t present = stored.load();
            if (present == 0) continue;
            Batch batch;
            for (int i = 0; i < 64; ++i) {
                const std::uint64_t k = random() % present;
                batch.keys.push_back(numbered("key", k));
                batch.hashes.push_back(hash_of(k));
            }
            ValuesSink sink(batch.keys.size());
            map->get_many(batch.views(), sink);
            for (std::size_t i = 0; i < batch.keys.size(); ++i) {
                if (sink.values[i] != batch.keys[i]) misses++;
            }
        }
    });
    for (std::uint64_t k = 0; k < kKeys; ++k) {
        put(*map, numbered("key", k), numbered("key", k), hash_of(k));
        stored.store(k + 1);
    }
    reader.join();
    EXPECT_EQ(misses.load(), 0);
    EXPECT_GE(map->chunks_in_use(), 1024u) << "the table doubled at least ten times";
}

}  // namespace
}  // namespace zorvik::testing
