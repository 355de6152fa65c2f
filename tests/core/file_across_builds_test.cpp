// One file used in turns by builds for different processors: each run of this
// test (ZORVIK_ACROSS_FILE names the file; without it the test is skipped)
// checks every entry the runs before it left, then adds a round of its own
// and replaces some values of the round before. scripts/dev.py aarch64 runs it
// from an x86-64 build, then from an aarch64 build under qemu, then from the
// x86-64 build again: the file's bytes mean the same to both.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "map_fixture.hpp"

namespace zorvik::testing {
namespace {

constexpr std::uint64_t kKeysPerRound = 600;
// Rounds a file can take before the test stops adding (a bound on its size).
constexpr std::uint64_t kMostRounds = 8;

// FNV-1a: the same 64-bit hash on every processor, unlike std::hash.
std::int64_t portable_hash(const std::string &key) {
    std::uint64_t h = 14695981039346656037ull;
    for (const unsigned char c : key) h = (h ^ c) * 1099511628211ull;
    return static_cast<std::int64_t>(h);
}

std::string key_of(std::uint64_t round, std::uint64_t i) {
    std::string key = numbered("round ", round);
    key += numbered(" key ", i);
    return key;
}

// Lengths from 1 to 300 bytes: values of one data chunk and of many.
std::string value_of(std::uint64_t round, std::uint64_t i) {
    std::string value = numbered("value ", round * kKeysPerRound + i);
    value.resize(1 + (i * 37) % 300, static_cast<char>('a' + i % 26));
    return value;
}

std::string replaced_value_of(std::uint64_t round, std::uint64_t i) {
    return numbered("replaced in round ", round + 1) + key_of(round, i);
}

// The run that adds round r + 1 replaces the values of round r's keys
// i % 5 == 0; of `rounds` rounds, all but the last have had theirs replaced.
bool replaced_later(std::uint64_t round, std::uint64_t i, std::uint64_t rounds) {
    return round + 1 < rounds && i % 5 == 0;
}

TEST(FileAcrossBuilds, EveryEntryOfEveryEarlierRunReadsBack) {
    const char *path = std::getenv("ZORVIK_ACROSS_FILE");
    if (path == nullptr) GTEST_SKIP() << "ZORVIK_ACROSS_FILE names no file";
    ConcurrentHashMap_string map(path, OpenMode::open_or_create, MapArguments{2, 1, 1 << 22, 3});
    std::uint64_t rounds = 0;
    while (rounds < kMostRounds && fetch(map, key_of(rounds, 0), portable_hash(key_of(rounds, 0)))) ++rounds;

    for (std::uint64_t round = 0; round < rounds; ++round) {
        for (std::uint64_t i = 0; i < kKeysPerRound; ++i) {
            const std::string key = key_of(round, i);
            const std::string want = replaced_later(round, i, rounds) ? replaced_value_of(round, i) : value_of(round, i);
            ASSERT_EQ(fetch(map, key, portable_hash(key)), want) << key;
        }
    }
    ASSERT_EQ(map.entry_count(), rounds * kKeysPerRound);
    if (rounds == kMostRounds) return;

    for (std::uint64_t i = 0; i < kKeysPerRound; ++i) {
        const std::string key = key_of(rounds, i);
        put(map, key, value_of(rounds, i), portable_hash(key));
        if (rounds > 0 && i % 5 == 0) {
            const std::string earlier = key_of(rounds - 1, i);
            put(map, earlier, replaced_value_of(rounds - 1, i), portable_hash(earlier));
        }
    }
    EXPECT_EQ(map.entry_count(), (rounds + 1) * kKeysPerRound);
}

}  // namespace
}  // namespace zorvik::testing
