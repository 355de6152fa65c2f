// When a waiter looks at the holder of what it waits for: a lock word
// (spin_lock.hpp) or an expansion's claim (map/expansion.cpp). Both judge a
// holder on this one schedule.
//
// A holder normally lets go within microseconds, so a wait that has lasted
// `first_look` (200 ms) means a holder that is descheduled, stopped or gone;
// the waiter looks then, and again every `look_every` (100 ms), since a look
// costs a few system calls (processes.hpp). A held word that names no process
// is waited on for `unnamed_holder_patience` (10 s: long enough for any
// holder that records no id to let go). The timing is the whole process's;
// tests shorten it.
#pragma once

#include <chrono>

namespace zorvik {

struct LockWaitTiming {
    std::chrono::milliseconds first_look{200};
    std::chrono::milliseconds look_every{100};
    std::chrono::milliseconds unnamed_holder_patience{10000};
};
// Replaces the timing for the waits that begin from now on. Never throws.
void set_lock_wait_timing(const LockWaitTiming &timing);
LockWaitTiming lock_wait_timing();

// The looks of one wait, on the timing in force when it began. Process
// memory of the waiting thread alone: no other thread sees it.
class HolderLooks {
public:
    using Clock = std::chrono::steady_clock;

    explicit HolderLooks(Clock::time_point started);

    // True when a look is due at `now`: once the wait has lasted first_look,
    // then look_every after the last look that was due.
    bool due(Clock::time_point now);
    // True once the wait has lasted `patience`.
    bool waited(Clock::time_point now, std::chrono::milliseconds patience) const { return now - started_ >= patience; }

    Clock::time_point started() const { return started_; }
    const LockWaitTiming &timing() const { return timing_; }

private:
    LockWaitTiming timing_;
    Clock::time_point started_;
    Clock::time_point next_look_;
};

}  // namespace zorvik
