// The spin lock: mutual exclusion between processes and threads on the segment
// and allocator words, between threads on a process word, the takeover of a
// lock whose holder has ended (however it ended), and the bounded wait on a
// lock that names no process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "scratch_segment.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/processes.hpp"
#include "zorvik/core/segment/scope_exit.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

using testing::ScratchSegment;
using testing::wait_exit_status;

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

// ---- holders that ended ---------------------------------------------------------

// Takes the lock of form `form` at `word` (the allocator's: the segment's).
Acquired take(ScratchSegment &segment, Form form, char *word) {
    if (form == Form::allocator_word) return lock_allocator_word(allocator_lock_word(segment.base()));
    return lock_segment_word(word, "bucket lock");
}
void give_back(ScratchSegment &segment, Form form, char *word) {
    if (form == Form::allocator_word) {
        unlock_allocator_word(allocator_lock_word(segment.base()));
    } else {
        unlock_segment_word(word);
    }
}
int holder_of(ScratchSegment &segment, Form form, char *word) {
    return form == Form::allocator_word ? allocator_lock_holder(allocator_lock_word(segment.base()))
                                        : segment_lock_holder(word);
}

// Writes the lock as held by `pid` with start-time tag `tag`, as a holder
// that then stopped (or a damaged file) would leave it.
void fake_held(ScratchSegment &segment, Form form, char *word, int pid, std::uint16_t tag) {
    if (form == Form::allocator_word) {
        std::uint32_t *lock = allocator_lock_word(segment.base());
        lock[0] = 1u | static_cast<std::uint32_t>(pid) << 8;
        lock[1] = tag;
        return;
    }
    const auto id = static_cast<std::uint32_t>(pid);
    const std::uint32_t sub = (id & 0xFFFFu) | (1u << 16) | (((id >> 16) & 0xFFu) << 24);
    std::memcpy(word, &tag, 2);
    std::memcpy(word + 2, &sub, 4);
}

// A process that exists but maps no segment: started by exec, so that it
// inherits no view of the test's file.
pid_t unrelated_process() {
    pid_t pid = fork();
    if (pid == 0) {
        execlp("sleep", "sleep", "60", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Until the exec, the child still maps the parent's views; wait for it.
    for (int tries = 0; tries < 5000; ++tries) {
        char target[64] = {};
        const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        if (readlink(exe.c_str(), target, sizeof target - 1) > 0 && std::string(target).find("sleep") != std::string::npos) {
            break;
        }
        usleep(1000);
    }
    return pid;
}

struct HolderCase {
    const char *name;
    // Makes the word held as the case has it; returns a process to end afterwards (or 0).
    std::function<pid_t(ScratchSegment &, Form, char *)> make_held;
    bool taken_over;  // else: the wait goes on (and ends at the test's deadline)
};

class HolderThatEnded : public ::testing::TestWithParam<FormCase> {};

// A waiter takes a lock over from a holder that has ended, in every way one
// can end, and reports that it did; a live holder is waited for.
TEST_P(HolderThatEnded, IsTakenOverAndALiveOneIsNot) {
    const Form form = GetParam().form;
    const std::vector<HolderCase> cases = {
        {"exited holding it",
         [](ScratchSegment &segment, Form f, char *word) {
             pid_t child = fork();
             if (child == 0) {
                 take(segment, f, word);
                 _exit(0);
             }
             wait_exit_status(child);
             return pid_t{0};
         },
         true},
        {"a zombie holds it",  // ended, not yet reaped: kill(pid, 0) still succeeds
         [](ScratchSegment &segment, Form f, char *word) {
             pid_t child = fork();
             if (child == 0) {
                 take(segment, f, word);
                 _exit(0);
             }
             while (holder_of(segment, f, word) != child) usleep(100);
             usleep(20000);
             return child;  // reaped after the takeover
         },
         true},
        {"its id now names an unrelated process",
         [](ScratchSegment &segment, Form f, char *word) {
             pid_t other = unrelated_process();
             fake_held(segment, f, word, other, 0);
             return other;
         },
         true},
        {"its id names a process that started later",
         [](ScratchSegment &segment, Form f, char *word) {
             // A child forked from here maps the file: only the start-time tag
             // tells it from the holder that had its id.
             pid_t child = fork();
             if (child == 0) {
                 pause();
                 _exit(0);
             }
             const std::uint16_t tag = processes::start_tag(child);
             fake_held(segment, f, word, child, static_cast<std::uint16_t>(tag % 65521 + 1));
             return child;
         },
         true},
        {"this process's id, from an earlier process",
         [](ScratchSegment &segment, Form f, char *word) {
             const std::uint16_t tag = processes::own_start_tag();
             fake_held(segment, f, word, getpid(), static_cast<std::uint16_t>(tag % 65521 + 1));
             return pid_t{0};
         },
         true},
        {"a live holder",
         [](ScratchSegment &segment, Form f, char *word) {
             pid_t child = fork();
             if (child == 0) {
                 take(segment, f, word);
                 pause();
                 _exit(0);
             }
             while (holder_of(segment, f, word) != child) usleep(100);
             return child;
         },
         false},
    };
    for (const HolderCase &c : cases) {
        ScratchSegment segment(1 << 16, 32);
        char *word = segment_word(segment, form);
        const pid_t other = c.make_held(segment, form, word);
        if (c.taken_over) {
            EXPECT_EQ(take(segment, form, word), Acquired::from_ended_holder) << c.name;
            EXPECT_EQ(holder_of(segment, form, word), getpid()) << c.name;
            give_back(segment, form, word);
            EXPECT_EQ(take(segment, form, word), Acquired::normally) << c.name;
            give_back(segment, form, word);
        } else {
            const WaitDeadline deadline(std::chrono::milliseconds(1500));
            EXPECT_THROW(take(segment, form, word), LockWaitExpired) << c.name;
            EXPECT_NE(holder_of(segment, form, word), getpid()) << c.name;
        }
        if (other != 0) {
            kill(other, SIGKILL);
            waitpid(other, nullptr, 0);
        }
    }
}

// A held word that names no process is never taken over: after a bounded
// wait the waiter says how to repair the file offline.
TEST_P(HolderThatEnded, WordNamingNoProcessIsAnErrorNotATakeover) {
    const Form form = GetParam().form;
    ScratchSegment segment(1 << 16, 32);
    char *word = segment_word(segment, form);
    fake_held(segment, form, word, 0, 0);
    const LockWaitTiming timing = lock_wait_timing();
    set_lock_wait_timing({timing.first_look, timing.look_every, std::chrono::milliseconds(600)});
    ScopeExit restore([timing] { set_lock_wait_timing(timing); });
    try {
        take(segment, form, word);
        ADD_FAILURE() << "took a lock that names no process";
    } catch (const LockHeldByNoProcess &e) {
        const std::string text = e.what();
        EXPECT_NE(text.find(form == Form::allocator_word ? "allocator lock" : "bucket lock"), std::string::npos) << text;
        EXPECT_NE(text.find("python -m zorvik repair " + segment.path()), std::string::npos) << text;
    }
    EXPECT_EQ(holder_of(segment, form, word), 0);
}

// Threads of one process that wait together for a lock whose holder ended:
// exactly one takes it over, and the lock still excludes them all.
TEST_P(HolderThatEnded, ThreadsRaceToTakeItOverOnce) {
    constexpr int kThreads = 4, kTimes = 2000;
    const Form form = GetParam().form;
    ScratchSegment segment(1 << 16, 32);
    char *word = segment_word(segment, form);
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    wait_exit_status(ended);
    fake_held(segment, form, word, ended, 0);
    const LockWaitTiming timing = lock_wait_timing();
    set_lock_wait_timing({std::chrono::milliseconds(1), std::chrono::milliseconds(1), timing.unnamed_holder_patience});
    ScopeExit restore([timing] { set_lock_wait_timing(timing); });
    std::atomic<int> takeovers{0};
    volatile std::uint64_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kTimes; ++i) {
                if (take(segment, form, word) == Acquired::from_ended_holder) takeovers++;
                bump(&counter);
                give_back(segment, form, word);
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(takeovers.load(), 1);
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kTimes);
    EXPECT_EQ(holder_of(segment, form, word), 0);
}

INSTANTIATE_TEST_SUITE_P(SpinLock, HolderThatEnded,
                         ::testing::Values(FormCase{"segment_word", Form::segment_word},
                                           FormCase{"allocator_word", Form::allocator_word}),
                         [](const ::testing::TestParamInfo<FormCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorvik
