// Atomic operations on the words of the shared segment.
//
// Why this header exists. The file layout puts every chunk's data 2 bytes past
// an 8-byte boundary, so the segment's 8-byte fields (lock words, shared
// counters, `forward`) are misaligned, and they are shared between processes.
// On x86-64 two facts follow:
//
//  1. std::atomic and the __atomic builtins assume natural alignment. Where the
//     compiler cannot prove it, it may call a library routine that guards the
//     word with a lock kept in process memory, which is not atomic across
//     processes. Every read-modify-write here is therefore one explicit
//     lock-prefixed instruction, written in inline assembly so that no
//     compiler can substitute anything else.
//
//  2. A locked instruction whose operand straddles two cache lines is a "split
//     lock": about 2,100 ns instead of about 5 ns on the reference machine, and
//     it stalls the other cores meanwhile. An 8-byte field 2 bytes past an
//     8-byte boundary straddles whenever it starts at byte 58 of a line (one
//     position in eight). Only naturally aligned operands never straddle, so
//     every operation on the hot path acts on an aligned word that covers the
//     bytes it needs:
//       - lock words are taken and released through the aligned 4-byte
//         sub-word that holds their one "held" byte (spin_lock.hpp);
//       - counters and Offsets are handled as 48-bit fields through the aligned
//         8-byte word that ends with their low 6 bytes (the field48 functions).
//
// Memory ordering. x86-64 is TSO: every load is an acquire, every store a
// release, and every locked instruction a full barrier. The "memory" clobber on
// each asm statement is the compiler barrier that makes the source order the
// machine order, so each function below has the ordering named in its comment
// and callers name the operation each one pairs with.
//
// Plain loads and stores of a misaligned word are atomic on x86-64 as long as
// the word lies inside one cache line (Intel SDM vol. 3, 8.1.1); the field48
// functions exist for words that may straddle.
#pragma once

#include <cstdint>

#if !defined(__x86_64__)
#error "zorvik's segment atomics are written for x86-64 (TSO, locked instructions on misaligned words)"
#endif

namespace zorvik {

// Bytes of a cache line on x86-64: the unit a prefetch loads and a locked
// instruction must not straddle.
inline constexpr std::uint64_t kCacheLine = 64;

}  // namespace zorvik

namespace zorvik::atomics {

// ---- ThreadSanitizer builds ----------------------------------------------------
//
// ThreadSanitizer cannot see inside assembly, so it would take every lock for
// a plain access and report the data they guard as racing. Its builds use the
// compiler's atomic builtins instead, which it understands. Every operation
// below acts on a naturally aligned word (the reason this header exists), so
// the builtins compile to the same instructions; only the sanitizer's
// bookkeeping differs. Production builds use the assembly.
#if defined(__SANITIZE_THREAD__)

inline std::uint32_t load32(const void *p) { return __atomic_load_n(static_cast<const std::uint32_t *>(p), __ATOMIC_ACQUIRE); }
inline std::uint64_t load64(const void *p) { return __atomic_load_n(static_cast<const std::uint64_t *>(p), __ATOMIC_ACQUIRE); }
inline void store16(void *p, std::uint16_t v) { __atomic_store_n(static_cast<std::uint16_t *>(p), v, __ATOMIC_RELEASE); }
inline void store32(void *p, std::uint32_t v) { __atomic_store_n(static_cast<std::uint32_t *>(p), v, __ATOMIC_RELEASE); }
inline void store64(void *p, std::uint64_t v) { __atomic_store_n(static_cast<std::uint64_t *>(p), v, __ATOMIC_RELEASE); }
inline std::uint32_t cas32(void *p, std::uint32_t expected, std::uint32_t desired) {
    __atomic_compare_exchange_n(static_cast<std::uint32_t *>(p), &expected, desired, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}
inline std::uint64_t cas64(void *p, std::uint64_t expected, std::uint64_t desired) {
    __atomic_compare_exchange_n(static_cast<std::uint64_t *>(p), &expected, desired, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}
inline std::uint64_t fetch_add64(void *p, std::uint64_t delta) {
    return __atomic_fetch_add(static_cast<std::uint64_t *>(p), delta, __ATOMIC_SEQ_CST);
}

#else

// ---- plain loads and stores (acquire / release) -----------------------------

// Acquire load of an aligned 4- or 8-byte word.
inline std::uint32_t load32(const void *p) {
    std::uint32_t v;
    asm volatile("movl %1, %0" : "=r"(v) : "m"(*static_cast<const std::uint32_t *>(p)) : "memory");
    return v;
}
inline std::uint64_t load64(const void *p) {
    std::uint64_t v;
    asm volatile("movq %1, %0" : "=r"(v) : "m"(*static_cast<const std::uint64_t *>(p)) : "memory");
    return v;
}

// Release store of an aligned 2-, 4- or 8-byte word.
inline void store16(void *p, std::uint16_t v) {
    asm volatile("movw %1, %0" : "=m"(*static_cast<std::uint16_t *>(p)) : "r"(v) : "memory");
}
inline void store32(void *p, std::uint32_t v) {
    asm volatile("movl %1, %0" : "=m"(*static_cast<std::uint32_t *>(p)) : "r"(v) : "memory");
}
inline void store64(void *p, std::uint64_t v) {
    asm volatile("movq %1, %0" : "=m"(*static_cast<std::uint64_t *>(p)) : "r"(v) : "memory");
}

// ---- read-modify-write (each a full barrier) --------------------------------

// lock cmpxchg: if *p == expected, store desired. Returns the value found.
inline std::uint32_t cas32(void *p, std::uint32_t expected, std::uint32_t desired) {
    asm volatile("lock cmpxchgl %2, %1"
                 : "+a"(expected), "+m"(*static_cast<std::uint32_t *>(p))
                 : "r"(desired)
                 : "memory", "cc");
    return expected;
}
inline std::uint64_t cas64(void *p, std::uint64_t expected, std::uint64_t desired) {
    asm volatile("lock cmpxchgq %2, %1"
                 : "+a"(expected), "+m"(*static_cast<std::uint64_t *>(p))
                 : "r"(desired)
                 : "memory", "cc");
    return expected;
}

// lock xadd. Returns the value before the addition.
inline std::uint64_t fetch_add64(void *p, std::uint64_t delta) {
    asm volatile("lock xaddq %0, %1" : "+r"(delta), "+m"(*static_cast<std::uint64_t *>(p)) : : "memory", "cc");
    return delta;
}

#endif  // __SANITIZE_THREAD__

// ---- single-instruction stores of misaligned words ---------------------------
//
// A store that a process killed at any instruction makes whole or not at all:
// one instruction, wherever the word lies (a SIGKILL lands between
// instructions). It is not atomic for a concurrent reader when the word
// straddles two cache lines, so it serves only words that no other process
// reads while the writer lives (those guarded by a lock the writer holds,
// which a process that takes the lock over reads after its full barrier).
// Also a compiler barrier, so that such stores keep the order they are
// written in.
#if defined(__SANITIZE_THREAD__)
inline void store_whole64(void *p, std::uint64_t v) {
    asm volatile("" ::: "memory");
    __builtin_memcpy(p, &v, sizeof v);
    asm volatile("" ::: "memory");
}
#else
// The operand's type has alignment 1, so that no alignment is assumed of p
// (and the sanitizers see no misaligned access).
struct Unaligned8 {
    char bytes[8];
};
inline void store_whole64(void *p, std::uint64_t v) {
    asm volatile("movq %1, %0" : "=m"(*static_cast<Unaligned8 *>(p)) : "r"(v) : "memory");
}
#endif

// Spin-wait hint for the core running a waiter.
inline void cpu_relax() { asm volatile("pause" ::: "memory"); }

// ---- 48-bit fields ----------------------------------------------------------
//
// A field48 is an 8-byte little-endian field at an address p with p % 8 == 2
// whose value always lies in [-2^47, 2^47): its top two bytes (p+6, p+7) are
// the sign extension of bit 47 and only change when the sign does. The aligned
// word at p - 2 holds two bytes that belong to something else (a chunk or block
// header, or the last two bytes of the field before) followed by the field's
// low 6 bytes; that word never straddles a cache line, and a locked operation
// on it is atomic across processes. Every operation below leaves the two
// foreign bytes exactly as it found them.
//
// All shared words of a map (counters, `chunks_in_use`, Offsets such as
// `forward`) fit: Offsets and counts are bounded by the size of a mapping,
// which on x86-64 is below 2^47.

inline void *field48_word(void *p) { return static_cast<char *>(p) - 2; }
inline const void *field48_word(const void *p) { return static_cast<const char *>(p) - 2; }

// Acquire load of the field's value (sign-extended from bit 47).
inline std::int64_t load_field48(const void *p) {
    return static_cast<std::int64_t>(load64(field48_word(p))) >> 16;
}

// Atomic add on the field; returns the value before the addition. Full barrier.
// The addend is shifted past the two foreign bytes, so they are never touched;
// a carry out of the word's top would be an overflow of the 48-bit range,
// which the bound above excludes.
inline std::int64_t fetch_add_field48(void *p, std::int64_t delta) {
    std::uint64_t old = fetch_add64(field48_word(p), static_cast<std::uint64_t>(delta) << 16);
    return static_cast<std::int64_t>(old) >> 16;
}

// Atomic exchange of the field's value; returns the old value. Full barrier.
// A compare-and-swap loop keeps the two foreign bytes, which their owner may
// change at the same time.
inline std::int64_t exchange_field48(void *p, std::int64_t value) {
    void *word = field48_word(p);
    std::uint64_t seen = load64(word);
    for (;;) {
        std::uint64_t wanted = (seen & 0xFFFFu) | (static_cast<std::uint64_t>(value) << 16);
        std::uint64_t found = cas64(word, seen, wanted);
        if (found == seen) return static_cast<std::int64_t>(seen) >> 16;
        seen = found;
    }
}

// Compare-and-swap of the field's value: when it is `expected`, replace it by
// `desired`. Returns the value found (== expected on success). Full barrier.
inline std::int64_t cas_field48(void *p, std::int64_t expected, std::int64_t desired) {
    void *word = field48_word(p);
    std::uint64_t seen = load64(word);
    for (;;) {
        if ((static_cast<std::int64_t>(seen) >> 16) != expected) return static_cast<std::int64_t>(seen) >> 16;
        std::uint64_t wanted = (seen & 0xFFFFu) | (static_cast<std::uint64_t>(desired) << 16);
        std::uint64_t found = cas64(word, seen, wanted);
        if (found == seen) return expected;
        seen = found;  // the foreign bytes or the field changed; look again
    }
}

// Writes the whole 8-byte field, top bytes included, so that the file holds
// the plain 64-bit value. The low part is written atomically; the top two bytes
// only change when the sign changes, so call this only where no other thread
// changes the field at the same time (or where the sign cannot change).
inline void store_field64(void *p, std::int64_t value) {
    exchange_field48(p, value);
    std::uint16_t top = static_cast<std::uint16_t>(static_cast<std::uint64_t>(value) >> 48);
    store16(static_cast<char *>(p) + 6, top);  // p + 6 is 8-aligned
}

}  // namespace zorvik::atomics
