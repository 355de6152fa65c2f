#include "zorvik/core/segment/holder_looks.hpp"

#include <atomic>
#include <cstdint>

namespace zorvik {
namespace {

// The timing in milliseconds, process memory; relaxed: each wait takes a copy
// when it begins, and no other data hangs on these words.
std::atomic<std::int64_t> first_look_ms{LockWaitTiming{}.first_look.count()};
std::atomic<std::int64_t> look_every_ms{LockWaitTiming{}.look_every.count()};
std::atomic<std::int64_t> unnamed_holder_patience_ms{LockWaitTiming{}.unnamed_holder_patience.count()};

std::chrono::milliseconds milliseconds_of(const std::atomic<std::int64_t> &value) {
    return std::chrono::milliseconds(value.load(std::memory_order_relaxed));
}

}  // namespace

void set_lock_wait_timing(const LockWaitTiming &timing) {
    first_look_ms.store(timing.first_look.count(), std::memory_order_relaxed);
    look_every_ms.store(timing.look_every.count(), std::memory_order_relaxed);
    unnamed_holder_patience_ms.store(timing.unnamed_holder_patience.count(), std::memory_order_relaxed);
}

LockWaitTiming lock_wait_timing() {
    return LockWaitTiming{milliseconds_of(first_look_ms), milliseconds_of(look_every_ms),
                          milliseconds_of(unnamed_holder_patience_ms)};
}

HolderLooks::HolderLooks(Clock::time_point started)
    : timing_(lock_wait_timing()), started_(started), next_look_(started + timing_.first_look) {}

bool HolderLooks::due(Clock::time_point now) {
    if (now < next_look_) return false;
    next_look_ = now + timing_.look_every;
    return true;
}

}  // namespace zorvik
