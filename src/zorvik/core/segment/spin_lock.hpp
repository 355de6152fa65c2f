// The one lock of the system: a word that is free when it holds 0, taken by an
// atomic compare-and-swap and given up by a release store of 0. Waiters spin,
// and between attempts they run the host's wait step (host::yield), which lets
// the other Python threads of their process run, a lock holder among them.
// There are three forms of the word:
//
//   segment lock    8-byte word in the segment at an address p, p % 8 == 2
//                   (each Bucket's `lock`, `expansion_lock`); the file layout
//                   calls it held at 0x100000000: its one held byte is p + 4.
//   allocator lock  the 4-byte word of the SegmentHeader (4-aligned); held at 1.
//   process lock    a std::atomic in process memory (chunk pools).
//
// Segment locks are taken and released on the aligned 4-byte sub-word p+2..p+5,
// which never straddles a cache line (a locked operation on the whole word
// would be a split lock whenever p is at byte 58 of a line). Its bytes are
//   p+2: pid bits 0-7   p+3: pid bits 8-15   p+4: 1   p+5: pid bits 16-23
// so a held word reads 0x100000000 plus the holder's process id in otherwise
// unused bytes, never 0; the allocator lock holds 1 | pid << 8. Linux process
// ids fit in 22 bits. A free word is all zero, as the file layout has it.
//
// Beside its id the holder writes a tag of its start time (processes.hpp):
// in bytes p, p+1 of a segment lock word, and in the 4 bytes after the
// allocator's word (the SegmentHeader's `lock_tag`). Both are bytes no other
// version writes; the tag is written right after the lock is taken and
// cleared right before it is released, so a free word is still all zero.
//
// Holders that died. A waiter that has waited 200 ms looks at the holder, and
// again every 100 ms (holder_looks.hpp): when the process it names has ended (processes.hpp), the
// waiter takes the lock over with one compare-and-swap of the whole held
// value, id and tag together (so of several waiters exactly one wins, and
// never from a live holder that took the lock again meanwhile), and reports
// that it did: the caller then repairs what the lock guards before it goes
// on. A held word that names no process is not taken over (its holder may be
// a live process of a version that does not record its id): after 10 s the
// waiter throws LockHeldByNoProcess, whose message says how to repair the
// file offline.
//
// Locks are not recursive. Lock order: a Bucket's lock (then its partner's),
// then a pool's lock, then the allocator's lock; `expansion_lock` is never
// held together with a Bucket's lock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "zorvik/core/segment/holder_looks.hpp"
#include "zorvik/core/segment/wait_errors.hpp"

namespace zorvik {

// How a lock was taken: from a free word, or from a holder that had ended
// (whatever that holder was changing may be half done).
enum class Acquired : bool { normally, from_ended_holder };

// ---- segment lock (8-byte word at p % 8 == 2) --------------------------------

// One attempt (acquire; pairs with unlock_segment_word's release store).
bool try_lock_segment_word(char *word);
// Waits until this thread holds the lock, taking it over from a holder that
// has ended. Throws LockHeldByNoProcess (naming `lock_name`), LockWaitExpired
// and WaitAbandoned; nothing is held then.
Acquired lock_segment_word(char *word, const char *lock_name);
// Release store of 0 to the sub-word; pairs with the next holder's acquire.
void unlock_segment_word(char *word);
// For a caller that never waits for the lock but takes it from a holder
// that has ended, on its own schedule: judges the holder of the held word
// once (processes.hpp) and, when it has ended, takes the lock over by the
// compare-and-swap a wait would make (seq_cst). True when this thread
// holds the lock now; false, changing nothing, otherwise (a free word, a
// live holder, a word that names no process, a holder that let go meanwhile).
bool take_over_segment_word_if_ended(char *word);
// The aligned 8-byte word that holds the segment lock word at `word`: the
// holder's id and tag as a waiter judges them together.
std::uint64_t segment_word_holding(const char *word);
// The process id recorded by the holder, 0 when free or not recorded.
int segment_lock_holder(const char *word);
// Whether the segment lock word at `word` is held, and its holder's id (0:
// names no process) and tag, from one load of the aligned word that holds
// them all: a report of a word that changes under it never pairs one
// holder's id with another's tag, or a holder with a free word.
struct SegmentLockSnapshot {
    bool held;
    int pid;
    std::uint16_t tag;
};
SegmentLockSnapshot segment_lock_snapshot(const char *word);

// ---- allocator lock (aligned 4-byte word, the tag in the 4 bytes after it) -----

Acquired lock_allocator_word(std::uint32_t *word);
void unlock_allocator_word(std::uint32_t *word);
int allocator_lock_holder(const std::uint32_t *word);

// ---- process lock (process memory) ------------------------------------------

// A lock between the threads of one process (a chunk pool's): a word of
// process memory, so std::atomic serves, and its holder is always a thread of
// this process, which cannot have ended while the process runs.
class ProcessLock {
public:
    void lock();
    void unlock();
    bool held() const { return held_.load(std::memory_order_relaxed); }
    // Frees the lock in a child made by fork, whose only thread cannot be the
    // holder: a thread of the parent that held it does not exist there.
    void reset_in_forked_child() noexcept { held_.store(false, std::memory_order_relaxed); }

private:
    std::atomic<bool> held_{false};
};

// One wait step between two attempts of a lock that a caller retries itself.
void lock_wait_step();

// While it lives, every wait of this thread for a segment or allocator lock
// ends in LockWaitExpired once `patience` has passed since the guard was made:
// for clean-ups (closing a dictionary) that must never wait for ever. Nests:
// the inner guard's deadline holds until it goes.
class WaitDeadline {
public:
    explicit WaitDeadline(std::chrono::milliseconds patience);
    ~WaitDeadline();
    WaitDeadline(const WaitDeadline &) = delete;
    WaitDeadline &operator=(const WaitDeadline &) = delete;

private:
    std::chrono::steady_clock::time_point outer_;
};

// ---- recoveries from holders that ended ------------------------------------------

// How long this process's recoveries from holders that had ended took: from
// the moment a waiter met the held lock to the moment the lock taken over
// was let go again, the repair of what it guards (and the taker's own work
// under it, microseconds) done. For diagnostics and the kill storms' figures;
// kept in process memory, cumulative.
struct RecoveryTimes {
    // Buckets of the histogram: under_ms[k] counts recoveries that took less
    // than 2^k ms (and at least 2^(k-1)); the last counts every longer one.
    static constexpr std::size_t kBuckets = 16;
    std::uint64_t count = 0;
    std::uint64_t total_us = 0;
    std::uint64_t max_us = 0;
    std::array<std::uint64_t, kBuckets> under_ms{};
};
RecoveryTimes recovery_times();

// The moment the wait of this thread's last takeover met the held lock (set
// by a lock function when it returns Acquired::from_ended_holder).
std::chrono::steady_clock::time_point last_takeover_met();
// Records a recovery that began at `met` and ends now.
void record_recovery(std::chrono::steady_clock::time_point met);

// ---- guards: the lock is released on every path out of the scope ---------------

// Holds a segment lock. Movable, so that a function can take a lock and hand
// it to its caller; a moved-from guard holds nothing.
class SegmentLockGuard {
public:
    SegmentLockGuard() = default;
    // Waits for the lock (lock_segment_word, which may throw).
    SegmentLockGuard(char *word, const char *lock_name)
        : word_(word), acquired_(lock_segment_word(word, lock_name)) {
        if (took_over()) met_ = last_takeover_met();
    }
    // Holds the lock if it can be had without waiting: one attempt, and
    // then, when `judge_holder`, one judgment of the holder, taking the lock
    // over when it has ended. Holds nothing otherwise.
    static SegmentLockGuard try_to_take(char *word, bool judge_holder) {
        SegmentLockGuard guard;
        if (try_lock_segment_word(word)) {
            guard.word_ = word;
        } else if (judge_holder && take_over_segment_word_if_ended(word)) {
            guard.word_ = word;
            guard.acquired_ = Acquired::from_ended_holder;
            guard.met_ = last_takeover_met();
        }
        return guard;
    }
    ~SegmentLockGuard() { release(); }
    SegmentLockGuard(SegmentLockGuard &&other) noexcept
        : word_(other.word_), acquired_(other.acquired_), met_(other.met_) {
        other.word_ = nullptr;
    }
    SegmentLockGuard &operator=(SegmentLockGuard &&other) noexcept {
        if (this != &other) {
            release();
            word_ = other.word_;
            acquired_ = other.acquired_;
            met_ = other.met_;
            other.word_ = nullptr;
        }
        return *this;
    }
    SegmentLockGuard(const SegmentLockGuard &) = delete;
    SegmentLockGuard &operator=(const SegmentLockGuard &) = delete;

    // Lets go before the end of the scope; nothing when nothing is held. A
    // lock taken over ends its recovery here: what it guards was repaired
    // right after the takeover.
    void release() {
        if (word_) {
            unlock_segment_word(word_);
            if (took_over()) record_recovery(met_);
        }
        word_ = nullptr;
    }
    bool holds() const { return word_ != nullptr; }
    // True when the lock was taken from a holder that had ended.
    bool took_over() const { return acquired_ == Acquired::from_ended_holder; }

private:
    char *word_ = nullptr;
    Acquired acquired_ = Acquired::normally;
    std::chrono::steady_clock::time_point met_{};
};

// Holds the allocator's lock. Nothing needs repair after a takeover: every
// change the allocator makes under it is one store, in an order whose every
// prefix is sound (allocator.cpp).
class AllocatorLockGuard {
public:
    explicit AllocatorLockGuard(std::uint32_t *word) : word_(word) {
        if (lock_allocator_word(word) == Acquired::from_ended_holder) met_ = last_takeover_met();
    }
    ~AllocatorLockGuard() {
        unlock_allocator_word(word_);
        if (met_ != std::chrono::steady_clock::time_point{}) record_recovery(met_);
    }
    AllocatorLockGuard(const AllocatorLockGuard &) = delete;
    AllocatorLockGuard &operator=(const AllocatorLockGuard &) = delete;

private:
    std::uint32_t *word_;
    std::chrono::steady_clock::time_point met_{};  // set when taken over
};

class ProcessLockGuard {
public:
    explicit ProcessLockGuard(ProcessLock &lock) : lock_(lock) { lock_.lock(); }
    ~ProcessLockGuard() { lock_.unlock(); }
    ProcessLockGuard(const ProcessLockGuard &) = delete;
    ProcessLockGuard &operator=(const ProcessLockGuard &) = delete;

private:
    ProcessLock &lock_;
};

}  // namespace zorvik
