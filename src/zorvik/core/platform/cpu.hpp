// What the core needs of the processor that the language does not give: a
// store of a misaligned 8-byte word in one instruction, and the spin-wait
// hint. The only assembly of the core is here, one branch per architecture.
#pragma once

#include <cstdint>
#include <cstring>

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "zorvik's core runs on x86-64 and aarch64: platform/cpu.hpp needs a single-instruction misaligned store here"
#endif

namespace zorvik::platform {

// The operand's type has alignment 1, so that no alignment is assumed of p
// (and the sanitizers see no misaligned access).
struct Unaligned8 {
    char bytes[8];
};

// Stores v at p, wherever p lies, in one instruction: a process killed by a
// signal (which lands between instructions) has stored all eight bytes or
// none. Both architectures allow a misaligned store to ordinary memory in one
// instruction (movq; str, outside strict-alignment mode, which no user space
// of Linux or macOS runs in). The "memory" clobber makes it a compiler barrier,
// so the stores of one thread are issued in the order they are written.
// ThreadSanitizer cannot see inside assembly; its builds copy the bytes
// between two compiler barriers, which it understands, and which compile to
// the same single store.
inline void store_whole64(void *p, std::uint64_t v) {
#if defined(__SANITIZE_THREAD__)
    asm volatile("" ::: "memory");
    std::memcpy(p, &v, sizeof v);
    asm volatile("" ::: "memory");
#elif defined(__x86_64__)
    asm volatile("movq %1, %0" : "=m"(*static_cast<Unaligned8 *>(p)) : "r"(v) : "memory");
#else
    asm volatile("str %x1, %0" : "=Q"(*static_cast<Unaligned8 *>(p)) : "r"(v) : "memory");
#endif
}

// The spin-wait hint for the core running a waiter: it frees the core's
// resources for its sibling thread and saves power while the waiter looks.
inline void cpu_relax() {
#if defined(__x86_64__)
    asm volatile("pause" ::: "memory");
#else
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace zorvik::platform
