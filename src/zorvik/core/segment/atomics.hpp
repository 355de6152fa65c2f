// Atomic operations on the words of the shared segment.
//
// Alignment. The file layout puts every chunk's data 2 bytes past an 8-byte
// boundary, so the segment's 8-byte fields (lock words, shared counters,
// `forward`) are misaligned, and they are shared between processes. Every
// atomic operation here therefore acts on a naturally aligned word that covers
// the bytes it needs:
//   - lock words are taken and released through the aligned 4-byte sub-word
//     that holds their one "held" byte (spin_lock.hpp);
//   - counters and Offsets are handled as 48-bit fields through the aligned
//     8-byte word that ends with their low 6 bytes (the field48 functions).
// A naturally aligned word never straddles a cache line, so no operation is a
// "split lock" (about 2,100 ns instead of 5 on x86-64, stalling every core
// meanwhile), and on a CPU that has no atomic access to misaligned words
// (aarch64) every operation is still one atomic instruction or one exclusive
// pair on one word.
//
// Across processes. The operations are std::atomic_ref on the file's words,
// and each word type is always lock-free (asserted below): a lock-free atomic
// is address-free, so it works on memory that several processes map, which an
// implementation that fell back to a lock in process memory would not.
//
// Memory order. Each function names its order, and callers name the operation
// each call pairs with:
//   - load32, load64 and the field48 loads are acquire: what the storing
//     thread wrote before its release is seen after the load, and no later
//     read or write of this thread is made before it;
//   - store16, store32, store64 are release: every read and write before
//     them is made first;
//   - the read-modify-writes (cas32, cas64, fetch_add64 and what is built on
//     them) are seq_cst. On x86-64 each is one locked instruction, a full
//     barrier. On a weakly ordered CPU a seq_cst read-modify-write is not a
//     full barrier for the plain accesses around it: a plain store before it
//     may still be seen after a plain load behind it. Where the protocol needs
//     that store-to-load order (a Dekker-like handshake), the caller adds
//     full_fence() and says why. No step of the live path needs it: each
//     lock-free read pairs with a release or a read-modify-write on the word
//     it reads (`forward`, chunks_in_use, the split cursor, the entry count,
//     the table slots, the growth record), and entries and chain links are
//     read under their bucket's lock. A takeover from an ended holder does
//     (spin_lock.cpp).
// On x86-64 (TSO) every one of these compiles to the instruction the order
// needs and no fence: a mov for loads and release stores, lock cmpxchg and
// lock xadd for the rest.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>

#include "zorvik/core/platform/cpu.hpp"

namespace zorvik {

// Bytes of a cache line: the unit a prefetch loads, and the unit a 48-bit
// field's aligned word must not straddle (it cannot, being aligned). 64 on
// x86-64 and on most aarch64 cores; Apple's are 128, where a prefetch every
// 64 bytes asks twice for some lines, which costs nearly nothing.
inline constexpr std::uint64_t kCacheLine = 64;

}  // namespace zorvik

namespace zorvik::atomics {

// The file is little-endian, and the field48 functions find a field's low
// bytes at the top of its aligned word, which holds on a little-endian CPU.
static_assert(std::endian::native == std::endian::little, "the segment's words are little-endian");
static_assert(std::atomic_ref<std::uint16_t>::is_always_lock_free, "segment words need lock-free 2-byte atomics");
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free, "segment words need lock-free 4-byte atomics");
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free, "segment words need lock-free 8-byte atomics");

namespace detail {
// The word at p, which the caller has aligned naturally (atomic_ref's
// requirement; a misaligned p is undefined behaviour that UBSan reports).
template <typename T>
std::atomic_ref<T> word(void *p) {
    return std::atomic_ref<T>(*static_cast<T *>(p));
}
template <typename T>
std::atomic_ref<T> word(const void *p) {
    // atomic_ref takes a non-const reference; a load through it writes nothing.
    return std::atomic_ref<T>(*static_cast<T *>(const_cast<void *>(p)));
}
}  // namespace detail

// ---- loads (acquire) and stores (release) ----------------------------------

inline std::uint32_t load32(const void *p) { return detail::word<std::uint32_t>(p).load(std::memory_order_acquire); }
inline std::uint64_t load64(const void *p) { return detail::word<std::uint64_t>(p).load(std::memory_order_acquire); }

inline void store16(void *p, std::uint16_t v) { detail::word<std::uint16_t>(p).store(v, std::memory_order_release); }
inline void store32(void *p, std::uint32_t v) { detail::word<std::uint32_t>(p).store(v, std::memory_order_release); }
inline void store64(void *p, std::uint64_t v) { detail::word<std::uint64_t>(p).store(v, std::memory_order_release); }

// ---- read-modify-write (seq_cst) -------------------------------------------

// If *p == expected, store desired. Returns the value found.
inline std::uint32_t cas32(void *p, std::uint32_t expected, std::uint32_t desired) {
    detail::word<std::uint32_t>(p).compare_exchange_strong(expected, desired, std::memory_order_seq_cst,
                                                           std::memory_order_seq_cst);
    return expected;
}
inline std::uint64_t cas64(void *p, std::uint64_t expected, std::uint64_t desired) {
    detail::word<std::uint64_t>(p).compare_exchange_strong(expected, desired, std::memory_order_seq_cst,
                                                           std::memory_order_seq_cst);
    return expected;
}

// Returns the value before the addition.
inline std::uint64_t fetch_add64(void *p, std::uint64_t delta) {
    return detail::word<std::uint64_t>(p).fetch_add(delta, std::memory_order_seq_cst);
}

// A full barrier: no read or write of this thread moves across it in either
// direction, store-to-load included (mfence on x86-64, dmb ish on aarch64).
// ThreadSanitizer does not model fences (and GCC warns of one in its builds);
// there a seq_cst read-modify-write of a word of the process's own, which it
// does model, stands in for the fence.
inline void full_fence() {
#if defined(__SANITIZE_THREAD__)
    static std::atomic<std::uint64_t> fence_word{0};
    fence_word.fetch_add(0, std::memory_order_seq_cst);
#else
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

// ---- single-instruction stores of misaligned words ---------------------------
//
// A store that a process killed at any instruction makes whole or not at all:
// one instruction, wherever the word lies (a SIGKILL lands between
// instructions). It is not atomic for a concurrent reader when the word is
// misaligned, so it serves only words that no other process reads while the
// writer lives (those guarded by a lock the writer holds, which a process
// that takes the lock over reads after its takeover). The instruction is the
// platform's (platform/cpu.hpp); it is also a compiler barrier, so that such
// stores keep the order they are written in within the thread.
inline void store_whole64(void *p, std::uint64_t v) { platform::store_whole64(p, v); }

// Spin-wait hint for the core running a waiter.
inline void cpu_relax() { platform::cpu_relax(); }

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
// which is below 2^47 wherever the core runs (x86-64 gives a process 2^47
// bytes of address space; aarch64 Linux 2^47 or 2^48 with 48-bit addresses,
// of which one file's mapping is a fraction; macOS on arm64 less).

inline void *field48_word(void *p) { return static_cast<char *>(p) - 2; }
inline const void *field48_word(const void *p) { return static_cast<const char *>(p) - 2; }

// Acquire load of the field's value (sign-extended from bit 47).
inline std::int64_t load_field48(const void *p) {
    return static_cast<std::int64_t>(load64(field48_word(p))) >> 16;
}

// Atomic add on the field; returns the value before the addition. seq_cst.
// The addend is shifted past the two foreign bytes, so they are never touched;
// a carry out of the word's top would be an overflow of the 48-bit range,
// which the bound above excludes.
inline std::int64_t fetch_add_field48(void *p, std::int64_t delta) {
    std::uint64_t old = fetch_add64(field48_word(p), static_cast<std::uint64_t>(delta) << 16);
    return static_cast<std::int64_t>(old) >> 16;
}

// Atomic exchange of the field's value; returns the old value. seq_cst.
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
// `desired`. Returns the value found (== expected on success). seq_cst.
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
