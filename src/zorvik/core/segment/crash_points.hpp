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
// are made before those written after it. x86-64 keeps the order of stores
// (TSO), and a process killed between two instructions leaves every store it
// made in the page cache, so the order in the code is the order a process
// that takes over finds.
//
// Production cost: one relaxed load of a process-wide word and a branch that
// is never taken, per crash point passed; and once per process (and again in
// a child made by fork), at the first crash point, a look at the environment.
//
// Every extension module links a core of its own, so a test arms the crash
// points of all of them through the environment: kCountdownVariable, set in
// a child made by fork before the child's first operation, is read by each
// core at its first crash point in that child (a countdown as kill_at's).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace zorvik::crash_points {

// The environment variable a test sets to arm the crash points (see above).
inline constexpr const char kCountdownVariable[] = "ZORVIK_TEST_CRASH_AFTER";

namespace detail {
// Nonzero while a test has armed the crash points (a countdown, or a trace),
// or while the environment is still to be read.
extern std::atomic<std::uint64_t> armed;
void pass(const char *name) noexcept;
}  // namespace detail

// A step boundary, named for the reader of the code and for a test's trace.
inline void step(const char *name) noexcept {
    asm volatile("" ::: "memory");
    if (__builtin_expect(detail::armed.load(std::memory_order_relaxed) != 0, 0)) detail::pass(name);
    asm volatile("" ::: "memory");
}

// For tests: the process raises SIGKILL on itself at the k-th crash point it
// passes from now on (k >= 1), in whatever thread passes it; 0 disarms. A
// child made by fork inherits the countdown unless kCountdownVariable is set
// in it, which then replaces it.
void kill_at(std::uint64_t k) noexcept;

// For tests: records the names of the crash points passed from now on (at
// most 100,000), until stop_tracing; returns them then.
void start_tracing() noexcept;
std::vector<const char *> stop_tracing();

}  // namespace zorvik::crash_points
