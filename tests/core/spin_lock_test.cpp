// The spin lock: mutual exclusion between processes and threads on the segment
// and allocator words, between threads on a process word, and the waiter's
// refusal to spin for ever behind a holder that has ended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "scratch_segment.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

using testing::ScratchSegment;

enum class Form { segment_word, straddling_segment_word, allocator_word };

struct FormCase {
    const char *name;
    Form form;
};

// A segment lock word at p % 8 == 2, as the file layout places them; the
// straddling one starts at byte 58 of a cache line, so the whole 8-byte word
// spans two lines.
char *segment_word(ScratchSegment &segment, Form form) {
    char *view = segment.base() - 24;  // page-aligned
    return view + (form == Form::straddling_segment_word ? 4 * 64 + 58 : 4 * 64 + 10);
}

// Some plain work under the lock whose result is wrong if two holders overlap.
void bump(volatile std::uint64_t *counter) {
    std::uint64_t value = *counter;
    *counter = value + 1;
}

void locked_bumps(ScratchSegment &segment, Form form, volatile std::uint64_t *counter, int times) {
    for (int i = 0; i < times; ++i) {
        if (form == Form::allocator_word) {
            AllocatorLockGuard guard(allocator_lock_word(segment.base()));
            bump(counter);
        } else {
            SegmentLockGuard guard(segment_word(segment, form), "test lock");
            bump(counter);
        }
    }
}

class MutualExclusion : public ::testing::TestWithParam<FormCase> {};

TEST_P(MutualExclusion, AcrossProcessesAndThreads) {
    constexpr int kProcesses = 2, kThreads = 2, kTimes = 100000;
    const Form form = GetParam().form;
    ScratchSegment segment(1 << 16, 32);
    char *view = segment.base() - 24;
    // Neighbours of the lock word that it must never touch.
    char *word = segment_word(segment, form);
    std::memset(word - 2, 0x5A, 2);
    std::memset(word + 8, 0x5A, 2);
    auto *counter = reinterpret_cast<volatile std::uint64_t *>(view + 8 * 64);

    testing::StartGate gate;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            gate.wait();
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&] { locked_bumps(segment, form, counter, kTimes); });
            }
            for (std::thread &thread : threads) thread.join();
            _exit(0);
        }
        children.push_back(child);
    }
    gate.open();
    for (pid_t child : children) EXPECT_EQ(testing::wait_exit_status(child), 0);

    EXPECT_EQ(*counter, std::uint64_t{kProcesses} * kThreads * kTimes);
    EXPECT_EQ(*allocator_lock_word(segment.base()), 0u);
    EXPECT_EQ(read_u64(word), 0u) << "a free segment lock word reads 0";
    EXPECT_EQ(std::string(word - 2, 2), "\x5A\x5A");
    EXPECT_EQ(std::string(word + 8, 2), "\x5A\x5A");
}

INSTANTIATE_TEST_SUITE_P(SpinLock, MutualExclusion,
                         ::testing::Values(FormCase{"segment_word", Form::segment_word},
                                           FormCase{"straddling_segment_word", Form::straddling_segment_word},
                                           FormCase{"allocator_word", Form::allocator_word}),
                         [](const ::testing::TestParamInfo<FormCase> &info) { return std::string(info.param.name); });

TEST(SpinLock, ProcessWordExcludesThreads) {
    constexpr int kThreads = 4, kTimes = 100000;
    ProcessLock lock;
    volatile std::uint64_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kTimes; ++i) {
                ProcessLockGuard guard(lock);
                bump(&counter);
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kTimes);
    EXPECT_FALSE(lock.held());
}

// A child made by fork while another thread waits for a lock: it takes locks
// under its own process id (not the parent's cached one), and counts no
// waiting thread (the one waiting in the parent does not exist there).
TEST(SpinLock, ForkedChildLocksUnderItsOwnIdAndCountsNoWaiter) {
    ScratchSegment segment(1 << 16, 32);
    char *held = segment_word(segment, Form::segment_word);
    char *other = held + 64;
    ASSERT_EQ(host::own_pid(), getpid());
    std::thread waiter;
    pid_t child = 0;
    {
        SegmentLockGuard guard(held, "test lock");
        waiter = std::thread([&] { SegmentLockGuard wait(held, "test lock"); });
        while (host::waiting_threads() == 0) std::this_thread::yield();
        child = fork();
        if (child == 0) {
            const bool counted_no_waiter = host::waiting_threads() == 0;
            lock_segment_word(other, "test lock");
            _exit(counted_no_waiter && host::own_pid() == getpid() && segment_lock_holder(other) == getpid() ? 0 : 2);
        }
    }
    waiter.join();
    ASSERT_EQ(testing::wait_exit_status(child), 0);
    EXPECT_EQ(segment_lock_holder(other), child) << "the child's lock, left held when it ended";
}

class DeadHolder : public ::testing::TestWithParam<FormCase> {};

TEST_P(DeadHolder, WaiterThrowsNamingTheProcess) {
    // The child takes the lock and ends without releasing it; once it has been
    // reaped, the parent's wait must end in LockHolderDied instead of spinning
    // for ever.
    const Form form = GetParam().form;
    ScratchSegment segment(1 << 16, 32);
    char *word = segment_word(segment, form);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (form == Form::allocator_word) {
            lock_allocator_word(allocator_lock_word(segment.base()));
        } else {
            lock_segment_word(word, "bucket lock");
        }
        _exit(0);
    }
    ASSERT_EQ(testing::wait_exit_status(child), 0);

    std::string expected_name = form == Form::allocator_word ? "allocator lock" : "bucket lock";
    if (form == Form::allocator_word) {
        EXPECT_EQ(allocator_lock_holder(allocator_lock_word(segment.base())), child);
    } else {
        EXPECT_EQ(segment_lock_holder(word), child);
    }
    try {
        if (form == Form::allocator_word) {
            allocate_block(segment.base(), 8);  // every allocator operation waits for the word
        } else {
            lock_segment_word(word, "bucket lock");
        }
        ADD_FAILURE() << "the lock was taken although its holder never released it";
    } catch (const LockHolderDied &e) {
        EXPECT_EQ(e.pid(), child);
        EXPECT_EQ(std::string(e.what()), expected_name + " is held by process " + std::to_string(child) + ", which has ended");
    }
}

INSTANTIATE_TEST_SUITE_P(SpinLock, DeadHolder,
                         ::testing::Values(FormCase{"segment_word", Form::segment_word},
                                           FormCase{"allocator_word", Form::allocator_word}),
                         [](const ::testing::TestParamInfo<FormCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorvik
