// What the core needs from the program that hosts it: how to wait, which
// allocator hands out memory that crosses into the host (the result buffer of
// a map lookup, the map's chunk-address cache), and whether a long walk
// should stop early (an interrupt the host received).
//
// The core knows nothing of Python. The Python binding installs hooks that
// release the interpreter lock while a thread waits (so that other Python
// threads, a lock holder among them, can run) and that allocate with the
// interpreter's allocator. Without hooks (the C++ tests, other native hosts)
// waits pause the CPU or sleep, and memory comes from malloc.
#pragma once

#include <cstddef>
#include <exception>

#include "zorvik/core/segment/export.hpp"

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
    // Asked by a walk of the whole table between two groups of buckets, with
    // no lock held: true stops the walk (it throws Interrupted), which has
    // then done the buckets before. May run host code; must not throw.
    bool (*interrupted)();
};

// A walk that the host asked to stop. The host has its own report of why
// (the binding: the KeyboardInterrupt its signal check set).
struct ZORVIK_EXPORT Interrupted : std::exception {
    const char *what() const noexcept override { return "interrupted"; }
};

// Replaces the hooks for the whole process. Call before the host's first map
// (the binding does it when a module is initialised). Every host of one
// process installs hooks that do the same (the Python modules install one
// set), since memory taken through one hook may go back through a later
// one's. Never throws.
ZORVIK_EXPORT void install(const Hooks &hooks);

// The hooks in force. Never throw.
ZORVIK_EXPORT void yield();
ZORVIK_EXPORT void sleep_1ms();
ZORVIK_EXPORT void *malloc(std::size_t size);
ZORVIK_EXPORT void *calloc(std::size_t count, std::size_t size);
ZORVIK_EXPORT void free(void *p);
// Throws Interrupted when the host asks the walk to stop. Call with no lock held.
ZORVIK_EXPORT void stop_if_interrupted();

// The calling process's id, cached (and renewed in a forked child).
ZORVIK_EXPORT int own_pid();

// Shutting down: asks every thread that waits for a lock or for an
// expansion to give up its wait (spin_lock.hpp's WaitAbandoned), so that it
// unwinds and releases what it holds while it still can. For the host's exit
// path; there is no way back. Never throws.
ZORVIK_EXPORT void request_stop();
ZORVIK_EXPORT bool stop_requested();

// Counts the threads inside a wait, while it lives.
class ZORVIK_EXPORT WaitScope {
public:
    WaitScope();
    ~WaitScope();
    WaitScope(const WaitScope &) = delete;
    WaitScope &operator=(const WaitScope &) = delete;
};
ZORVIK_EXPORT int waiting_threads();

}  // namespace zorvik::host
