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
//   process lock    an aligned 8-byte word in process memory (chunk pools).
//
// Segment locks are taken and released on the aligned 4-byte sub-word p+2..p+5,
// which never straddles a cache line (a locked operation on the whole word
// would be a split lock whenever p is at byte 58 of a line). Its bytes are
//   p+2: pid bits 0-7   p+3: pid bits 8-15   p+4: 1   p+5: pid bits 16-23
// so a held word reads 0x100000000 plus the holder's process id in otherwise
// unused bytes, never 0; the allocator lock holds 1 | pid << 8. Linux process
// ids fit in 22 bits. A free word is all zero, as the file layout has it.
//
// The holder's process id lets a waiter that has waited a second or more find
// out whether the holder still exists; when it has ended, the waiter throws
// LockHolderDied instead of spinning for ever (nothing can tell what the dead
// holder left half done, so the lock is not taken over).
//
// Locks are not recursive. Lock order: a Bucket's lock, then a pool's lock,
// then the allocator's lock; `expansion_lock` is never held together with a
// Bucket's lock.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zorvik {

// Thrown by a waiter whose lock is held by a process that has ended.
class LockHolderDied : public std::runtime_error {
public:
    LockHolderDied(const char *lock_name, int pid);
    int pid() const noexcept { return pid_; }

private:
    int pid_;
};

// Thrown by a waiter once the host has asked every wait to be given up
// (host::request_stop, when the program shuts down).
class WaitAbandoned : public std::runtime_error {
public:
    explicit WaitAbandoned(const char *what_waited_for);
};

// ---- segment lock (8-byte word at p % 8 == 2) --------------------------------

// One attempt (acquire; pairs with unlock_segment_word's release store).
bool try_lock_segment_word(char *word);
// Waits until this thread holds the lock. Throws LockHolderDied (naming
// `lock_name`) when the holder has ended.
void lock_segment_word(char *word, const char *lock_name);
// Release store of 0 to the sub-word; pairs with the next holder's acquire.
void unlock_segment_word(char *word);
// The process id recorded by the holder, 0 when free or not recorded.
int segment_lock_holder(const char *word);

// ---- allocator lock (aligned 4-byte word) ------------------------------------

void lock_allocator_word(std::uint32_t *word);
void unlock_allocator_word(std::uint32_t *word);
int allocator_lock_holder(const std::uint32_t *word);

// ---- process lock (aligned 8-byte word in process memory) --------------------

void lock_process_word(std::uint64_t *word);
void unlock_process_word(std::uint64_t *word);

// One wait step between two attempts of a lock that a caller retries itself.
void lock_wait_step();

// RAII holders: the lock is released on every path out of the scope.
class SegmentLockGuard {
public:
    SegmentLockGuard(char *word, const char *lock_name) : word_(word) { lock_segment_word(word, lock_name); }
    // Adopts a lock this thread already holds.
    struct Adopt {};
    SegmentLockGuard(char *word, Adopt) : word_(word) {}
    ~SegmentLockGuard() { release(); }
    void release() {
        if (word_) unlock_segment_word(word_);
        word_ = nullptr;
    }
    SegmentLockGuard(const SegmentLockGuard &) = delete;
    SegmentLockGuard &operator=(const SegmentLockGuard &) = delete;

private:
    char *word_;
};

class AllocatorLockGuard {
public:
    explicit AllocatorLockGuard(std::uint32_t *word) : word_(word) { lock_allocator_word(word); }
    ~AllocatorLockGuard() { unlock_allocator_word(word_); }
    AllocatorLockGuard(const AllocatorLockGuard &) = delete;
    AllocatorLockGuard &operator=(const AllocatorLockGuard &) = delete;

private:
    std::uint32_t *word_;
};

class ProcessLockGuard {
public:
    explicit ProcessLockGuard(std::uint64_t *word) : word_(word) { lock_process_word(word); }
    ~ProcessLockGuard() { unlock_process_word(word_); }
    ProcessLockGuard(const ProcessLockGuard &) = delete;
    ProcessLockGuard &operator=(const ProcessLockGuard &) = delete;

private:
    std::uint64_t *word_;
};

}  // namespace zorvik
