// What the core needs from the program that hosts it: how to wait, and which
// allocator hands out memory that crosses into the host (the result buffer of
// a map lookup, the map's chunk-address cache).
//
// The core knows nothing of Python. The Python binding installs hooks that
// release the interpreter lock while a thread waits (so that other Python
// threads, a lock holder among them, can run) and that allocate with the
// interpreter's allocator. Without hooks (the C++ tests, other native hosts)
// waits pause the CPU or sleep, and memory comes from malloc.
#pragma once

#include <cstddef>

namespace zorvik::host {

struct Hooks {
    // One wait step of a spin lock, between two attempts. Must not throw.
    void (*yield)();
    // Sleep about one millisecond. Must not throw.
    void (*sleep_1ms)();
    // Memory for buffers handed to the host; null when none is left.
    void *(*malloc)(std::size_t size);
    void *(*calloc)(std::size_t count, std::size_t size);
    void (*free)(void *p);
};

// Replaces the hooks for the whole process. Call before any map exists (the
// binding does it when the module is initialised). Never throws.
void install(const Hooks &hooks);

// The hooks in force. Never throw.
void yield();
void sleep_1ms();
void *malloc(std::size_t size);
void *calloc(std::size_t count, std::size_t size);
void free(void *p);

// The calling process's id, cached (and renewed in a forked child).
int own_pid();

// Shutting down: asks every thread that waits for a lock or for an
// expansion to give up its wait (spin_lock.hpp's WaitAbandoned), so that it
// unwinds and releases what it holds while it still can. For the host's exit
// path; there is no way back. Never throws.
void request_stop();
bool stop_requested();

// Counts the threads inside a wait, while it lives.
class WaitScope {
public:
    WaitScope();
    ~WaitScope();
    WaitScope(const WaitScope &) = delete;
    WaitScope &operator=(const WaitScope &) = delete;
};
int waiting_threads();

}  // namespace zorvik::host
