// The process-local side of the incremental doubling (growth.cpp): where a
// doubling stands as the shared words show it, what this process watches of
// states it cannot advance, and its counts for tests and benchmarks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace zorvik {

// Where the table's doubling stands, read from chunks_in_use, the cursor and
// chunk table slot L (growth.cpp says what each step does).
enum class GrowthPhase : std::uint8_t {
    idle,          // no doubling; the load rule starts one
    building,      // claimed by no process: the new half is written in steps
    splitting,     // the new half is published; batches are handed out
    verifying,     // every batch handed out; the doubling ends once every bucket is known split
    clearing,      // doubled; the old half's marks are cleared in steps
    foreign,       // a process the cursor names claims, publishes or ends the doubling
    stale_marker,  // a claim marker with a plain cursor: its setter died (the next claim adopts it)
    unknown,       // words no version leaves together (a damaged file)
};

// "idle", "building", ...: for reports.
const char *growth_phase_name(GrowthPhase phase);

// True for the phases any operation of this version carries on by itself,
// with nothing to take over: a file left in one of them is at rest.
constexpr bool goes_on_by_steps(GrowthPhase phase) {
    return phase == GrowthPhase::building || phase == GrowthPhase::splitting || phase == GrowthPhase::verifying ||
           phase == GrowthPhase::clearing;
}

// How long one state has lasted in this process's eyes: a state this process
// cannot advance (a lock or a doubling held by another process) is judged
// only once it has lasted a while, and then now and then, on the schedule of
// lock waits (holder_looks.hpp). One per kind of state; the threads of the
// process share it under its mutex, and one busy with it makes the others
// skip (a look is never worth a wait).
class StatePatience {
public:
    using Clock = std::chrono::steady_clock;

    // True when `key` (the state seen) has been seen since at least
    // `first_look` ago, and no look was due for it within `look_every`.
    // Another key starts the count again.
    bool look_due(std::uint64_t key, Clock::time_point now, Clock::duration first_look, Clock::duration look_every);

private:
    std::mutex mutex_;
    std::uint64_t key_ = 0;
    Clock::time_point next_look_{};
};

// This process's counts of its growth work; for tests and benchmarks.
struct GrowthStats {
    std::atomic<std::uint64_t> steps{0};      // calls that did some work
    std::atomic<std::uint64_t> claims{0};     // doublings this process claimed
    std::atomic<std::uint64_t> ends{0};       // doublings this process ended
    std::atomic<std::uint64_t> swept{0};      // buckets checked by this process's sweeps
    std::atomic<std::uint64_t> takeovers{0};  // states taken over from processes that had ended
    std::atomic<std::uint64_t> catch_ups{0};  // steps past the convergence load (x16, waiting a little for the lock)
    // The largest entries-per-bucket of the old table (x 1000) at an end
    // this process made: how far the table's growth ran ahead of its doubling.
    std::atomic<std::uint64_t> largest_load_at_end{0};
};

// What growth.cpp keeps per map object besides the shared words.
struct GrowthLocal {
    StatePatience lock_patience;     // the growth lock, held by another process
    StatePatience foreign_patience;  // a doubling another process names (or an unnamed publication)
    StatePatience sweep_patience;    // every batch handed out, not every one counted
    // When this map object last stepped for a change (steady clock ticks):
    // gets step only while no change does.
    std::atomic<std::int64_t> last_change_step{0};
    GrowthStats stats;
};

}  // namespace zorvik
