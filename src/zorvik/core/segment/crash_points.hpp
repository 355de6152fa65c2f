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
// is never taken, per crash point passed.
#pragma once

#include <atomic>
#include <cstdint>

namespace zorvik::crash_points {

namespace detail {
// Crash points still to pass before the process kills itself; 0: disarmed.
extern std::atomic<std::uint64_t> countdown;
void pass() noexcept;
}  // namespace detail

// A step boundary. `name` says which, for a reader of the code; it costs
// nothing at run time.
inline void step([[maybe_unused]] const char *name) noexcept {
    asm volatile("" ::: "memory");
    if (__builtin_expect(detail::countdown.load(std::memory_order_relaxed) != 0, 0)) detail::pass();
    asm volatile("" ::: "memory");
}

// For tests: the process raises SIGKILL on itself at the k-th crash point it
// passes from now on (k >= 1), in whatever thread passes it; 0 disarms.
// A child made by fork inherits the countdown.
void kill_at(std::uint64_t k) noexcept;

// For tests: how many crash points the countdown has passed since kill_at
// (with a k larger than any operation takes, this counts an operation's steps).
std::uint64_t passed_since_armed() noexcept;

}  // namespace zorvik::crash_points
