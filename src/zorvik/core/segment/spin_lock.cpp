#include "zorvik/core/segment/spin_lock.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <string>

#include "zorvik/core/segment/atomics.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/mapped_files.hpp"
#include "zorvik/core/segment/processes.hpp"

namespace zorvik {
namespace {

using Clock = std::chrono::steady_clock;

// The deadline of this thread's waits (WaitDeadline); the epoch: none.
thread_local Clock::time_point wait_deadline{};

// When the wait of this thread's last takeover began (last_takeover_met).
thread_local Clock::time_point takeover_met{};

// The figures of recovery_times(): process memory, relaxed (counters only).
std::atomic<std::uint64_t> recoveries{0};
std::atomic<std::uint64_t> recovery_total_us{0};
std::atomic<std::uint64_t> recovery_max_us{0};
std::array<std::atomic<std::uint64_t>, RecoveryTimes::kBuckets> recovery_under_ms{};

// ---- segment lock words ----
//
// The word at p (p % 8 == 2) lies in the aligned 8-byte word at p - 2, whose
// little-endian value holds: bits 0-15 the two bytes before p (another
// record's, never changed here), bits 16-31 the holder's tag (p, p+1), bits
// 32-63 the sub-word (p+2..p+5) that says held and names the holder.

char *segment_subword(char *word) { return word + 2; }
const char *segment_subword(const char *word) { return word + 2; }
char *segment_aligned(char *word) { return word - 2; }

std::uint32_t segment_held_value(int pid) {
    auto id = static_cast<std::uint32_t>(pid);
    return (id & 0xFFFFu) | (1u << 16) | (((id >> 16) & 0xFFu) << 24);
}

// The aligned word `seen` (a held segment lock word) as this process takes
// it over: the bytes before the word kept, this process's tag and id.
std::uint64_t segment_word_taken_over(std::uint64_t seen) {
    return (seen & 0xFFFFu) | (std::uint64_t{processes::own_start_tag()} << 16) |
           (std::uint64_t{segment_held_value(host::own_pid())} << 32);
}

int segment_holder_of(std::uint32_t subword) {
    if (subword == 0) return 0;
    return static_cast<int>((subword & 0xFFFFu) | (((subword >> 24) & 0xFFu) << 16));
}

std::uint32_t allocator_held_value(int pid) { return 1u | (static_cast<std::uint32_t>(pid) << 8); }

// The allocator's tag lies in the 4 bytes after its word (file position 20).
std::uint32_t *allocator_tag_word(std::uint32_t *word) { return word + 1; }

// A held word as one aligned load saw it: the holder's id and tag belong
// together, so the judgment is about the process that wrote both.
struct Holder {
    std::uint64_t seen;  // the aligned word
    bool held;
    int pid;             // 0: names no process
    std::uint16_t tag;
};

Holder segment_holder(char *word) {
    const std::uint64_t seen = atomics::load64(segment_aligned(word));
    const auto sub = static_cast<std::uint32_t>(seen >> 32);
    return Holder{seen, sub != 0, segment_holder_of(sub), static_cast<std::uint16_t>(seen >> 16)};
}

Holder allocator_holder(std::uint32_t *word) {
    // File position 16 of a page-aligned view: 8-aligned.
    const std::uint64_t seen = atomics::load64(word);
    const auto value = static_cast<std::uint32_t>(seen);
    return Holder{seen, value != 0, static_cast<int>(value >> 8), static_cast<std::uint16_t>(seen >> 32)};
}

// Times a wait: runs the wait steps, says when to look at the holder (on
// the schedule of holder_looks.hpp), and ends the wait by exception when the
// host stops, the thread's deadline passes, or a held word has named no
// process for too long.
class Waiter {
public:
    Waiter(const char *lock_name, const void *word) : lock_name_(lock_name), word_(word) {}

    // One wait step between two attempts.
    void pause() {
        lock_wait_step();
        if (host::stop_requested()) throw WaitAbandoned(lock_name_);
        if (++attempts_ % kAttemptsPerClockRead != 0) return;
        now_ = Clock::now();
        if (attempts_ == kAttemptsPerClockRead) looks_.emplace(now_);
        if (wait_deadline != Clock::time_point{} && now_ >= wait_deadline) throw LockWaitExpired(lock_name_);
    }

    // When the wait began (its first clock read, within 8 steps of the start).
    Clock::time_point started() const { return looks_ ? looks_->started() : Clock::time_point{}; }

    // True when the schedule has a look due.
    bool time_to_look() { return looks_ && looks_->due(now_); }

    // Whether the holder seen has ended; throws LockHeldByNoProcess when a
    // held word has named no process for the timing's patience. Called only
    // when a look was due, so the schedule has begun.
    bool holder_has_ended(const Holder &holder) {
        if (holder.pid != 0) return processes::holder_has_ended(holder.pid, holder.tag, word_);
        if (looks_->waited(now_, looks_->timing().unnamed_holder_patience)) {
            FileIdentity file;
            throw LockHeldByNoProcess(lock_name_, mapped_file_of(word_, file) ? file.path : std::string("FILE"));
        }
        return false;
    }

private:
    // A clock read (about 20 ns) costs less than a wait step, which hands the
    // interpreter lock over or yields the processor; reading it every 8th
    // step keeps it out of the spin's way and measures the times above to
    // within 8 steps even when each step yields to a busy machine.
    static constexpr std::uint64_t kAttemptsPerClockRead = 8;
    const char *lock_name_;
    const void *word_;
    host::WaitScope counted_;
    std::uint64_t attempts_ = 0;
    Clock::time_point now_{};
    std::optional<HolderLooks> looks_;  // from the first clock read on
};

}  // namespace

LockHeldByNoProcess::LockHeldByNoProcess(const char *lock_name, const std::string &path)
    : std::runtime_error(std::string(lock_name) +
                         " is held without naming a process (the file is damaged, or a process of a version "
                         "that does not record lock holders holds it); when no process uses the dictionary, "
                         "repair the file with: python -m zorvik repair " + path) {}

LockWaitExpired::LockWaitExpired(const char *lock_name)
    : std::runtime_error(std::string("gave up waiting for the ") + lock_name + ": its holder did not let go in time") {}

WaitAbandoned::WaitAbandoned(const char *what_waited_for)
    : std::runtime_error(std::string("gave up waiting for the ") + what_waited_for + ": the program is shutting down") {}

WaitDeadline::WaitDeadline(std::chrono::milliseconds patience) : outer_(wait_deadline) {
    const Clock::time_point mine = Clock::now() + patience;
    if (outer_ == Clock::time_point{} || mine < outer_) wait_deadline = mine;
}

WaitDeadline::~WaitDeadline() { wait_deadline = outer_; }

std::chrono::steady_clock::time_point last_takeover_met() { return takeover_met; }

void record_recovery(std::chrono::steady_clock::time_point met) {
    const auto us = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - met).count()));
    recoveries.fetch_add(1, std::memory_order_relaxed);
    recovery_total_us.fetch_add(us, std::memory_order_relaxed);
    std::uint64_t max = recovery_max_us.load(std::memory_order_relaxed);
    while (us > max && !recovery_max_us.compare_exchange_weak(max, us, std::memory_order_relaxed)) {
    }
    // The bucket of the first power of two (in ms) above the time.
    std::size_t bucket = 0;
    while (bucket + 1 < RecoveryTimes::kBuckets && us >= (std::uint64_t{1000} << bucket)) ++bucket;
    recovery_under_ms[bucket].fetch_add(1, std::memory_order_relaxed);
}

RecoveryTimes recovery_times() {
    RecoveryTimes times;
    times.count = recoveries.load(std::memory_order_relaxed);
    times.total_us = recovery_total_us.load(std::memory_order_relaxed);
    times.max_us = recovery_max_us.load(std::memory_order_relaxed);
    for (std::size_t k = 0; k < RecoveryTimes::kBuckets; ++k) {
        times.under_ms[k] = recovery_under_ms[k].load(std::memory_order_relaxed);
    }
    return times;
}

void lock_wait_step() {
    atomics::cpu_relax();
    host::yield();
}

// ---- waiting for a held word ------------------------------------------------------

namespace {

// The wait of a lock whose first attempt failed: tries again after each wait
// step and, now and then, judges the holder. One that has ended is taken
// over by one compare-and-swap of the whole aligned word (`aligned`: holder
// and tag), so that it succeeds only while the word still holds exactly what
// was judged (the same id with the same tag), then a full fence: the ended
// holder may have died before its release store, so its stores pair with no
// release of its own; they pair with its end, which the kernel made and this
// process observed (kill, /proc) before the compare-and-swap, and the fence
// keeps every later read of this thread after that observation, on a weakly
// ordered CPU too. `mine(seen)` is the whole word naming this process as the
// holder.
template <class TryLock, class ReadHolder, class Mine>
Acquired wait_or_take_over(Waiter waiter, void *aligned, TryLock &&try_lock, ReadHolder &&read_holder, Mine &&mine,
                           const char *takeover_point) {
    for (;;) {
        waiter.pause();
        if (try_lock()) return Acquired::normally;
        if (!waiter.time_to_look()) continue;
        const Holder holder = read_holder();
        if (!holder.held || !waiter.holder_has_ended(holder)) continue;
        if (atomics::cas64(aligned, holder.seen, mine(holder.seen)) == holder.seen) {
            atomics::full_fence();  // pairs with the ended holder's end (above)
            takeover_met = waiter.started();
            crash_points::step(takeover_point);
            return Acquired::from_ended_holder;
        }
    }
}

}  // namespace

// ---- segment lock ------------------------------------------------------------------

bool try_lock_segment_word(char *word) {
    char *sub = segment_subword(word);
    // Test before the locked instruction, so that waiters spin on a shared
    // cache line instead of taking it away from the holder.
    if (atomics::load32(sub) != 0) return false;
    // Acquire; pairs with the release store in unlock_segment_word.
    if (atomics::cas32(sub, 0, segment_held_value(host::own_pid())) != 0) return false;
    crash_points::step("lock taken, its tag not written yet");
    atomics::store16(word, processes::own_start_tag());
    return true;
}

Acquired lock_segment_word(char *word, const char *lock_name) {
    if (try_lock_segment_word(word)) return Acquired::normally;
    return wait_or_take_over(
        Waiter(lock_name, word), segment_aligned(word), [word] { return try_lock_segment_word(word); },
        [word] { return segment_holder(word); },
        [](std::uint64_t seen) { return segment_word_taken_over(seen); },
        "lock taken over from an ended holder");
}

void unlock_segment_word(char *word) {
    atomics::store16(word, 0);  // the tag first: a free word is all zero
    // Release: the holder's writes to the guarded data become visible before
    // the next holder's compare-and-swap can succeed.
    atomics::store32(segment_subword(word), 0);
}

int segment_lock_holder(const char *word) { return segment_holder_of(atomics::load32(segment_subword(word))); }

std::uint64_t segment_word_holding(const char *word) { return atomics::load64(word - 2); }

SegmentLockSnapshot segment_lock_snapshot(const char *word) {
    const Holder holder = segment_holder(const_cast<char *>(word));  // a load only
    return SegmentLockSnapshot{holder.held, holder.pid, holder.tag};
}

bool take_over_segment_word_if_ended(char *word) {
    const Holder holder = segment_holder(word);
    if (!holder.held || holder.pid == 0 || !processes::holder_has_ended(holder.pid, holder.tag, word)) return false;
    // As a waiter's takeover: the compare-and-swap, then a full fence that
    // pairs with the ended holder's end (wait_or_take_over says why).
    if (atomics::cas64(segment_aligned(word), holder.seen, segment_word_taken_over(holder.seen)) != holder.seen) {
        return false;
    }
    atomics::full_fence();
    takeover_met = Clock::now();
    crash_points::step("lock taken over from an ended holder");
    return true;
}

// ---- allocator lock -------------------------------------------------------------

namespace {
bool try_lock_allocator(std::uint32_t *word) {
    // Acquire; pairs with unlock_allocator_word's release store.
    if (atomics::load32(word) != 0 || atomics::cas32(word, 0, allocator_held_value(host::own_pid())) != 0) {
        return false;
    }
    crash_points::step("allocator lock taken, its tag not written yet");
    atomics::store32(allocator_tag_word(word), processes::own_start_tag());
    return true;
}
}  // namespace

Acquired lock_allocator_word(std::uint32_t *word) {
    if (try_lock_allocator(word)) return Acquired::normally;
    // The word and its tag together, as for a segment lock.
    return wait_or_take_over(
        Waiter("allocator lock", word), word, [word] { return try_lock_allocator(word); },
        [word] { return allocator_holder(word); },
        [](std::uint64_t) {
            return allocator_held_value(host::own_pid()) | (std::uint64_t{processes::own_start_tag()} << 32);
        },
        "allocator lock taken over from an ended holder");
}

void unlock_allocator_word(std::uint32_t *word) {
    atomics::store32(allocator_tag_word(word), 0);
    atomics::store32(word, 0);  // release; pairs with the next holder's acquire
}

int allocator_lock_holder(const std::uint32_t *word) { return static_cast<int>(atomics::load32(word) >> 8); }

// ---- process lock ---------------------------------------------------------------

void ProcessLock::lock() {
    // Acquire; pairs with unlock's release store. Waiters spin on a plain load
    // so that the holder keeps the cache line.
    while (held_.exchange(true, std::memory_order_acquire)) {
        do {
            lock_wait_step();
        } while (held_.load(std::memory_order_relaxed));
    }
}

void ProcessLock::unlock() { held_.store(false, std::memory_order_release); }

}  // namespace zorvik
