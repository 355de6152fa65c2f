#include "zorvik/core/segment/crash_points.hpp"

#include <signal.h>
#include <unistd.h>

namespace zorvik::crash_points {

namespace detail {
std::atomic<std::uint64_t> countdown{0};
namespace {
std::atomic<std::uint64_t> armed_at{0};
}  // namespace

void pass() noexcept {
    // Of several threads passing crash points at once, exactly one takes the
    // countdown from 1 to 0; none takes it below 0.
    std::uint64_t left = countdown.load(std::memory_order_relaxed);
    while (left != 0 && !countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
    }
    if (left == 1) {
        kill(getpid(), SIGKILL);
        // SIGKILL cannot be caught or blocked; this is not reached.
        _exit(137);
    }
}
}  // namespace detail

void kill_at(std::uint64_t k) noexcept {
    detail::armed_at.store(k, std::memory_order_relaxed);
    detail::countdown.store(k, std::memory_order_relaxed);
}

std::uint64_t passed_since_armed() noexcept {
    return detail::armed_at.load(std::memory_order_relaxed) - detail::countdown.load(std::memory_order_relaxed);
}

}  // namespace zorvik::crash_points
