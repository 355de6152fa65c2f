// Crash points: named places between the steps of every change the core makes
// to a segment, where a test can have the process die at once.
//
// A change to the shared segment is a sequence of single stores ordered so
// that a process killed between any two of them leaves a state that the next
// process to take the lock can finish or undo (the essays at the top of the
// map's entry operations and expansion say how). The tests prove each repair
// path by killing a child process at the k-th crash point it passes, for every
// k until the change completes, and checking what the next process finds.
//
// Each crash point is also a compiler barrier: the stores written before it
// are issued before those written after it. That is all the order the repair
// needs, on any CPU. A signal that kills a process lands between two of its
// instructions: the stores it made are exactly those before that point in
// the instruction stream, a prefix of the code's order, and each of them
// reaches the page cache, even if the CPU (a weakly ordered one) would have
// let another core see them in another order while the process lived. The
// process that takes the lock over reads them only after it has seen the
// holder ended (the kernel has finished the process) and after its
// takeover's compare-and-swap and full fence (spin_lock.cpp), so it finds
// the whole prefix. No live process reads these words while their writer
// holds the lock.
//
// Production cost: one relaxed load of a process-wide word and a branch that
// is never taken, per crash point passed. The Python modules share one core
// (libzorvik_core.so), so one countdown serves every dictionary of a process.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <vector>

namespace zorvik::crash_points {

namespace detail {
// Nonzero while a test has armed the crash points (a countdown, or a trace).
extern std::atomic<std::uint64_t> armed;
void pass(const char *name) noexcept;
}  // namespace detail

// A step boundary, named for the reader of the code and for a test's trace.
// The signal fences are the compiler barriers (they emit no instruction).
inline void step(const char *name) noexcept {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (__builtin_expect(detail::armed.load(std::memory_order_relaxed) != 0, 0)) detail::pass(name);
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// For tests: the process raises SIGKILL on itself at the k-th crash point it
// passes from now on (k >= 1), in whatever thread passes it; 0 disarms. A
// child made by fork inherits the countdown. With `signal` SIGSTOP the
// process stops there instead, and goes on once continued (SIGCONT): a test
// does something at that point meanwhile.
void kill_at(std::uint64_t k, int signal = SIGKILL) noexcept;

// For tests: records the names of the crash points passed from now on (at
// most 100,000), until stop_tracing; returns them then.
void start_tracing() noexcept;
std::vector<const char *> stop_tracing();

}  // namespace zorvik::crash_points
