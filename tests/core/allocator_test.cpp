// The chunk allocator: chains, spans, free lists as stacks, list selection,
// exact fits, refusals, the state after a failed request, and free chunks of
// one kind made into what a request of another needs.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "scratch_segment.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/holder_looks.hpp"
#include "zorvik/core/segment/segment.hpp"

namespace zorvik {
namespace {

using testing::list_members;
using testing::ScratchSegment;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::string error_text() {
    const char *text = last_error();
    return text ? text : "";
}

Offset chain_link(Allocator base, Offset header) { return read_u64(base + header + kChunkHeaderLength); }

// Header Offsets of a chain of `count` chunks from `first` (a header address).
std::vector<Offset> chain(Allocator base, char *first, std::uint64_t count) {
    std::vector<Offset> headers;
    Offset at = to_offset(base, first);
    for (std::uint64_t i = 0; i < count; ++i) {
        headers.push_back(at);
        at = chain_link(base, at);
    }
    return headers;
}

// Allocates `count` chunks of `size` one by one; returns their data addresses.
std::vector<char *> single_chunks(Allocator base, int count, std::uint8_t size) {
    std::vector<char *> data;
    for (int i = 0; i < count; ++i) {
        char *header = allocate_chunks(base, 1, size);
        if (header == nullptr) throw std::runtime_error("allocation failed");
        data.push_back(chunk_data(header));
    }
    return data;
}

TEST(Allocator, FirstChainInANewSegment) {
    ScratchSegment segment(4096, 32);
    Allocator base = segment.base();
    char *first = allocate_chunks(base, 3, 32);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(segment.offset_of(first), 64u);
    for (Offset header : {64u, 104u, 144u}) {
        EXPECT_EQ(chunk_span_at(base + header), 40) << header;
        EXPECT_EQ(chunk_size_at(base + header), 32) << header;
        EXPECT_EQ(chain_link(base, header), header + 40) << "the last links to the new offset";
    }
    EXPECT_EQ(segment.allocated_offset(), 184u);
}

struct SpanCase {
    std::uint8_t size;
    std::uint8_t span;
};

class ChunkSpan : public ::testing::TestWithParam<SpanCase> {};

TEST_P(ChunkSpan, ChunksSitOneSpanApart) {
    const SpanCase &c = GetParam();
    ScratchSegment segment(4096, 32);
    char *first = allocate_chunks(segment.base(), 2, c.size);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(chunk_span_at(first), c.span);
    EXPECT_EQ(chunk_size_at(first), c.size);
    EXPECT_EQ(chunk_span_at(first + c.span), c.span);
    EXPECT_EQ(segment.allocated_offset(), 64u + 2u * c.span);
}

INSTANTIATE_TEST_SUITE_P(Allocator, ChunkSpan,
                         ::testing::Values(SpanCase{7, 16}, SpanCase{8, 16}, SpanCase{16, 24}, SpanCase{32, 40},
                                           SpanCase{64, 72}, SpanCase{128, 136}, SpanCase{168, 176},
                                           SpanCase{176, 184}, SpanCase{246, 248}));

TEST(Allocator, RefusesRequestsItCannotServe) {
    ScratchSegment segment(4096, 32);
    Allocator base = segment.base();
    // No room for the 8-byte chain link (1..6), or a span that wraps in 8 bits
    // (247..255): such chunks would overlap their neighbours.
    for (int size : {0, 1, 6, 247, 248, 255}) {
        EXPECT_EQ(allocate_chunks(base, 1, static_cast<std::uint8_t>(size)), nullptr) << size;
    }
    EXPECT_EQ(allocate_chunks(base, 0, 32), nullptr);
    EXPECT_EQ(allocate_chunks(nullptr, 1, 32), nullptr);
    EXPECT_EQ(allocate_block(base, 0), nullptr);
    EXPECT_EQ(allocate_block(nullptr, 8), nullptr);
    EXPECT_FALSE(free_chunk(nullptr, base + 66));
    EXPECT_EQ(segment.allocated_offset(), 64u);
}

TEST(Allocator, FreeListsAreStacks) {
    ScratchSegment segment(4096, 32);
    Allocator base = segment.base();
    std::vector<char *> pqr = single_chunks(base, 3, 16);
    for (char *data : pqr) ASSERT_TRUE(free_chunk(base, data));

    char *first = allocate_chunks(base, 2, 16);
    auto taken = chain(base, first, 2);
    EXPECT_EQ(taken[0], testing::header_of_data(base, pqr[2])) << "r first";
    EXPECT_EQ(taken[1], testing::header_of_data(base, pqr[1])) << "then q";
    EXPECT_EQ(segment.manager()->link_list.head, testing::header_of_data(base, pqr[0])) << "p stays";
}

struct ListCase {
    const char *name;
    std::uint8_t data_chunk_size;
    std::uint8_t size;
    FreeList MemoryManager::*list;
};

class ListSelection : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListSelection, FreedChunkGoesToItsListAndComesBack) {
    const ListCase &c = GetParam();
    ScratchSegment segment(4096, c.data_chunk_size);
    Allocator base = segment.base();
    MemoryManager *manager = segment.manager();
    char *data = single_chunks(base, 1, c.size)[0];
    ASSERT_TRUE(free_chunk(base, data));

    const Offset header = testing::header_of_data(base, data);
    for (FreeList MemoryManager::*list : {&MemoryManager::data_list, &MemoryManager::link_list,
                                           &MemoryManager::entry_list}) {
        EXPECT_EQ((manager->*list).head, list == c.list ? header : 0u);
    }
    EXPECT_EQ(manager->reserved_list.head, 0u);
    EXPECT_EQ(allocate_chunks(base, 1, c.size), base + header);
    EXPECT_EQ((manager->*c.list).head, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Allocator, ListSelection,
    ::testing::Values(ListCase{"link", 32, 16, &MemoryManager::link_list},
                      ListCase{"entry", 32, 176, &MemoryManager::entry_list},
                      ListCase{"data", 32, 32, &MemoryManager::data_list},
                      ListCase{"data_of_8", 8, 8, &MemoryManager::data_list},
                      // A data chunk size of 16 keeps link chunks on the data list.
                      ListCase{"links_share_data_list", 16, 16, &MemoryManager::data_list},
                      ListCase{"entry_size_as_data_size", 176, 176, &MemoryManager::data_list}),
    [](const ::testing::TestParamInfo<ListCase> &info) { return std::string(info.param.name); });

TEST(Allocator, ShortListIsFollowedByFreshChunks) {
    ScratchSegment segment(4096, 32);
    Allocator base = segment.base();
    std::vector<char *> ab = single_chunks(base, 2, 176);
    ASSERT_TRUE(free_chunk(base, ab[0]));
    ASSERT_TRUE(free_chunk(base, ab[1]));  // list: b, a
    const Offset fresh = segment.allocated_offset();

    char *first = allocate_chunks(base, 3, 176);
    auto taken = chain(base, first, 3);
    EXPECT_EQ(taken[0], testing::header_of_data(base, ab[1]));
    EXPECT_EQ(taken[1], testing::header_of_data(base, ab[0]));
    EXPECT_EQ(taken[2], fresh) << "the second list chunk links on into fresh space";
    EXPECT_EQ(chain_link(base, fresh), fresh + 184);
    EXPECT_EQ(segment.allocated_offset(), fresh + 184);
    EXPECT_EQ(segment.manager()->entry_list.head, 0u);
}

TEST(Allocator, TakingPartOrAllOfAList) {
    ScratchSegment segment(4096, 32);
    Allocator base = segment.base();
    std::vector<char *> chunks = single_chunks(base, 3, 32);
    for (char *data : chunks) ASSERT_TRUE(free_chunk(base, data));  // list: c2, c1, c0
    const Offset fresh = segment.allocated_offset();

    char *two = allocate_chunks(base, 2, 32);
    EXPECT_EQ(chain(base, two, 2), (std::vector<Offset>{testing::header_of_data(base, chunks[2]),
                                                         testing::header_of_data(base, chunks[1])}));
    EXPECT_EQ(segment.manager()->data_list.head, testing::header_of_data(base, chunks[0]));
    char *last = allocate_chunks(base, 1, 32);
    EXPECT_EQ(last, base + testing::header_of_data(base, chunks[0]));
    EXPECT_EQ(segment.manager()->data_list.head, 0u) << "exactly the list's length empties it";
    EXPECT_EQ(segment.allocated_offset(), fresh) << "no fresh space used";
}

// ---- exact fits and out of memory -----------------------------------------------------

struct FitCase {
    const char *name;
    std::uint64_t segment_size;
    std::function<char *(Allocator)> request;
    bool succeeds;
};

class ExactFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(ExactFit, LastByteCountsAndFailureChangesNothing) {
    const FitCase &c = GetParam();
    ScratchSegment segment(c.segment_size, 32);
    record_error(kSegmentError, "earlier text");
    errno = ENOENT;
    char *result = c.request(segment.base());
    if (c.succeeds) {
        EXPECT_NE(result, nullptr);
        EXPECT_EQ(unallocated_bytes(segment.base()), 0u) << "no spare byte";
        return;
    }
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(error_text(), "mm:alloc: out of memory") << "no errno text for the allocator";
    EXPECT_EQ(segment.allocated_offset(), 64u);
    EXPECT_EQ(unallocated_bytes(segment.base()), c.segment_size);
}

INSTANTIATE_TEST_SUITE_P(
    Allocator, ExactFit,
    ::testing::Values(
        FitCase{"chunks_fit", 200, [](Allocator base) { return allocate_chunks(base, 5, 32); }, true},
        FitCase{"chunks_one_short", 199, [](Allocator base) { return allocate_chunks(base, 5, 32); }, false},
        FitCase{"odd_size_fits", 176, [](Allocator base) { return allocate_chunks(base, 1, 168); }, true},
        FitCase{"odd_size_one_short", 175, [](Allocator base) { return allocate_chunks(base, 1, 168); }, false},
        FitCase{"block_fits", 16, [](Allocator base) { return allocate_block(base, 14); }, true},
        FitCase{"block_one_short", 15, [](Allocator base) { return allocate_block(base, 14); }, false},
        FitCase{"block_length_wraps", 4096, [](Allocator base) { return allocate_block(base, kMax); }, false},
        FitCase{"block_length_rounds_past_max", 4096, [](Allocator base) { return allocate_block(base, kMax - 8); },
                false},
        FitCase{"chunk_count_times_span_wraps", 4096,
                [](Allocator base) { return allocate_chunks(base, kMax / 24 + 1, 16); }, false},
        FitCase{"chunk_count_max", 4096, [](Allocator base) { return allocate_chunks(base, kMax, 176); }, false},
        FitCase{"pairs_fit", 192, [](Allocator base) { return carve_chunk_pairs(base, 3, 16, 32); }, true},
        FitCase{"pairs_one_short", 191, [](Allocator base) { return carve_chunk_pairs(base, 3, 16, 32); }, false},
        FitCase{"pair_count_times_span_wraps", 4096,
                [](Allocator base) { return carve_chunk_pairs(base, kMax / 64 + 1, 16, 32); }, false}),
    [](const ::testing::TestParamInfo<FitCase> &info) { return std::string(info.param.name); });

TEST(Allocator, PairsLieSideBySideAndOnlyWhileBothListsAreEmpty) {
    ScratchSegment segment(4096, 32);
    Allocator base = segment.base();
    char *pairs = carve_chunk_pairs(base, 2, 16, 176);
    ASSERT_NE(pairs, nullptr);
    EXPECT_EQ(segment.offset_of(pairs), 64u);
    for (Offset header : {64u, 272u}) {
        EXPECT_EQ(chunk_span_at(base + header), 24) << header;
        EXPECT_EQ(chunk_size_at(base + header), 16) << header;
        EXPECT_EQ(chunk_span_at(base + header + 24), 184) << header;
        EXPECT_EQ(chunk_size_at(base + header + 24), 176) << header;
    }
    EXPECT_EQ(segment.allocated_offset(), 480u);

    // A chunk on either list is handed out before fresh space is cut.
    for (std::uint8_t freed : {std::uint8_t{16}, std::uint8_t{176}}) {
        char *chunk = allocate_chunks(base, 1, freed);
        ASSERT_TRUE(free_chunk(base, chunk_data(chunk)));
        const Offset offset = segment.allocated_offset();
        errno = 0;
        EXPECT_EQ(carve_chunk_pairs(base, 2, 16, 176), nullptr) << int{freed};
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(segment.allocated_offset(), offset);
        ASSERT_EQ(allocate_chunks(base, 1, freed), chunk) << "the freed chunk is still listed";
    }
    errno = 0;
    EXPECT_EQ(carve_chunk_pairs(base, 1, 16, 5), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

struct BlockCase {
    std::uint64_t length;
    std::uint64_t taken;
};

class BlockLength : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockLength, TakesLengthPlusHeaderRoundedToEight) {
    const BlockCase &c = GetParam();
    ScratchSegment segment(4096, 32);
    std::memset(segment.base() + 64, 0x5A, 2);
    char *data = allocate_block(segment.base(), c.length);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(segment.offset_of(data), 66u);
    EXPECT_EQ(data[-2], 0) << "span 0";
    EXPECT_EQ(data[-1], 0) << "size 0";
    EXPECT_EQ(segment.allocated_offset(), 64u + c.taken);
}

INSTANTIATE_TEST_SUITE_P(Allocator, BlockLength,
                         ::testing::Values(BlockCase{1, 8}, BlockCase{6, 8}, BlockCase{7, 16}, BlockCase{14, 16},
                                           BlockCase{15, 24}, BlockCase{100, 104}));

TEST(Allocator, FailedRequestPutsListChunksBack) {
    // Two entry chunks on the list (a link in use after them), room for
    // nothing more: a request for three takes both off the list, cannot carve
    // the third (nor make one of free chunks of other kinds: there are none),
    // and must restore the list.
    ScratchSegment segment(2 * 184 + 100, 32);
    Allocator base = segment.base();
    std::vector<char *> ab = single_chunks(base, 2, 176);
    single_chunks(base, 1, 16);
    ASSERT_TRUE(free_chunk(base, ab[0]));
    ASSERT_TRUE(free_chunk(base, ab[1]));
    const auto list_before = list_members(base, segment.manager()->entry_list);
    const Offset offset_before = segment.allocated_offset();

    EXPECT_EQ(allocate_chunks(base, 3, 176), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(error_text(), "mm:alloc: out of memory");
    EXPECT_EQ(list_members(base, segment.manager()->entry_list), list_before);
    EXPECT_EQ(segment.allocated_offset(), offset_before);

    // A request whose size overflows leaves the list as it was too.
    EXPECT_EQ(allocate_chunks(base, kMax, 176), nullptr);
    EXPECT_EQ(list_members(base, segment.manager()->entry_list), list_before);
    // And the list still serves requests that fit.
    char *again = allocate_chunks(base, 2, 176);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(chain(base, again, 2), list_before);
}

// ---- free chunks of one kind serve the others ------------------------------------------------

// The chunk area as a walk by span reads it, as every version's offline repair
// walks it: each place a chunk whose span is its size's, or a zero word.
struct AreaWalk {
    std::map<Offset, std::uint8_t> chunks;  // header Offset -> size
    std::uint64_t zero_words = 0;
    std::vector<std::string> faults;
};

AreaWalk walk_area(Allocator base) {
    AreaWalk walk;
    const MemoryManager *manager = memory_manager(base);
    Offset at = kFirstChunk;
    while (at < manager->offset) {
        const std::uint8_t span = chunk_span_at(base + at);
        if (span == 0 && read_u64(base + at) == 0) {
            ++walk.zero_words;
            at += kChunkGrid;
            continue;
        }
        if (span == 0 || span != chunk_span(chunk_size_at(base + at))) {
            walk.faults.push_back("a header that does not add up at " + std::to_string(at));
            return walk;
        }
        walk.chunks[at] = chunk_size_at(base + at);
        at += span;
    }
    if (at != manager->offset) walk.faults.push_back("the walk passes the offset");
    return walk;
}

// Every listed chunk is a chunk of its list's size that the walk meets, none
// is listed twice, and (`counted`) the free-listed count is what the lists
// hold.
void expect_sound_lists(Allocator base, const AreaWalk &walk, bool counted = true) {
    const MemoryManager *manager = memory_manager(base);
    std::set<Offset> listed;
    std::uint64_t bytes = 0;
    for (const auto &[list, size] : {std::pair{&manager->entry_list, std::uint8_t{176}},
                                     std::pair{&manager->link_list, std::uint8_t{16}},
                                     std::pair{&manager->data_list, manager->chunk_size}}) {
        for (const Offset member : list_members(base, *list)) {
            const auto found = walk.chunks.find(member);
            EXPECT_TRUE(found != walk.chunks.end() && found->second == size) << "listed " << member;
            EXPECT_TRUE(listed.insert(member).second) << member << " listed twice";
            bytes += chunk_span(size);
        }
    }
    if (counted) {
        EXPECT_EQ(free_listed_bytes(base), bytes);
    }
}

// Chunks of `size` cut one after another until the segment is full.
std::vector<char *> fill_with(Allocator base, std::uint8_t size) {
    std::vector<char *> data;
    while (char *header = allocate_chunks(base, 1, size)) data.push_back(chunk_data(header));
    return data;
}

struct ServeCase {
    const char *name;
    std::uint8_t freed_size;  // the chunks that fill the segment, then are freed
    bool at_the_end;          // the freed ones end at the offset (else a chunk in use follows them)
    std::function<bool(Allocator)> request;
};

class FreeRoomServes : public ::testing::TestWithParam<ServeCase> {};

TEST_P(FreeRoomServes, RequestsOfAnotherKind) {
    const ServeCase &c = GetParam();
    ScratchSegment segment(16 * 1024, 32);
    Allocator base = segment.base();
    std::vector<char *> chunks = fill_with(base, c.freed_size);
    ASSERT_GT(chunks.size(), 40u);
    // Every chunk but the first (and, in the middle, the last) is freed.
    const std::size_t kept_at_end = c.at_the_end ? 0 : 1;
    for (std::size_t i = 1; i + kept_at_end < chunks.size(); ++i) ASSERT_TRUE(free_chunk(base, chunks[i]));
    const Offset offset = segment.allocated_offset();

    EXPECT_TRUE(c.request(base));
    EXPECT_EQ(segment.allocated_offset() < offset, c.at_the_end) << "the offset comes down over free chunks only";
    const AreaWalk walk = walk_area(base);
    ASSERT_TRUE(walk.faults.empty()) << walk.faults.front();
    expect_sound_lists(base, walk);
    // The chunks left in use are where they were.
    EXPECT_EQ(walk.chunks.count(testing::header_of_data(base, chunks.front())), 1u);
}

bool entry_chunks(Allocator base) { return allocate_chunks(base, 20, 176) != nullptr; }
bool data_chunks(Allocator base) { return allocate_chunks(base, 30, 32) != nullptr; }
bool pairs(Allocator base) {
    // Pairs come as chunks of the two sizes on their lists (EAGAIN), or fresh.
    char *cut = carve_chunk_pairs(base, 20, 16, 176);
    if (cut != nullptr) return true;
    return errno == EAGAIN && allocate_chunks(base, 20, 16) != nullptr && allocate_chunks(base, 20, 176) != nullptr;
}
bool a_block(Allocator base) {
    char *data = allocate_block(base, 5000);
    if (data == nullptr) return false;
    // Its bytes read zero, as fresh space does.
    return std::all_of(data - 2, data + 5000, [](char byte) { return byte == 0; });
}

INSTANTIATE_TEST_SUITE_P(
    Allocator, FreeRoomServes,
    ::testing::Values(ServeCase{"data_as_entry_chunks", 32, false, entry_chunks},
                      ServeCase{"data_as_entry_chunks_at_the_end", 32, true, entry_chunks},
                      ServeCase{"entry_chunks_as_data", 176, false, data_chunks},
                      ServeCase{"links_as_pairs", 16, false, pairs},
                      ServeCase{"data_as_pairs_at_the_end", 32, true, pairs},
                      ServeCase{"links_as_a_block", 16, false, a_block},
                      ServeCase{"entry_chunks_as_a_block_at_the_end", 176, true, a_block}),
    [](const ::testing::TestParamInfo<ServeCase> &info) { return std::string(info.param.name); });

TEST(Allocator, FreeChunksApartServeNothingAndLoseNothing) {
    // Every other data chunk free: no two side by side, so no entry chunk
    // (nor block) can be cut from them.
    ScratchSegment segment(8 * 1024, 32);
    Allocator base = segment.base();
    std::vector<char *> chunks = fill_with(base, 32);
    for (std::size_t i = 0; i < chunks.size(); i += 2) ASSERT_TRUE(free_chunk(base, chunks[i]));
    const std::vector<Offset> listed = list_members(base, segment.manager()->data_list);
    const Offset offset = segment.allocated_offset();
    errno = 0;
    EXPECT_EQ(allocate_chunks(base, 1, 176), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(allocate_block(base, 100), nullptr);
    EXPECT_EQ(list_members(base, segment.manager()->data_list), listed);
    EXPECT_EQ(segment.allocated_offset(), offset);
    EXPECT_EQ(free_listed_bytes(base), listed.size() * 40);
    EXPECT_NE(allocate_chunks(base, 3, 32), nullptr) << "the free chunks still serve their own size";
}

TEST(Allocator, RoomCutIntoOneKindServesAnotherOnceFreeAgain) {
    // Data chunks made into entry chunks (what no list size fits left as a
    // zero word or a filler); the entry chunks freed make one block, the
    // zero words and fillers between them passed over.
    ScratchSegment segment(8 * 1024, 32);
    Allocator base = segment.base();
    std::vector<char *> chunks = fill_with(base, 32);
    for (std::size_t i = 0; i + 1 < chunks.size(); ++i) ASSERT_TRUE(free_chunk(base, chunks[i]));
    std::vector<char *> entries;
    while (char *header = allocate_chunks(base, 1, 176)) entries.push_back(chunk_data(header));
    ASSERT_GT(entries.size(), 30u);
    AreaWalk walk = walk_area(base);
    ASSERT_TRUE(walk.faults.empty()) << walk.faults.front();
    expect_sound_lists(base, walk);
    for (char *entry : entries) ASSERT_TRUE(free_chunk(base, entry));
    EXPECT_NE(allocate_block(base, entries.size() * 184 - 200), nullptr);
    walk = walk_area(base);
    ASSERT_TRUE(walk.faults.empty()) << walk.faults.front();
    expect_sound_lists(base, walk);
}

TEST(Allocator, FreeListedCountFollowsEveryListChange) {
    ScratchSegment segment(4096, 32);
    Allocator base = segment.base();
    std::vector<char *> data = single_chunks(base, 6, 32);
    std::vector<char *> entries = single_chunks(base, 2, 176);
    for (char *chunk : data) ASSERT_TRUE(free_chunk(base, chunk));
    ASSERT_TRUE(free_chunk(base, entries[0]));
    EXPECT_EQ(free_listed_bytes(base), 6u * 40 + 184);
    ASSERT_NE(allocate_chunks(base, 4, 32), nullptr);
    EXPECT_EQ(free_listed_bytes(base), 2u * 40 + 184);
    // A chunk listed by a process that does not count (an earlier version)
    // and taken by one that does: the count does not go below zero.
    write_u64(base + testing::header_of_data(base, entries[1]) + 2, segment.manager()->entry_list.head);
    segment.manager()->entry_list.head = testing::header_of_data(base, entries[1]);
    ASSERT_NE(allocate_chunks(base, 2, 176), nullptr);
    ASSERT_NE(allocate_chunks(base, 2, 32), nullptr);
    EXPECT_EQ(free_listed_bytes(base), 0u);
    // A walk of the whole lists sets it right.
    ASSERT_TRUE(free_chunk(base, data[0]));
    write_u64(base + testing::header_of_data(base, data[1]) + 2, segment.manager()->data_list.head);
    segment.manager()->data_list.head = testing::header_of_data(base, data[1]);
    EXPECT_EQ(free_listed_bytes(base), 40u);
    EXPECT_EQ(recount_free_listed(base), 80u);
    EXPECT_EQ(free_listed_bytes(base), 80u);
}

TEST(Allocator, AConversionKilledAtAnyStepLeavesTheAreaReadable) {
    // The process dies holding the allocator's lock: the next one takes it
    // over at once here, not after the production 200 ms.
    const LockWaitTiming timing = lock_wait_timing();
    set_lock_wait_timing({std::chrono::milliseconds(2), std::chrono::milliseconds(2), timing.unnamed_holder_patience});
    std::uint64_t deaths = 0;
    for (std::uint64_t k = 1;; ++k) {
        ScratchSegment segment(8 * 1024, 32);
        Allocator base = segment.base();
        std::vector<char *> chunks = fill_with(base, 32);
        std::memset(chunks.back(), 'v', 32);
        for (std::size_t i = 0; i + 1 < chunks.size(); ++i) ASSERT_TRUE(free_chunk(base, chunks[i]));
        const pid_t child = fork();
        if (child == 0) {
            crash_points::kill_at(k);
            _exit(allocate_chunks(base, 20, 176) != nullptr ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0) << "the conversion failed whole";
            break;
        }
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << k;
        ++deaths;
        unallocated_bytes(base);  // takes the lock over
        const AreaWalk walk = walk_area(base);
        ASSERT_TRUE(walk.faults.empty()) << "killed at step " << k << ": " << walk.faults.front();
        expect_sound_lists(base, walk, false);
        EXPECT_EQ(std::string(chunks.back(), 32), std::string(32, 'v')) << "the chunk in use is untouched";
        // (What the death left on no list waits for an offline repair.)
        ASSERT_LT(k, 1000u);
    }
    set_lock_wait_timing(timing);
    EXPECT_GT(deaths, 3u);
}

// ---- refused frees -------------------------------------------------------------------------

struct RefusalCase {
    const char *name;
    std::uint8_t data_chunk_size;
    // Returns the data address to free, given a segment with one chunk of each
    // list size, a block and a size-168 chunk already handed out.
    std::function<char *(ScratchSegment &)> target;
};

class FreeRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(FreeRefusal, LeavesListsAndOffsetAlone) {
    const RefusalCase &c = GetParam();
    ScratchSegment segment(4096, c.data_chunk_size);
    Allocator base = segment.base();
    MemoryManager *manager = segment.manager();
    char *target = c.target(segment);
    std::vector<unsigned char> before(reinterpret_cast<unsigned char *>(manager),
                                      reinterpret_cast<unsigned char *>(manager) + 64);
    record_error(kSegmentError, "earlier text");

    EXPECT_FALSE(free_chunk(base, target));
    EXPECT_EQ(std::memcmp(manager, before.data(), 64), 0) << "the MemoryManager changed";
    EXPECT_EQ(error_text(), "mm:core: earlier text");
    EXPECT_THROW(
        {
            try {
                check_free(base, static_cast<void *>(target));
            } catch (const std::runtime_error &e) {
                EXPECT_STREQ(e.what(), "check_free<true>(Allocator allocator, void * target) failed!");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_THROW(
        {
            try {
                check_free(base, to_offset(base, target));
            } catch (const std::runtime_error &e) {
                EXPECT_STREQ(e.what(), "check_free<true>(Allocator allocator, const Offset<true> &target) failed!");
                throw;
            }
        },
        std::runtime_error);
}

char *block(ScratchSegment &segment) { return allocate_block(segment.base(), 40); }
char *chunk(ScratchSegment &segment, std::uint8_t size) { return chunk_data(allocate_chunks(segment.base(), 1, size)); }

unsigned char foreign_chunk[32] = {24, 16};  // looks like a link chunk, lies outside every segment

INSTANTIATE_TEST_SUITE_P(
    Allocator, FreeRefusal,
    ::testing::Values(
        RefusalCase{"null", 32, [](ScratchSegment &) -> char * { return nullptr; }},
        RefusalCase{"block", 32, block},
        // With a data chunk size of 0 a block's size byte equals it; still no chunk.
        RefusalCase{"block_when_data_size_is_zero", 0, block},
        RefusalCase{"odd_size_chunk", 32, [](ScratchSegment &s) { return chunk(s, 168); }},
        RefusalCase{"header_address_as_data", 32, [](ScratchSegment &s) { return chunk(s, 16) - 2; }},
        RefusalCase{"data_plus_two", 32, [](ScratchSegment &s) { return chunk(s, 16) + 2; }},
        RefusalCase{"foreign_memory", 32, [](ScratchSegment &) { return reinterpret_cast<char *>(foreign_chunk) + 2; }},
        RefusalCase{"memory_manager", 32, [](ScratchSegment &s) { return s.base() + 2; }},
        // A well-formed header in space nobody has been handed yet.
        RefusalCase{"past_offset", 32,
                    [](ScratchSegment &s) {
                        char *fake = s.base() + 64 + 800;
                        fake[0] = 24;
                        fake[1] = 16;
                        return fake + 2;
                    }},
        RefusalCase{"span_does_not_match_size", 32,
                    [](ScratchSegment &s) {
                        char *data = chunk(s, 168);
                        data[-1] = 16;  // size byte of a link chunk, span of a 168 chunk
                        return data;
                    }},
        RefusalCase{"past_capacity", 32, [](ScratchSegment &s) { return s.base() + s.manager()->capacity + 2; }}),
    [](const ::testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

TEST(Allocator, CheckFreeAcceptsRealChunksInBothForms) {
    ScratchSegment segment(4096, 32);
    Allocator base = segment.base();
    char *a = chunk(segment, 32);
    char *b = chunk(segment, 32);
    EXPECT_NO_THROW(check_free(base, static_cast<void *>(a)));
    EXPECT_NO_THROW(check_free(base, to_offset(base, b)));
    EXPECT_EQ(list_members(base, segment.manager()->data_list),
              (std::vector<Offset>{testing::header_of_data(base, b), testing::header_of_data(base, a)}));
}

TEST(Allocator, DataChunkSizeZeroServesNoDataChunks) {
    ScratchSegment segment(4096, 0);
    Allocator base = segment.base();
    EXPECT_EQ(allocate_chunks(base, 1, 0), nullptr);
    // Odd sizes always come from fresh space and are never freed.
    char *first = allocate_chunks(base, 1, 168);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(free_chunk(base, chunk_data(first)));
    EXPECT_EQ(allocate_chunks(base, 1, 168), first + 176);
}

}  // namespace
}  // namespace zorvik
