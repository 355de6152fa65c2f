// Chunk pools: refill groups, take and give back at their edges, the cap,
// destruction, refills that run out of space part-way, and fork.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scratch_segment.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/alloc/chain.hpp"
#include "zorvik/core/alloc/chunk_pool.hpp"
#include "zorvik/core/segment/file_errors.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

using testing::list_members;
using testing::ScratchSegment;
using Payloads = ChunkPool::Payloads;

// The two pools a map keeps: entry chunks (176 bytes, zeroed) and data chunks.
enum class Flavour { entry, data };

Offset link_chunk(const char *link) { return read_u64(link); }

// The data addresses of a chain's links.
std::vector<char *> links(const Chain &chain) {
    std::vector<char *> out;
    for (ChunkLink *link : chain.links()) out.push_back(reinterpret_cast<char *>(link));
    return out;
}

std::unique_ptr<ChunkPool> make_pool(const ScratchSegment &segment, Flavour flavour) {
    if (flavour == Flavour::entry) return std::make_unique<ChunkPool>(segment.area(), 176, Payloads::zeroed);
    return std::make_unique<ChunkPool>(segment.area(), segment.manager()->chunk_size, Payloads::kept);
}

// Puts `n` fresh links into an empty pool; returns them in pool order.
std::vector<char *> fill(ChunkPool &pool, std::uint64_t n) {
    if (n == 0) return {};
    const Chain made = pool.refill(n, nullptr);
    std::vector<char *> addresses = links(made);
    pool.give_back(made);
    return addresses;
}

// ---- refill ---------------------------------------------------------------------

struct RefillCase {
    Flavour flavour;
    std::uint64_t n;
};

class Refill : public ::testing::TestWithParam<RefillCase> {};

TEST_P(Refill, CutsGroupsOfAHundredPairedInOrder) {
    // In a new segment every allocator request is carved from fresh space, so
    // the positions of the links and payloads show the requests that were made:
    // per group, k pairs of a link chunk with its payload chunk beside it.
    const RefillCase &c = GetParam();
    ScratchSegment segment(1 << 20, 32);
    Allocator base = segment.base();
    auto pool = make_pool(segment, c.flavour);
    const std::uint64_t payload_span = c.flavour == Flavour::entry ? 184 : 40;
    const std::uint8_t payload_size = c.flavour == Flavour::entry ? 176 : 32;

    ChunkLink *last = nullptr;
    std::vector<char *> made = links(pool->refill(c.n, &last));
    EXPECT_EQ(made.back(), reinterpret_cast<char *>(last));

    std::uint64_t at = 64;
    std::uint64_t i = 0;
    for (std::uint64_t done = 0; done < c.n;) {
        const std::uint64_t k = std::min<std::uint64_t>(100, c.n - done);
        for (std::uint64_t j = 0; j < k; ++j, ++i) {
            const Offset link_header = at + j * (24 + payload_span);
            const Offset payload_header = link_header + 24;
            ASSERT_EQ(segment.offset_of(made[i]), link_header + 2) << "link " << i;
            ASSERT_EQ(link_chunk(made[i]), payload_header + 2) << "link " << i;
            ASSERT_EQ(chunk_size_at(base + payload_header), payload_size);
        }
        at += k * (24 + payload_span);
        done += k;
    }
    EXPECT_EQ(segment.allocated_offset(), at);
    EXPECT_EQ(pool->count(), 0u) << "a refill does not fill the pool";
}

INSTANTIATE_TEST_SUITE_P(Pool, Refill,
                         ::testing::Values(RefillCase{Flavour::data, 1}, RefillCase{Flavour::data, 100},
                                           RefillCase{Flavour::data, 250}, RefillCase{Flavour::entry, 101},
                                           RefillCase{Flavour::entry, 250}));

TEST(Pool, RefilledEntryChunksAreZeroDataChunksKeepTheirBytes) {
    ScratchSegment segment(1 << 20, 32);
    Allocator base = segment.base();
    // Dirty chunks of both payload sizes on their free lists.
    for (std::uint8_t size : {std::uint8_t{176}, std::uint8_t{32}}) {
        char *first = allocate_chunks(base, 100, size);
        std::vector<char *> data;
        for (int i = 0; i < 100; ++i, first += chunk_span(size)) data.push_back(chunk_data(first));
        for (char *d : data) {
            std::memset(d, 0xAB, size);
            ASSERT_TRUE(free_chunk(base, d));
        }
    }
    auto entry_pool = make_pool(segment, Flavour::entry);
    auto data_pool = make_pool(segment, Flavour::data);
    const Offset fresh = segment.allocated_offset();

    for (char *link : links(entry_pool->refill(100, nullptr))) {
        const char *payload = base + link_chunk(link);
        EXPECT_EQ(std::string(payload, 176), std::string(176, '\0'));
    }
    for (char *link : links(data_pool->refill(100, nullptr))) {
        const char *payload = base + link_chunk(link);
        EXPECT_EQ(std::string(payload + 8, 24), std::string(24, '\xAB')) << "data payloads are not touched";
    }
    // Only the link chunks needed fresh space.
    EXPECT_EQ(segment.allocated_offset(), fresh + 200 * 24);
}

// ---- take -------------------------------------------------------------------------

struct TakeCase {
    const char *name;
    std::uint64_t held;
    std::uint64_t n;
    std::uint64_t refilled;
    std::uint64_t left;
};

class Take : public ::testing::TestWithParam<TakeCase> {};

TEST_P(Take, RefillsOnlyWhenShortAndPutsNewLinksInFront) {
    const TakeCase &c = GetParam();
    ScratchSegment segment(1 << 20, 32);
    Allocator base = segment.base();
    ChunkPool pool(segment.area(), 32, Payloads::kept);
    std::vector<char *> old = fill(pool, c.held);
    const std::uint64_t unallocated = unallocated_bytes(base);

    std::vector<char *> all = links(pool.take(c.n));
    const std::uint64_t after_take = unallocated_bytes(base);
    EXPECT_EQ(unallocated - after_take, c.refilled * 64) << "pairs refilled";
    EXPECT_EQ(pool.count(), c.left);
    if (c.left > 0) {
        std::vector<char *> rest = links(pool.take(c.left));
        EXPECT_EQ(unallocated_bytes(base), after_take) << "the pool held what it counted";
        all.insert(all.end(), rest.begin(), rest.end());
    }
    EXPECT_EQ(pool.count(), 0u);
    // The pool's order: the refilled links, then the old ones in their order.
    ASSERT_EQ(all.size(), c.refilled + c.held);
    std::set<char *> old_set(old.begin(), old.end());
    std::set<Offset> payloads;
    for (std::uint64_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(chunk_size_at(base + link_chunk(all[i]) - 2), 32);
        EXPECT_TRUE(payloads.insert(link_chunk(all[i])).second) << "payload handed out twice";
        if (i < c.refilled) {
            EXPECT_EQ(old_set.count(all[i]), 0u) << "new links come first";
        }
    }
    EXPECT_EQ(std::vector<char *>(all.begin() + static_cast<long>(c.refilled), all.end()), old);

    // An emptied pool refills on the next take.
    pool.take(1);
    EXPECT_EQ(after_take - unallocated_bytes(base), 100u * 64);
}

INSTANTIATE_TEST_SUITE_P(Pool, Take,
                         ::testing::Values(TakeCase{"empty_take_one", 0, 1, 100, 99},
                                           TakeCase{"five_take_ten", 5, 10, 100, 95},
                                           TakeCase{"thirty_take_130", 30, 130, 100, 0},
                                           TakeCase{"take_exactly_count", 7, 7, 0, 0},
                                           TakeCase{"take_fewer", 10, 3, 0, 7},
                                           TakeCase{"empty_take_250", 0, 250, 250, 0},
                                           TakeCase{"five_take_300", 5, 300, 295, 0}),
                         [](const ::testing::TestParamInfo<TakeCase> &info) { return std::string(info.param.name); });

// A cached link whose header no longer says "link" (a chain the map gave back
// from a damaged file) is refused when it would be handed out, and the take
// leaves the pool as it was.
TEST(Pool, DamagedCachedLinkIsRefusedWhenHandedOut) {
    ScratchSegment segment(1 << 20, 32);
    auto pool = make_pool(segment, Flavour::data);
    std::vector<char *> cached = fill(*pool, 10);
    auto damage = [](char *link) { chunk_header(link)[1] = 32; };  // a data chunk's size

    damage(cached[2]);  // inside the take
    EXPECT_THROW(pool->take(5), std::out_of_range);
    EXPECT_EQ(pool->count(), 10u);
    chunk_header(cached[2])[1] = kLinkChunkSize;

    damage(cached[5]);  // the head after the take: refused by the next take
    std::vector<char *> taken = links(pool->take(5));
    EXPECT_EQ(taken, std::vector<char *>(cached.begin(), cached.begin() + 5));
    EXPECT_THROW(pool->take(1), std::out_of_range);
    EXPECT_EQ(pool->count(), 5u);
    chunk_header(cached[5])[1] = kLinkChunkSize;
    EXPECT_EQ(links(pool->take(1)), std::vector<char *>{cached[5]});
}

TEST(Pool, ATakeAsNeededGetsWhatItNeedsWhenARefillGroupDoesNotFit) {
    // Room for 20 data pairs: a group of 100 cannot be cut, the 3 this take
    // needs can (a replacement in a full file); a take of a group refuses.
    ScratchSegment segment(20 * 64, 32);
    ChunkPool pool(segment.area(), 32, Payloads::kept);
    EXPECT_THROW(pool.take(3), SpaceExhausted);
    EXPECT_EQ(unallocated_bytes(segment.base()), 20u * 64) << "a failed take cuts nothing";
    EXPECT_EQ(pool.take(3, ChunkPool::Refill::as_needed).count(), 3u);
    EXPECT_EQ(pool.count(), 0u);
    EXPECT_EQ(unallocated_bytes(segment.base()), 17u * 64);
    EXPECT_THROW(pool.take(18, ChunkPool::Refill::as_needed), SpaceExhausted);
    EXPECT_EQ(unallocated_bytes(segment.base()), 17u * 64) << "a failed take cuts nothing";
}

// ---- runs for long takes -------------------------------------------------------------
//
// A pool that hands out runs gives a take of 8 links or more as a run when it
// can: its front when that is one; when the pool holds fewer links than the
// take, fresh pairs cut for the take alone while the free lists hold fewer
// bytes than those pairs; else its front as any pool does.

bool is_run(const ScratchSegment &segment, const std::vector<char *> &chain) {
    for (std::size_t k = 0; k < chain.size(); ++k) {
        if (link_chunk(chain[k]) != segment.offset_of(chain[k]) + 24) return false;
        if (k > 0 && chain[k] != chain[k - 1] + 64) return false;
    }
    return true;
}

struct LongTakeCase {
    const char *name;
    ChunkPool::Runs runs;
    bool scattered_front;     // the pool's front: single links given back one by one, not a run
    std::uint64_t freed;      // link chunks put on the free list before the take
    std::uint64_t n;          // links taken
    bool from_front;          // the take is the pool's front
    bool run;                 // the take is a run
};

class LongTake : public ::testing::TestWithParam<LongTakeCase> {};

TEST_P(LongTake, IsARunWhenItCanBe) {
    const LongTakeCase &c = GetParam();
    ScratchSegment segment(1 << 20, 32);
    ChunkPool pool(segment.area(), 32, Payloads::kept, c.runs);
    std::vector<char *> front;
    if (c.scattered_front) {
        const Chain made = pool.refill(40, nullptr);
        const std::vector<char *> made_links = links(made);
        // Every other link, given back last first: the front holds links 0, 2, 4, ...
        for (std::size_t k = made_links.size(); k-- > 0;) {
            const Chain one(segment.area(), segment.offset_of(made_links[k]), 1, 32);
            if (k % 2 == 0) {
                pool.give_back(one);
                front.insert(front.begin(), made_links[k]);
            }
        }
    } else {
        front = fill(pool, 20);
    }
    if (c.freed > 0) {
        char *chunks = allocate_chunks(segment.base(), c.freed, kLinkChunkSize);
        ASSERT_NE(chunks, nullptr);
        ASSERT_TRUE(free_chain(segment.base(), chunks, c.freed));
    }
    const std::uint64_t held = pool.count();
    const std::vector<char *> taken = links(pool.take(c.n));

    ASSERT_EQ(taken.size(), c.n);
    EXPECT_EQ(taken == std::vector<char *>(front.begin(), front.begin() + static_cast<long>(c.n)), c.from_front);
    // (A take that is neither refilled the pool first.)
    if (c.from_front || c.run) {
        EXPECT_EQ(pool.count(), c.from_front ? held - c.n : held) << "a fresh run leaves the pool as it was";
    }
    EXPECT_EQ(is_run(segment, taken), c.run);
}

INSTANTIATE_TEST_SUITE_P(
    Pool, LongTake,
    ::testing::Values(
        // The pool holds 20 links. A take of 30 pairs needs 30 * 64 = 1,920
        // bytes: 96 link chunks freed (96 * 24 = 2,304 bytes) are more; 2
        // (48) are less.
        LongTakeCase{"front_run", ChunkPool::Runs::for_long_takes, false, 0, 10, true, true},
        LongTakeCase{"scattered_front_serves_the_take", ChunkPool::Runs::for_long_takes, true, 0, 10, true, false},
        LongTakeCase{"short_pool_few_freed", ChunkPool::Runs::for_long_takes, true, 2, 30, false, true},
        LongTakeCase{"short_pool_much_freed", ChunkPool::Runs::for_long_takes, true, 96, 30, false, false},
        LongTakeCase{"short_take_keeps_the_front", ChunkPool::Runs::for_long_takes, true, 0, 7, true, false},
        LongTakeCase{"pool_without_runs", ChunkPool::Runs::never, true, 0, 10, true, false},
        LongTakeCase{"longer_than_the_pool", ChunkPool::Runs::for_long_takes, false, 0, 30, false, true}),
    [](const ::testing::TestParamInfo<LongTakeCase> &info) { return std::string(info.param.name); });

// ---- give back and the cap -----------------------------------------------------------

TEST(Pool, AFullAreaKeepsWhatRemovalsFreeOnTheFreeLists) {
    // An area of 1 MiB: once full, a pool of data pairs keeps at most
    // 2^20 / 64 / 64 = 256 links, and frees what it is given beyond them.
    ScratchSegment segment(1 << 20, 32);
    Allocator base = segment.base();
    ChunkPool pool(segment.area(), 32, Payloads::kept);
    const Chain made = pool.refill(1000, nullptr);
    pool.give_back(made);
    EXPECT_EQ(pool.count(), 1000u) << "an area with room: the pool keeps what it is given";
    const Chain all = pool.take(1000);
    while (allocate_chunks(base, 1, 176) != nullptr) {
    }
    ASSERT_LT(unallocated_bytes(base), (1u << 20) / 64);
    pool.give_back(all);
    EXPECT_EQ(pool.count(), 256u);
    EXPECT_EQ(pool.cap(), 256u);
    EXPECT_EQ(list_members(base, segment.manager()->link_list).size(), 744u);
    EXPECT_EQ(list_members(base, segment.manager()->data_list).size(), 744u);
}

TEST(Pool, GiveBackKeepsUpToTheCapAndFreesTheRest) {
    // 2^20 pairs of 24 + 16 bytes: about 42 MB of segment.
    ScratchSegment segment(44u << 20, 8);
    Allocator base = segment.base();
    MemoryManager *manager = segment.manager();
    ChunkPool pool(segment.area(), 8, Payloads::kept);
    fill(pool, ChunkPool::kCap - 6);
    ASSERT_EQ(pool.count(), ChunkPool::kCap - 6);

    const Chain ten = pool.refill(10, nullptr);
    std::vector<char *> given = links(ten);
    // The first six are kept, the last four freed with their payloads, in
    // order (so the lists, stacks, hold them last first).
    std::vector<Offset> freed_links, freed_payloads;
    for (int i = 9; i >= 6; --i) {
        freed_links.push_back(testing::header_of_data(base, given[i]));
        freed_payloads.push_back(link_chunk(given[i]) - 2);
    }
    pool.give_back(ten);
    ASSERT_EQ(pool.count(), ChunkPool::kCap);
    EXPECT_EQ(list_members(base, manager->link_list), freed_links);
    EXPECT_EQ(list_members(base, manager->data_list), freed_payloads);

    // A full pool frees everything given back. (The refill reuses three of the
    // four pairs just freed.)
    const Chain three = pool.refill(3, nullptr);
    std::vector<Offset> three_links;
    for (char *link : links(three)) three_links.push_back(testing::header_of_data(base, link));
    pool.give_back(three);
    EXPECT_EQ(pool.count(), ChunkPool::kCap);
    std::vector<Offset> link_list = list_members(base, manager->link_list);
    EXPECT_EQ(std::vector<Offset>(link_list.begin(), link_list.begin() + 3),
              std::vector<Offset>(three_links.rbegin(), three_links.rend()));
    EXPECT_EQ(link_list.size(), 4u);
    EXPECT_EQ(list_members(base, manager->data_list).size(), 4u);

    // A refused free leaves give_back as the check_free exception.
    const Chain bad = pool.refill(1, nullptr);
    bad.link_at(0)->chunk = to_offset(base, allocate_block(base, 8));
    try {
        pool.give_back(bad);
        ADD_FAILURE() << "give_back accepted a link whose payload is a block";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "check_free<true>(Allocator allocator, void * target) failed!");
    }

    // The six kept links lie at the front of the pool.
    std::vector<char *> front = links(pool.take(6));
    EXPECT_EQ(front, std::vector<char *>(given.begin(), given.begin() + 6));
}

// ---- destruction --------------------------------------------------------------------

class PoolDestruction : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(PoolDestruction, ReturnsEveryCachedChunk) {
    const std::uint8_t data_size = GetParam();
    ScratchSegment segment(1 << 20, data_size);
    Allocator base = segment.base();
    {
        ChunkPool entries(segment.area(), 176, Payloads::zeroed);
        ChunkPool data(segment.area(), data_size, Payloads::kept);
        entries.give_back(entries.take(1));  // refills 100, keeps 99, then 100
        fill(data, 150);
    }
    testing::Audit audit = testing::audit_chunks(base);
    EXPECT_TRUE(audit.faults.empty()) << audit.faults.front();
    EXPECT_EQ(audit.free.size(), audit.carved.size()) << "every chunk is back on a free list";
    EXPECT_EQ(audit.carved.size(), 2u * 250u);
}

// With a data chunk size of 16, link chunks and data chunks share one list.
INSTANTIATE_TEST_SUITE_P(Pool, PoolDestruction, ::testing::Values(std::uint8_t{32}, std::uint8_t{16}));

TEST(Pool, DestructionStopsAtARefusedFreeWithoutThrowing) {
    ScratchSegment segment(1 << 20, 32);
    Allocator base = segment.base();
    auto pool = std::make_unique<ChunkPool>(segment.area(), 32, Payloads::kept);
    std::vector<char *> held = fill(*pool, 3);
    write_u64(held[1], to_offset(base, allocate_block(base, 8)));  // the second link's payload: a block
    EXPECT_NO_THROW(pool.reset());
    EXPECT_EQ(list_members(base, segment.manager()->link_list).size(), 1u);
    EXPECT_EQ(list_members(base, segment.manager()->data_list).size(), 1u);
}

// ---- refills that run out of space ----------------------------------------------------

struct ShortSegmentCase {
    const char *name;
    std::uint8_t data_size;
    Flavour flavour;
    std::uint64_t segment_size;  // room left once the pool holds `held`
    std::uint64_t held;
};

class RefillOutOfSpace : public ::testing::TestWithParam<ShortSegmentCase> {};

TEST_P(RefillOutOfSpace, LeaksNothingAndLeavesThePoolAsItWas) {
    const ShortSegmentCase &c = GetParam();
    const std::uint64_t pair = 24 + (c.flavour == Flavour::entry ? 184 : chunk_span(c.data_size));
    ScratchSegment segment(c.segment_size + c.held * pair, c.data_size);
    Allocator base = segment.base();
    auto pool_of_flavour = make_pool(segment, c.flavour);
    ChunkPool &pool = *pool_of_flavour;
    std::vector<char *> held = fill(pool, c.held);

    try {
        pool.take(250);
        ADD_FAILURE() << "the refill fitted";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Cannot allocate memory");
    }
    EXPECT_EQ(pool.count(), c.held);

    // Every chunk carved for the failed refill is on a free list; the held
    // links are the only chunks handed out.
    testing::Audit audit = testing::audit_chunks(base);
    ASSERT_TRUE(audit.faults.empty()) << audit.faults.front();
    EXPECT_EQ(audit.carved.size() - audit.free.size(), 2 * c.held);
    for (char *link : held) {
        EXPECT_EQ(audit.free.count(testing::header_of_data(base, link)), 0u);
        EXPECT_EQ(audit.free.count(link_chunk(link) - 2), 0u);
    }
    if (c.held > 0) {
        EXPECT_EQ(links(pool.take(c.held)), held) << "the pool is unchanged";
    }
}

// A data pair of size 32 takes 24 + 40 bytes; each row runs out at a different
// request of the refill of 250 (groups of 100, 100, 50).
INSTANTIATE_TEST_SUITE_P(
    Pool, RefillOutOfSpace,
    ::testing::Values(ShortSegmentCase{"first_links", 32, Flavour::data, 10, 0},
                      ShortSegmentCase{"first_payloads", 32, Flavour::data, 100 * 24 + 10, 0},
                      ShortSegmentCase{"second_links", 32, Flavour::data, 100 * 64 + 10, 0},
                      ShortSegmentCase{"second_payloads", 32, Flavour::data, 100 * 64 + 100 * 24 + 10, 0},
                      ShortSegmentCase{"last_payloads_with_held", 32, Flavour::data, 200 * 64 + 50 * 24 + 10, 5},
                      ShortSegmentCase{"shared_list", 16, Flavour::data, 100 * 48 + 100 * 24 + 10, 0},
                      ShortSegmentCase{"entry_second_payloads", 32, Flavour::entry, 100 * 208 + 100 * 24 + 10, 3}),
    [](const ::testing::TestParamInfo<ShortSegmentCase> &info) { return std::string(info.param.name); });

// ---- fork ---------------------------------------------------------------------------

// A child that is stuck fails its test instead of hanging the run.
constexpr unsigned kChildAlarmSeconds = 60;

// The header Offsets of a chain's links and of their payloads.
std::set<Offset> chunks_of(Allocator base, const Chain &chain) {
    std::set<Offset> chunks;
    for (char *link : links(chain)) {
        chunks.insert(testing::header_of_data(base, link));
        chunks.insert(link_chunk(link) - 2);
    }
    return chunks;
}

std::set<Offset> cached_chunks(ChunkPool &pool) {
    // Taking every cached link and giving them back leaves the pool as it was.
    const Chain taken = pool.take(pool.count());
    std::set<Offset> chunks = chunks_of(pool.area().base(), taken);
    pool.give_back(taken);
    return chunks;
}

// Another thread holds the pool's lock at the fork (it is inside a take,
// waiting for the allocator's lock). The child's pool is empty and usable, and
// what it takes and gives back never includes a chunk the parent has cached.
TEST(PoolFork, ChildStartsEmptyAndNeverTouchesTheParentsLinks) {
    ScratchSegment segment(1 << 20, 32);
    Allocator base = segment.base();
    auto pool = make_pool(segment, Flavour::data);
    fill(*pool, 10);
    const std::set<Offset> parent_cached = cached_chunks(*pool);

    std::thread taker;
    pid_t child = 0;
    {
        AllocatorLockGuard allocator_held(allocator_lock_word(base));
        taker = std::thread([&] { pool->take(50); });  // short of 50: refills, so waits here
        while (host::waiting_threads() == 0) std::this_thread::yield();
        child = fork();
        if (child == 0) {
            alarm(kChildAlarmSeconds);
            int status = 0;
            try {
                if (pool->count() != 0) status = 2;
                // Waits for the parent to release the allocator, not for the pool lock.
                const Chain taken = pool->take(30);
                for (Offset chunk : chunks_of(base, taken)) {
                    if (parent_cached.count(chunk)) status = 3;
                }
                pool->give_back(taken);
                pool.reset();  // gives back the child's own links only
            } catch (...) {
                status = 4;
            }
            _exit(status);
        }
    }
    taker.join();
    ASSERT_EQ(testing::wait_exit_status(child), 0);

    testing::Audit audit = testing::audit_chunks(base);
    ASSERT_TRUE(audit.faults.empty()) << audit.faults.front();
    for (Offset chunk : parent_cached) EXPECT_EQ(audit.free.count(chunk), 0u) << "freed by the child: " << chunk;
    const std::set<Offset> still_cached = cached_chunks(*pool);
    for (Offset chunk : parent_cached) EXPECT_EQ(still_cached.count(chunk), 1u) << "lost from the parent's pool";
}

// Every pool alive at a fork is emptied in the child, wherever it sits in the
// registry, and the pools of a process made by fork are emptied in its own
// children; the parent's pools keep what they hold.
TEST(PoolFork, EveryLivePoolOfEveryGenerationStartsEmpty) {
    ScratchSegment segment(1 << 20, 32);
    auto first = make_pool(segment, Flavour::data);
    auto middle = make_pool(segment, Flavour::entry);
    auto last = make_pool(segment, Flavour::data);
    fill(*first, 10);
    fill(*last, 20);
    middle.reset();  // leaves the registry from between two others

    pid_t child = fork();
    if (child == 0) {
        alarm(kChildAlarmSeconds);
        if (first->count() != 0 || last->count() != 0) _exit(2);
        auto own = make_pool(segment, Flavour::entry);
        fill(*own, 5);
        fill(*first, 7);
        pid_t grandchild = fork();
        if (grandchild == 0) _exit(own->count() == 0 && first->count() == 0 && last->count() == 0 ? 0 : 3);
        if (testing::wait_exit_status(grandchild) != 0) _exit(4);
        _exit(own->count() == 5 && first->count() == 7 ? 0 : 5);
    }
    ASSERT_EQ(testing::wait_exit_status(child), 0);
    EXPECT_EQ(first->count(), 10u);
    EXPECT_EQ(last->count(), 20u);
}

// Threads create, use and destroy pools while the main thread forks (when
// `forks` > 0): a fork never finds the registry half changed, and each child
// can make and use pools of its own. Without forks, a run for
// ThreadSanitizer over the registry's locking.
class PoolRegistry : public ::testing::TestWithParam<int> {};

TEST_P(PoolRegistry, ThreadsComeAndGoWhileTheProcessForks) {
    const int forks = GetParam();
    ScratchSegment segment(16 << 20, 32);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                auto pool = make_pool(segment, Flavour::data);
                pool->give_back(pool->take(5));
            }
        });
    }
    for (int i = 0; i < forks; ++i) {
        pid_t child = fork();
        if (child == 0) {
            alarm(kChildAlarmSeconds);
            auto pool = make_pool(segment, Flavour::entry);
            pool->give_back(pool->take(3));
            _exit(pool->count() == 100 ? 0 : 2);
        }
        EXPECT_EQ(testing::wait_exit_status(child), 0) << "fork " << i;
    }
    if (forks == 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
    for (std::thread &thread : threads) thread.join();
    testing::Audit audit = testing::audit_chunks(segment.base());
    ASSERT_TRUE(audit.faults.empty()) << audit.faults.front();
}

INSTANTIATE_TEST_SUITE_P(Pool, PoolRegistry, ::testing::Values(0, 20));

}  // namespace
}  // namespace zorvik
