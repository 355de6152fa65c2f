// Random draws for sampling and for the LFU counter: a per-thread xorshift
// generator, seeded from the clock, the process id and the thread's own
// address, so that threads and processes draw apart. Not for anything that
// needs to be unpredictable.
#pragma once

#include <cstdint>

#include "zorvik/core/segment/host.hpp"

namespace zorvik {

inline thread_local std::uint64_t random_draw_state = 0;

// The next draw of this thread's generator; `now_us` seeds its first.
inline std::uint64_t random_draw(std::uint64_t now_us) {
    std::uint64_t &state = random_draw_state;
    if (state == 0) {
        state = (now_us ^ (static_cast<std::uint64_t>(host::own_pid()) << 32) ^
                 reinterpret_cast<std::uintptr_t>(&state)) |
                1;
    }
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace zorvik
