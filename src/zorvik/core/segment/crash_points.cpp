#include "zorvik/core/segment/crash_points.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

namespace zorvik::crash_points {
namespace {

// Crash points still to pass before the process kills itself; 0: none.
std::atomic<std::uint64_t> countdown{0};
std::atomic<bool> tracing{false};
// The trace: enough for any one operation a test traces, expansions of small
// tables included.
constexpr std::size_t kTraceLimit = 100000;
std::array<const char *, kTraceLimit> trace;
std::atomic<std::size_t> traced{0};

// Whether this process has read kCountdownVariable yet: unread at load and
// again in a child made by fork (where a test sets it before the child's
// first operation); reading while one thread reads it; read.
enum EnvironmentState : int { unread, reading, read };
std::atomic<int> environment{unread};

void update_armed() {
    detail::armed.store(countdown.load(std::memory_order_relaxed) != 0 || tracing.load(std::memory_order_relaxed),
                        std::memory_order_relaxed);
}

// Takes the countdown from the environment, once per process: one thread
// reads it, any other passing meanwhile waits for that read (a few
// instructions) so that no crash point is counted before the countdown is set.
void read_environment() noexcept {
    int state = environment.load(std::memory_order_acquire);
    if (state == read) return;
    if (state == unread && environment.compare_exchange_strong(state, reading, std::memory_order_acq_rel)) {
        if (const char *text = std::getenv(kCountdownVariable)) {
            char *end = nullptr;
            errno = 0;
            const unsigned long long steps = std::strtoull(text, &end, 10);
            if (errno == 0 && end != text && *end == '\0') countdown.store(steps, std::memory_order_relaxed);
        }
        update_armed();
        environment.store(read, std::memory_order_release);
        return;
    }
    while (environment.load(std::memory_order_acquire) != read) {
    }
}

// A child made by fork reads the environment again at its first crash point.
bool install_fork_handler() {
    return pthread_atfork(nullptr, nullptr, [] {
               environment.store(unread, std::memory_order_relaxed);
               detail::armed.store(1, std::memory_order_relaxed);
           }) == 0;
}
[[maybe_unused]] const bool fork_handler_installed = install_fork_handler();

}  // namespace

namespace detail {
// Armed at load: the first crash point passed reads the environment.
std::atomic<std::uint64_t> armed{1};

void pass(const char *name) noexcept {
    read_environment();
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
        kill(getpid(), SIGKILL);
        _exit(137);  // SIGKILL cannot be caught or blocked: not reached
    }
}
}  // namespace detail

void kill_at(std::uint64_t k) noexcept {
    environment.store(read, std::memory_order_release);  // set here: the environment is not read any more
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
