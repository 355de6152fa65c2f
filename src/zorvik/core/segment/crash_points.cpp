#include "zorvik/core/segment/crash_points.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace zorvik::crash_points {
namespace {

// Crash points still to pass before the process kills itself; 0: none.
std::atomic<std::uint64_t> countdown{0};
std::atomic<int> raised{SIGKILL};  // what the process raises at the point
std::atomic<bool> tracing{false};
// The trace: enough for any one operation a test traces, expansions of small
// tables included.
constexpr std::size_t kTraceLimit = 100000;
std::array<const char *, kTraceLimit> trace;
std::atomic<std::size_t> traced{0};

void update_armed() {
    detail::armed.store(countdown.load(std::memory_order_relaxed) != 0 || tracing.load(std::memory_order_relaxed),
                        std::memory_order_relaxed);
}

}  // namespace

namespace detail {
std::atomic<std::uint64_t> armed{0};

void pass(const char *name) noexcept {
    if (tracing.load(std::memory_order_relaxed)) {
        const std::size_t at = traced.fetch_add(1, std::memory_order_relaxed);
        if (at < kTraceLimit) trace[at] = name;
    }
    // Of several threads passing crash points at once, exactly one takes the
    // countdown from 1 to 0; none takes it below 0.
    std::uint64_t left = countdown.load(std::memory_order_relaxed);
    while (left != 0 && !countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
    }
    if (left == 1) {
        const int signal = raised.load(std::memory_order_relaxed);
        kill(getpid(), signal);
        if (signal == SIGKILL) _exit(137);  // SIGKILL cannot be caught or blocked: not reached
    }
}
}  // namespace detail

void kill_at(std::uint64_t k, int signal) noexcept {
    raised.store(signal, std::memory_order_relaxed);
    countdown.store(k, std::memory_order_relaxed);
    update_armed();
}

void start_tracing() noexcept {
    traced.store(0, std::memory_order_relaxed);
    tracing.store(true, std::memory_order_relaxed);
    update_armed();
}

std::vector<const char *> stop_tracing() {
    tracing.store(false, std::memory_order_relaxed);
    update_armed();
    const std::size_t count = std::min(traced.load(std::memory_order_relaxed), kTraceLimit);
    return std::vector<const char *>(trace.begin(), trace.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace zorvik::crash_points
