#include "zorvik/core/segment/spin_lock.hpp"

#include <chrono>
#include <string>

#include "zorvik/core/segment/atomics.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

// The segment lock's sub-word: bytes p+2..p+5 of the word at p. With p % 8 == 2
// the sub-word is 4-aligned.
char *segment_subword(char *word) { return word + 2; }
const char *segment_subword(const char *word) { return word + 2; }

std::uint32_t segment_held_value(int pid) {
    auto id = static_cast<std::uint32_t>(pid);
    return (id & 0xFFFFu) | (1u << 16) | (((id >> 16) & 0xFFu) << 24);
}

int segment_holder_of(std::uint32_t subword) {
    if (subword == 0) return 0;
    return static_cast<int>((subword & 0xFFFFu) | (((subword >> 24) & 0xFFu) << 16));
}

std::uint32_t allocator_held_value(int pid) { return 1u | (static_cast<std::uint32_t>(pid) << 8); }

// Times a wait and, once it has lasted a second, asks every so often whether
// the holder still exists.
class Waiter {
public:
    explicit Waiter(const char *lock_name) : lock_name_(lock_name) {}

    // One wait step; `holder` reads the holder's process id.
    template <class Holder>
    void step(Holder holder) {
        lock_wait_step();
        if (host::stop_requested()) throw WaitAbandoned(lock_name_);
        if (++attempts_ % kAttemptsPerClockRead != 0) return;
        auto now = std::chrono::steady_clock::now();
        if (attempts_ == kAttemptsPerClockRead) {
            next_check_ = now + std::chrono::seconds(1);
            return;
        }
        if (now < next_check_) return;
        next_check_ = now + std::chrono::milliseconds(100);
        int pid = holder();
        if (pid != 0 && pid != host::own_pid() && host::process_has_ended(pid)) {
            throw LockHolderDied(lock_name_, pid);
        }
    }

private:
    // A clock read costs more than a wait step; reading it once per 64 steps
    // keeps it out of the spin, and the second before the first look at the
    // holder is still measured to within 64 steps.
    static constexpr std::uint64_t kAttemptsPerClockRead = 64;
    const char *lock_name_;
    host::WaitScope counted_;
    std::uint64_t attempts_ = 0;
    std::chrono::steady_clock::time_point next_check_{};
};

}  // namespace

LockHolderDied::LockHolderDied(const char *lock_name, int pid)
    : std::runtime_error(std::string(lock_name) + " is held by process " + std::to_string(pid) +
                         ", which has ended"),
      pid_(pid) {}

WaitAbandoned::WaitAbandoned(const char *what_waited_for)
    : std::runtime_error(std::string("gave up waiting for the ") + what_waited_for + ": the program is shutting down") {}

void lock_wait_step() {
    atomics::cpu_relax();
    host::yield();
}

bool try_lock_segment_word(char *word) {
    char *sub = segment_subword(word);
    // Test before the locked instruction, so that waiters spin on a shared
    // cache line instead of taking it away from the holder.
    if (atomics::load32(sub) != 0) return false;
    // Acquire; pairs with the release store in unlock_segment_word.
    return atomics::cas32(sub, 0, segment_held_value(host::own_pid())) == 0;
}

void lock_segment_word(char *word, const char *lock_name) {
    if (try_lock_segment_word(word)) return;
    Waiter waiter(lock_name);
    do {
        waiter.step([word] { return segment_lock_holder(word); });
    } while (!try_lock_segment_word(word));
}

void unlock_segment_word(char *word) {
    // Release: the holder's writes to the guarded data become visible before
    // the next holder's compare-and-swap can succeed.
    atomics::store32(segment_subword(word), 0);
}

int segment_lock_holder(const char *word) { return segment_holder_of(atomics::load32(segment_subword(word))); }

void lock_allocator_word(std::uint32_t *word) {
    const std::uint32_t held = allocator_held_value(host::own_pid());
    // Acquire; pairs with unlock_allocator_word's release store.
    if (atomics::cas32(word, 0, held) == 0) return;
    Waiter waiter("allocator lock");
    for (;;) {
        waiter.step([word] { return allocator_lock_holder(word); });
        if (atomics::load32(word) == 0 && atomics::cas32(word, 0, held) == 0) return;
    }
}

void unlock_allocator_word(std::uint32_t *word) { atomics::store32(word, 0); }

int allocator_lock_holder(const std::uint32_t *word) { return static_cast<int>(atomics::load32(word) >> 8); }

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
