// The core behind the operator's commands: the open lock that proves a
// repair alone (fork included), the raw dump stream and its refusals, and the
// repair of a broken chain that keeps every entry still readable.
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "map_fixture.hpp"
#include "zorvik/core/map/bucket_state.hpp"
#include "zorvik/core/upkeep/entry_stream.hpp"
#include "zorvik/core/upkeep/map_survey.hpp"
#include "zorvik/core/upkeep/operator_attach.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik::testing {
namespace {

std::string repair_refusal(const std::string &path) {
    try {
        open_for_repair(path);
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "";
}

TEST_F(MapTest, TheOpenLockKeepsARepairOutWhileAnyProcessHoldsTheFile) {
    auto map = create();
    EXPECT_NE(repair_refusal(path).find("in use by process " + std::to_string(getpid()) + " (this one)"),
              std::string::npos);
    // A forked child shares the parent's open file description, and with it
    // the lock: closing in the parent leaves the file held by the child.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const pid_t child = fork_child([&] {
        close(gate[1]);
        char byte;
        return read(gate[0], &byte, 1) == 0 ? 0 : 1;
    });
    close(gate[0]);
    map.reset();
    EXPECT_NE(repair_refusal(path).find(std::to_string(child)), std::string::npos);
    close(gate[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(repair_refusal(path), "");
    {
        // While a repair holds it, an open is refused rather than let in.
        auto repairing = open_for_repair(path);
        try {
            attach(path);
            ADD_FAILURE() << "opened during a repair";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find("being repaired"), std::string::npos) << e.what();
        }
    }
    EXPECT_NE(attach(path), nullptr);
}

std::string written_dump(const std::vector<StoredEntry> &entries) {
    std::string stream;
    DumpWriter writer([&](const char *bytes, std::size_t n) { stream.append(bytes, n); }, DumpShape{4, 8, 1 << 20, 8});
    for (const StoredEntry &entry : entries) writer.entry(entry);
    writer.finish();
    return stream;
}

// Reads `stream` back: the entries handed out, and the refusal ("" when none).
std::pair<std::vector<StoredEntry>, std::string> read_dump(const std::string &stream) {
    std::vector<StoredEntry> read;
    std::size_t at = 0;
    try {
        DumpReader reader([&](char *out, std::size_t room) {
            const std::size_t n = std::min(room, stream.size() - at);
            std::memcpy(out, stream.data() + at, n);
            at += n;
            return n;
        });
        EXPECT_EQ(reader.shape().bucket_chunk_number, 8u);
        StoredEntry entry;
        while (reader.next(entry)) read.push_back(entry);
    } catch (const DumpStreamError &e) {
        EXPECT_EQ(e.entries_before, read.size());
        return {read, e.what()};
    }
    return {read, ""};
}

TEST(DumpStream, RoundTripsEntriesAndRefusesADamagedStreamAtTheDamage) {
    EXPECT_EQ(crc32(0, "123456789", 9), 0xCBF43926u);  // the CRC-32 check value
    const std::vector<StoredEntry> entries{{-5, "a", std::string("\0\1\2", 3)}, {1LL << 62, "", ""}, {7, "key", "v"}};
    const std::string stream = written_dump(entries);
    const auto [read, refusal] = read_dump(stream);
    EXPECT_EQ(refusal, "");
    ASSERT_EQ(read.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(read[i].hash, entries[i].hash);
        EXPECT_EQ(read[i].key, entries[i].key);
        EXPECT_EQ(read[i].value, entries[i].value);
    }
    // The second entry starts at 48 + 1 + 24 + 1 + 3 + 4 = 81.
    const std::map<std::string, std::pair<std::string, std::size_t>> damaged{
        {"a flipped byte", {stream.substr(0, 90) + char(stream[90] ^ 4) + stream.substr(91), 1}},
        {"cut short", {stream.substr(0, stream.size() - 20), 2}},
        {"no end record", {stream.substr(0, stream.size() - 13), 3}},
        {"a length garbled past the stream", {stream.substr(0, 90) + std::string(8, '\xff') + stream.substr(98), 1}},
        {"another version", {stream.substr(0, 8) + '\2' + stream.substr(9), 0}},
    };
    for (const auto &[name, damage] : damaged) {
        const auto [got, why] = read_dump(damage.first);
        EXPECT_EQ(got.size(), damage.second) << name;
        EXPECT_NE(why, "") << name;
    }
}

TEST_F(MapTest, RepairDropsTheEntryWhoseChainBrokeAndKeepsTheRest) {
    auto map = create({2, 8, 1 << 20, 3});
    for (int i = 0; i < 40; ++i) put(*map, numbered("key", i), std::string(20 + i, 'v'), i);
    // Entry 0 of bucket 1: its value's first link leads nowhere.
    MapState &m = *map->internals();
    const MapEntry &entry = *entry_place(m, m.bucket_at(1)->entries, 0);
    std::string broken(entry.key.length, '\0');
    byte_chain(m.area, entry.key).copy_to(broken.data(), entry.key.length);
    ChunkLink *link = m.area.link(entry.value.head);
    link->next = 3;
    map.reset();
    const RepairReport report = repair_map_file(path);
    EXPECT_FALSE(report.before.faults.empty());
    EXPECT_TRUE(report.after.clean()) << report.after.describe();
    EXPECT_GT(report.reclaimed_chunks, 0u);
    auto again = attach(path);
    for (int i = 0; i < 40; ++i) {
        const std::string key = numbered("key", i);
        EXPECT_EQ(fetch(*again, key, i), key == broken ? std::nullopt : std::optional(std::string(20 + i, 'v'))) << i;
    }
    std::uint64_t seen = 0;
    for_each_entry(*again->internals(), [&](const StoredEntry &) { ++seen; });
    EXPECT_EQ(seen, 39u);
}

}  // namespace
}  // namespace zorvik::testing
