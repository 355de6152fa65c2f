#include "zorvik/core/segment/host.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "zorvik/core/platform/fork_handlers.hpp"
#include "zorvik/core/segment/atomics.hpp"

namespace zorvik::host {
namespace {

void default_yield() {
    atomics::cpu_relax();
    sched_yield();
}

void default_sleep_1ms() {
    timespec ts{0, 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool never_interrupted() { return false; }

Hooks default_hooks() {
    return Hooks{default_yield, default_sleep_1ms, std::malloc, std::calloc, std::free, never_interrupted};
}

// Written once by install() before any concurrent use; read by every thread.
Hooks current = default_hooks();

std::atomic<int> cached_pid{0};
std::atomic<bool> stopping{false};
std::atomic<int> waiting{0};

// A child made by fork has a new process id and only the thread that forked,
// which is not inside a wait; and its interpreter is not shutting down, even
// if the parent's was.
void renew_after_fork() {
    cached_pid.store(static_cast<int>(getpid()), std::memory_order_relaxed);
    waiting.store(0, std::memory_order_relaxed);
    stopping.store(false, std::memory_order_relaxed);
}

// Registered while the library is loaded, before any thread can ask for the
// pid, so that no fork can come between the first caching and the handler.
bool install_fork_handler() { return platform::on_fork(nullptr, nullptr, renew_after_fork); }
[[maybe_unused]] const bool fork_handler_installed = install_fork_handler();

}  // namespace

void install(const Hooks &hooks) {
    Hooks fallback = default_hooks();
    current.yield = hooks.yield ? hooks.yield : fallback.yield;
    current.sleep_1ms = hooks.sleep_1ms ? hooks.sleep_1ms : fallback.sleep_1ms;
    current.malloc = hooks.malloc ? hooks.malloc : fallback.malloc;
    current.calloc = hooks.calloc ? hooks.calloc : fallback.calloc;
    current.free = hooks.free ? hooks.free : fallback.free;
    current.interrupted = hooks.interrupted ? hooks.interrupted : fallback.interrupted;
}

void yield() { current.yield(); }
void sleep_1ms() { current.sleep_1ms(); }
void *malloc(std::size_t size) { return current.malloc(size); }
void *calloc(std::size_t count, std::size_t size) { return current.calloc(count, size); }
void free(void *p) { current.free(p); }

void stop_if_interrupted() {
    if (current.interrupted()) throw Interrupted();
}

int own_pid() {
    int pid = cached_pid.load(std::memory_order_relaxed);
    if (pid != 0) return pid;
    // Every thread that gets here stores the same id; a fork meanwhile renews
    // the child's copy in its handler.
    pid = static_cast<int>(getpid());
    cached_pid.store(pid, std::memory_order_relaxed);
    return pid;
}

void request_stop() { stopping.store(true, std::memory_order_release); }
bool stop_requested() { return stopping.load(std::memory_order_acquire); }
WaitScope::WaitScope() { waiting.fetch_add(1, std::memory_order_relaxed); }
WaitScope::~WaitScope() { waiting.fetch_sub(1, std::memory_order_relaxed); }
int waiting_threads() { return waiting.load(std::memory_order_relaxed); }

}  // namespace zorvik::host
