// Chains of links: what a walk gives (pieces, copies, compares, fills, parts
// of a chain), and that every way a chain in the file can be broken ends the
// walk with "offset overflow!" at the step where it breaks, never outside the
// chunk area and never for ever.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "scratch_segment.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/alloc/chain.hpp"
#include "zorvik/core/alloc/chunk_pool.hpp"

namespace zorvik {
namespace {

using testing::ScratchSegment;

constexpr std::uint8_t kPiece = 32;

// A segment with a pool whose refills give fresh chains of 32-byte payloads.
struct ChainFixture {
    ScratchSegment segment{1 << 20, kPiece};
    ChunkPool pool{segment.area(), kPiece, ChunkPool::Payloads::kept};

    // `n` fresh links; the chain walks them with the segment's area.
    Chain fresh(std::uint64_t n) {
        const Chain made = pool.refill(n, nullptr);
        return Chain(segment.area(), made.head(), n, kPiece);
    }
    std::vector<ChunkLink *> links_of(const Chain &chain) {
        std::vector<ChunkLink *> out;
        for (ChunkLink *link : chain.links()) out.push_back(link);
        return out;
    }
};

std::string text(std::uint64_t length) {
    std::string s(length, '\0');
    for (std::uint64_t i = 0; i < length; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

TEST(Chain, FillCopyAndCompareAcrossPieces) {
    for (std::uint64_t length : {0, 1, 31, 32, 33, 95, 96, 97}) {
        ChainFixture f;
        const Chain chain = f.fresh(chunks_for(length, kPiece));
        const std::string bytes = text(length);
        chain.fill(bytes.data(), length);

        std::string back(length, '?');
        chain.copy_to(back.data(), length);
        EXPECT_EQ(back, bytes) << length;
        EXPECT_TRUE(chain.equals(bytes.data(), length)) << length;
        if (length > 0) {
            std::string other = bytes;
            other.back() ^= 1;
            EXPECT_FALSE(chain.equals(other.data(), length)) << length;
        }
        // The pieces cover the contents in order, each in its own link.
        std::uint64_t covered = 0;
        std::vector<ChunkLink *> links = f.links_of(chain);
        std::size_t k = 0;
        chain.for_each_piece(length, [&](const ChainPiece &piece) {
            EXPECT_EQ(piece.offset, covered);
            EXPECT_EQ(piece.length, std::min<std::uint64_t>(kPiece, length - covered));
            EXPECT_EQ(piece.link, links[k++]);
            covered += piece.length;
            return true;
        });
        EXPECT_EQ(covered, length);
        EXPECT_EQ(k, links.size());
    }
}

TEST(Chain, PartsOfAChain) {
    ChainFixture f;
    const Chain chain = f.fresh(5);
    const std::vector<ChunkLink *> links = f.links_of(chain);
    ASSERT_EQ(links.size(), 5u);
    for (std::uint64_t k = 0; k < 5; ++k) EXPECT_EQ(chain.link_at(k), links[k]);
    EXPECT_EQ(chain.last(), links[4]);
    EXPECT_EQ(f.links_of(chain.front(2)), std::vector<ChunkLink *>(links.begin(), links.begin() + 2));
    EXPECT_EQ(f.links_of(chain.after(2)), std::vector<ChunkLink *>(links.begin() + 2, links.end()));
    EXPECT_TRUE(chain.after(5).empty());
    // A fill of the front returns where the rest of the chain begins.
    const std::string bytes = text(2 * kPiece);
    EXPECT_EQ(chain.front(2).fill(bytes.data(), bytes.size()), chain.after(2).head());
    EXPECT_EQ(chain.front(0).fill(nullptr, 0), chain.head());
}

// ---- runs and chains in pieces ---------------------------------------------------
//
// A walk reads a chain whose pairs lie side by side (a run) without waiting
// for each link, and goes back to following `next` where the run stops. The
// layouts below are made from fresh side-by-side pairs by rewriting links, as
// a writer of chains from recycled chunks leaves them: whatever the layout,
// every read goes where the links say.

struct Layout {
    const char *name;
    // Pairs (of the 12 fresh ones) whose links form the chain, in order.
    std::vector<int> pairs;
    // Payloads swapped between two of the chain's links (indexes into `pairs`),
    // so that a link names a payload that is not beside it; -1 for none.
    int swap_a = -1, swap_b = -1;
};

class ChainLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(ChainLayout, ReadsWhatTheLinksSay) {
    const Layout &c = GetParam();
    ChainFixture f;
    const std::vector<ChunkLink *> pairs = f.links_of(f.fresh(12));
    const std::size_t n = c.pairs.size();
    std::vector<ChunkLink *> links;
    for (int p : c.pairs) links.push_back(pairs[p]);
    for (std::size_t k = 0; k + 1 < n; ++k) links[k]->next = f.segment.offset_of(links[k + 1]);
    if (c.swap_a >= 0) {
        const Offset a = links[c.swap_a]->chunk;
        links[c.swap_a]->chunk = links[c.swap_b]->chunk;
        links[c.swap_b]->chunk = a;
    }
    const Chain chain(f.segment.area(), f.segment.offset_of(links[0]), n, kPiece);

    // Lengths around the pieces' edges, from one byte to the whole chain.
    for (std::uint64_t length : {std::uint64_t{1}, std::uint64_t{kPiece}, std::uint64_t{kPiece + 1},
                                 (n - 1) * kPiece - 1, (n - 1) * kPiece + 1, n * kPiece - 1, n * kPiece}) {
        // What the payloads hold, written through the links one by one.
        const std::string bytes = text(length);
        std::uint64_t at = 0;
        for (ChunkLink *link : links) {
            const std::uint64_t piece = std::min<std::uint64_t>(kPiece, length - std::min(at, length));
            std::memcpy(f.segment.base() + link->chunk, bytes.data() + at, piece);
            at += piece;
        }
        std::string back(length, '?');
        chain.copy_to(back.data(), length);
        EXPECT_EQ(back, bytes) << length;
        EXPECT_TRUE(chain.equals(bytes.data(), length)) << length;
        std::string other = bytes;
        other.back() ^= 1;
        EXPECT_FALSE(chain.equals(other.data(), length)) << length;

        // Both walks give the pieces the links name, in order.
        std::size_t k = 0;
        auto expect_piece = [&](const ChainPiece &piece) {
            EXPECT_EQ(piece.link, links[k]) << length << " piece " << k;
            EXPECT_EQ(piece.bytes, f.segment.base() + links[k]->chunk) << length << " piece " << k;
            ++k;
            return true;
        };
        chain.for_each_piece(length, expect_piece);
        EXPECT_EQ(k, chunks_for(length, kPiece)) << length;
        k = 0;
        chain.for_each_piece_in_runs(length, expect_piece);
        EXPECT_EQ(k, chunks_for(length, kPiece)) << length;

        // A fill writes the payloads the links name, and returns the `next`
        // of the last link it filled.
        const std::string filled(length, 'Z');
        const Offset after = chain.front(chunks_for(length, kPiece)).fill(filled.data(), length);
        EXPECT_EQ(after, links[chunks_for(length, kPiece) - 1]->next) << length;
        at = 0;
        for (ChunkLink *link : links) {
            const std::uint64_t piece = std::min<std::uint64_t>(kPiece, length - std::min(at, length));
            EXPECT_EQ(std::string(f.segment.base() + link->chunk, piece), std::string(piece, 'Z')) << length;
            at += piece;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chain, ChainLayout,
    ::testing::Values(Layout{"one_run", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                      Layout{"runs_in_pieces", {0, 1, 2, 7, 8, 9, 3, 4}},
                      Layout{"backwards", {9, 8, 7, 6, 5, 4, 3, 2}},
                      Layout{"run_skipping_a_pair", {0, 1, 2, 4, 5, 6}},
                      Layout{"payloads_swapped_mid_run", {0, 1, 2, 3, 4, 5, 6, 7}, 2, 5},
                      Layout{"first_payload_elsewhere", {0, 1, 2, 3, 4, 5}, 0, 3},
                      Layout{"last_payload_elsewhere", {0, 1, 2, 3, 4, 5}, 5, 1},
                      Layout{"two_links", {10, 11}}),
    [](const ::testing::TestParamInfo<Layout> &info) { return std::string(info.param.name); });

// A link in the middle of a run whose header is not a link's any more stops
// every read there, though its place and the `next` before it look like a run's.
TEST(Chain, DamagedLinkInARunEndsTheRead) {
    ChainFixture f;
    const Chain chain = f.fresh(8);
    const std::vector<ChunkLink *> links = f.links_of(chain);
    const std::string bytes = text(8 * kPiece);
    chain.fill(bytes.data(), bytes.size());
    chunk_header(reinterpret_cast<char *>(links[5]))[1] = kPiece;
    std::string out(bytes.size(), '\0');
    EXPECT_THROW(chain.copy_to(out.data(), out.size()), std::out_of_range);
    EXPECT_THROW(chain.equals(bytes.data(), bytes.size()), std::out_of_range);
    std::size_t visited = 0;
    EXPECT_THROW(chain.for_each_piece_in_runs(bytes.size(), [&](const ChainPiece &) { return ++visited, true; }),
                 std::out_of_range);
    EXPECT_EQ(visited, 5u) << "the pieces before the damaged link, and none after";
    EXPECT_NO_THROW(chain.copy_to(out.data(), 5 * kPiece));
}

// A piece's copy writes exactly its bytes, whatever its length.
TEST(Chain, PieceCopiesWriteExactlyTheirBytes) {
    const std::string from = text(246);
    for (std::uint64_t n = 0; n <= 246; ++n) {
        std::string to(248, '#');
        copy_piece(to.data() + 1, from.data(), n);
        EXPECT_EQ(to.substr(1, n), from.substr(0, n)) << n;
        EXPECT_EQ(to[0], '#') << n;
        EXPECT_EQ(to.substr(1 + n), std::string(247 - n, '#')) << n;
    }
}

// ---- broken chains -------------------------------------------------------------

struct Break {
    const char *name;
    // Breaks a chain of four links (whose links are given) in the file.
    std::function<void(ChainFixture &, const std::vector<ChunkLink *> &)> damage;
    std::uint64_t count;  // the count the walk is given
    std::uint64_t steps;  // links a walk passes before the break stops it
};

class BrokenChain : public ::testing::TestWithParam<Break> {};

TEST_P(BrokenChain, EndsTheWalkWhereItBreaks) {
    const Break &c = GetParam();
    ChainFixture f;
    const Chain four = f.fresh(4);
    const std::vector<ChunkLink *> links = f.links_of(four);
    c.damage(f, links);
    const Chain chain(f.segment.area(), four.head(), c.count, kPiece);

    std::uint64_t passed = 0;
    try {
        for (ChunkLink *link : chain.links()) {
            EXPECT_EQ(link, links[passed % 4]);
            ++passed;
        }
        ADD_FAILURE() << "walked past the break";
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ(e.what(), "offset overflow!");
    }
    EXPECT_EQ(passed, c.steps);
    // Every other walk refuses the chain too.
    EXPECT_THROW(chain.last(), std::out_of_range);
    std::string out(std::min<std::uint64_t>(c.count, 8) * kPiece, '\0');
    EXPECT_THROW(chain.copy_to(out.data(), out.size()), std::out_of_range);
}

Offset offset_of(ChainFixture &f, const void *address) { return f.segment.offset_of(address); }

INSTANTIATE_TEST_SUITE_P(
    Chain, BrokenChain,
    ::testing::Values(
        Break{"link_past_the_area",
              [](ChainFixture &f, const std::vector<ChunkLink *> &links) { links[1]->next = f.segment.area().end() + 2; },
              4, 2},
        Break{"link_reaching_over_the_end",
              [](ChainFixture &f, const std::vector<ChunkLink *> &links) { links[1]->next = f.segment.area().end() - 6; },
              4, 2},
        Break{"link_in_the_allocator_record", [](ChainFixture &, const std::vector<ChunkLink *> &links) { links[0]->next = 2; },
              4, 1},
        Break{"link_off_the_grid",
              [](ChainFixture &f, const std::vector<ChunkLink *> &links) { links[2]->next = offset_of(f, links[3]) + 1; },
              4, 3},
        Break{"wrong_link_header",
              [](ChainFixture &, const std::vector<ChunkLink *> &links) {
                  chunk_header(reinterpret_cast<char *>(links[2]))[1] = kPiece;  // a data chunk's size byte
              },
              4, 2},
        Break{"head_with_a_wrong_header",
              [](ChainFixture &, const std::vector<ChunkLink *> &links) {
                  chunk_header(reinterpret_cast<char *>(links[0]))[1] = 0;  // a block
              },
              4, 0},
        // The count says six, the chain ends after four (its last link's
        // `next` leads nowhere).
        Break{"count_longer_than_the_chain",
              [](ChainFixture &, const std::vector<ChunkLink *> &links) { links[3]->next = 0; }, 6, 4},
        // A count larger than the links the whole area can hold is refused
        // before the first step.
        Break{"count_no_chain_can_have", [](ChainFixture &, const std::vector<ChunkLink *> &) {},
              std::uint64_t{1} << 40, 0}),
    [](const ::testing::TestParamInfo<Break> &info) { return std::string(info.param.name); });

// A chain that loops is walked by its count and no further.
TEST(Chain, ALoopEndsWithTheCount) {
    ChainFixture f;
    const Chain four = f.fresh(4);
    const std::vector<ChunkLink *> links = f.links_of(four);
    links[3]->next = f.segment.offset_of(links[1]);  // 0 1 2 3 1 2 3 1 ...
    const Chain looping(f.segment.area(), four.head(), 9, kPiece);
    std::vector<ChunkLink *> walked = f.links_of(looping);
    EXPECT_EQ(walked, (std::vector<ChunkLink *>{links[0], links[1], links[2], links[3], links[1], links[2], links[3],
                                                 links[1], links[2]}));
    EXPECT_EQ(looping.last(), links[2]);
}

TEST(Chain, PayloadOutsideTheAreaIsNeverTouched) {
    ChainFixture f;
    const Chain chain = f.fresh(3);
    const std::vector<ChunkLink *> links = f.links_of(chain);
    const std::string bytes = text(3 * kPiece);
    chain.fill(bytes.data(), bytes.size());  // so that a compare reaches the second piece
    links[1]->chunk = f.segment.area().end() - 8;  // 8 bytes left: a 32-byte piece reaches past the end
    std::string out(bytes.size(), '\0');
    EXPECT_THROW(chain.copy_to(out.data(), out.size()), std::out_of_range);
    EXPECT_THROW(chain.equals(bytes.data(), bytes.size()), std::out_of_range);
    EXPECT_THROW(chain.fill(bytes.data(), bytes.size()), std::out_of_range);
    EXPECT_NO_THROW(chain.copy_to(out.data(), kPiece)) << "the first piece is sound";
    EXPECT_EQ(chain.last(), links[2]) << "a walk of the links alone reads no payload";
}

TEST(Chain, LengthNeedingMoreLinksThanTheCountIsRefused) {
    ChainFixture f;
    const Chain two = f.fresh(2);
    std::string out(3 * kPiece, '\0');
    EXPECT_THROW(two.copy_to(out.data(), 2 * kPiece + 1), std::out_of_range);
    EXPECT_NO_THROW(two.copy_to(out.data(), 2 * kPiece));
    const Chain no_piece_size(f.segment.area(), two.head(), 2, 0);
    EXPECT_THROW(no_piece_size.copy_to(out.data(), 1), std::out_of_range);
}

TEST(Chain, FreesItsLinksAndPayloadsUntilARefusal) {
    ChainFixture f;
    const Chain chain = f.fresh(4);
    const Chain rest = chain.after(2);
    ASSERT_TRUE(chain.front(2).free_links_and_payloads());
    rest.link_at(1)->chunk = f.segment.offset_of(allocate_block(f.segment.base(), 8));  // a block: refused
    EXPECT_FALSE(rest.free_links_and_payloads());
    // Two pairs freed, and the third link with its payload; the fourth link
    // and the block stay.
    EXPECT_EQ(testing::list_members(f.segment.base(), f.segment.manager()->link_list).size(), 3u);
    EXPECT_EQ(testing::list_members(f.segment.base(), f.segment.manager()->data_list).size(), 3u);
}

}  // namespace
}  // namespace zorvik
