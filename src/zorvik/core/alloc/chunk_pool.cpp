// Chunk pools: per-process caches of ChunkLinks paired with payload chunks.
//
// Protocol. A pool's fields (`head`, `count`) change only with the pool lock
// held; the lock is a process lock, since a pool is never shared with another
// process. The cached links themselves lie in the segment but are known only
// to this process: no other process and no free list can reach them, so they
// are read and written without the allocator's lock. Lock order inside a pool
// operation: the pool lock, then (in a refill) the allocator's lock, which the
// allocator takes and releases itself.
//
// `count` is also read without the pool lock, by give_back (to decide how many
// links to keep before walking them) and by count(). Those reads are relaxed
// atomic loads and every write, made under the lock, is an atomic store; a
// stale read only means that threads giving back at the same moment can carry
// the pool a little past its cap, which bounds memory held back, not
// correctness. The lock's acquire and release order everything else.
//
// Processes that die. What a pool caches, and what a refill has cut, is
// reachable from this process only: a process killed at any point of a
// take, a refill or a give-back leaves the segment's structures as they were
// (the allocator's steps are single stores, allocator.cpp), and its cached
// chunks are lost to the segment until an offline repair reclaims them.
#include "zorvik/core/alloc/chunk_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/file_errors.hpp"
#include "zorvik/core/segment/mapped_files.hpp"

namespace zorvik {
namespace {

// The text of the allocator's failure: a full chunk area (ENOMEM) or bad
// arguments as the system's text, a refusal of the file system (any other
// errno) as the text the allocator recorded for it.
std::string failure_text(int error) {
    char buffer[256];
    std::string text = strerror_r(error, buffer, sizeof buffer);
    if (error == ENOMEM || error == EINVAL) return text;
    return std::string("mm:alloc: ") + kNoFileSpaceText + " (" + text + ")";
}

// Throws the allocator's failure (errno as it left it) after `undo` has given
// back what the failed refill had cut.
template <class Undo>
[[noreturn]] void fail_refill(Undo undo) {
    const int error = errno;
    undo();
    throw_allocation_failure(error, failure_text(error));
}

}  // namespace

// ---- fork ----------------------------------------------------------------------
//
// The registry is a doubly linked list through the pools themselves, so that
// entering and leaving it never allocates and never fails. Its mutex is held
// only for those few pointer writes, and across a fork: taken before (so that
// no pool is half linked in the child's copy of the list), released after in
// both processes. The handlers take no pool lock: a thread that holds one may
// be waiting for the interpreter lock that the forking thread holds.

namespace {
std::mutex registry_mutex;
ChunkPool *registry_head = nullptr;  // guarded by registry_mutex
}  // namespace

struct PoolForkHandlers {
    static void prepare() { registry_mutex.lock(); }
    static void parent() { registry_mutex.unlock(); }
    // The child's only thread is the one that forked, and it holds the mutex
    // (taken in prepare), so the list is complete and no other thread can
    // change it.
    static void child() {
        for (ChunkPool *pool = registry_head; pool != nullptr; pool = pool->registry_next_) {
            pool->forget_inherited_links();
        }
        registry_mutex.unlock();
    }
    // Registered while the library is loaded, before any pool can exist, so
    // that no fork can come between a pool and its handlers.
    static bool install() { return pthread_atfork(prepare, parent, child) == 0; }
};

namespace {
[[maybe_unused]] const bool fork_handlers_installed = PoolForkHandlers::install();
}  // namespace

void ChunkPool::enter_registry() noexcept {
    std::lock_guard<std::mutex> guard(registry_mutex);
    registry_next_ = registry_head;
    if (registry_head != nullptr) registry_head->registry_previous_ = this;
    registry_head = this;
}

void ChunkPool::leave_registry() noexcept {
    std::lock_guard<std::mutex> guard(registry_mutex);
    if (registry_previous_ != nullptr) {
        registry_previous_->registry_next_ = registry_next_;
    } else {
        registry_head = registry_next_;
    }
    if (registry_next_ != nullptr) registry_next_->registry_previous_ = registry_previous_;
    registry_previous_ = registry_next_ = nullptr;
}

void ChunkPool::forget_inherited_links() noexcept {
    // The child has one thread, and the lock may have been held by a thread
    // of the parent, in the middle of changing head_ and count_; both are
    // dropped whatever they held.
    lock_.reset_in_forked_child();
    head_.store(0, std::memory_order_relaxed);
    count_.store(0, std::memory_order_relaxed);
}

// ---- life ------------------------------------------------------------------------

ChunkPool::ChunkPool(const ChunkArea &area, std::uint8_t payload_size, Payloads payloads, Runs runs)
    : area_(area),
      payload_size_(payload_size),
      payloads_(payloads),
      runs_(runs),
      area_bytes_(area.end() - kFirstChunk),
      full_cap_(std::clamp(area_bytes_ / kFullShare / pair_span(payload_size), kLeastFullCap, kCap)) {
    enter_registry();
}

std::uint64_t ChunkPool::cap() const {
    const std::uint64_t area_cap = area_full_.load(std::memory_order_relaxed) ? full_cap_ : kCap;
    return std::min(area_cap, most_kept_.load(std::memory_order_relaxed));
}

void ChunkPool::keep_at_most(std::uint64_t links) noexcept { most_kept_.store(links, std::memory_order_relaxed); }

std::uint64_t ChunkPool::room_for(std::uint64_t n) {
    const std::uint64_t count = this->count();
    if (count + n <= std::min(full_cap_, most_kept_.load(std::memory_order_relaxed))) return n;
    // Past the full area's cap: whether the area is full is looked at again
    // each time the pool grows past another multiple of that cap (the
    // allocator's lock, taken once per so many links given back).
    if (count / full_cap_ != (count + n) / full_cap_) {
        area_full_.store(unallocated_bytes(area_.base()) < area_bytes_ / kFullShare, std::memory_order_relaxed);
    }
    // Unsigned: a pool already past the cap (an initial fill can put it
    // there, and the area can fill up under a pool) has room for nothing.
    const std::uint64_t cap = this->cap();
    return cap > count ? cap - count : 0;
}

ChunkPool::~ChunkPool() {
    leave_registry();
    // Nothing may leave a destructor, and closing must not wait for ever. A
    // refused free means a segment corrupted beyond use: the walk stops there
    // and the remaining links stay allocated. An allocator lock that is not
    // let go within the deadline (a holder that names no process, or a live
    // one that is stopped), a holder that cannot be judged and a broken link
    // end the walk the same way: what is left stays allocated, for an offline
    // repair to reclaim.
    try {
        const WaitDeadline bounded(kCloseAllocatorPatience);
        ProcessLockGuard guard(lock_);
        cached(head_.load(std::memory_order_relaxed), count_.load(std::memory_order_relaxed))
            .free_links_and_payloads();
        head_.store(0, std::memory_order_relaxed);
        count_.store(0, std::memory_order_relaxed);
    } catch (...) {
    }
}

void ChunkPool::return_all() {
    ProcessLockGuard guard(lock_);
    release(cached(head_.load(std::memory_order_relaxed), count_.load(std::memory_order_relaxed)));
    head_.store(0, std::memory_order_relaxed);
    count_.store(0, std::memory_order_relaxed);
}

Chain ChunkPool::cached(Offset head, std::uint64_t count) const { return Chain(area_, head, count, payload_size_); }

std::uint64_t ChunkPool::count() const { return count_.load(std::memory_order_relaxed); }

void ChunkPool::prefetch_front(std::uint64_t n) const {
    // A hint, read without the pool lock: a head that another thread has just
    // taken only wastes the prefetch. Links handed out together were cut, and
    // are given back, together, so the front links usually follow each other
    // in pairs of a link and its payload; a guess past the segment's end is
    // harmless, as a prefetch never faults.
    const Offset head = head_.load(std::memory_order_relaxed);
    if (!area_.holds(head, kLinkChunkSize)) return;
    const char *first = chunk_header(area_.base() + head);
    const std::uint64_t span = pair_span(payload_size_);
    const std::uint64_t lines = std::min<std::uint64_t>(n, kPrefetchedLinks);
    for (std::uint64_t i = 0; i < lines; ++i) __builtin_prefetch(first + i * span, 1);
}

// ---- take ----------------------------------------------------------------------

Chain ChunkPool::take(std::uint64_t n, Refill refill_size) {
    if (n == 0) return cached(0, 0);
    ProcessLockGuard guard(lock_);
    const std::uint64_t count = count_.load(std::memory_order_relaxed);
    if (runs_ == Runs::for_long_takes && n >= kRunFrom) {
        // A long chain is worth a run (chain.hpp): the pool's front when it is
        // one (a chain given back whole lies there in its order); when the
        // pool is short, fresh pairs cut for it alone while the free lists
        // hold little; else what the pool has, as for any take. Links the pool
        // holds are always used before fresh space: a pool that kept what its
        // process gave back while cutting new runs would grow the file by all
        // it keeps.
        ChunkLink *last = nullptr;
        if (count >= n && front_is_run(n, &last)) return detach_front(n, last);
        if (count < n) {
            if (char *pairs = carve_run_pairs(area_.base(), n, kLinkChunkSize, payload_size_)) {
                return cached(link_side_by_side(pairs, n).first, n);
            }
        }
    }
    if (count < n) {
        // Short: refill at least a group, and put the new links in front of the
        // cached ones. A refill that throws leaves the pool as it was. A
        // segment or file system too full for a group may still hold what
        // this take needs: that much is asked for then, when the caller may.
        std::uint64_t m = std::max(n - count, kRefillGroup);
        ChunkLink *last = nullptr;
        Chain fresh;
        try {
            fresh = refill(m, &last);
        } catch (const SpaceExhausted &) {
            if (refill_size != Refill::as_needed || m == n - count) throw;
            m = n - count;
            fresh = refill(m, &last);
        }
        if (count > 0) last->next = head_.load(std::memory_order_relaxed);
        head_.store(fresh.head(), std::memory_order_relaxed);
        count_.store(count + m, std::memory_order_relaxed);
    }
    return detach_front(n);  // the lock is held, and the pool holds at least n now
}

bool ChunkPool::front_is_run(std::uint64_t n, ChunkLink **last_out) const {
    const Chain front = cached(head_.load(std::memory_order_relaxed), n);
    const std::uint64_t pair = pair_span(payload_size_);
    Offset expected = front.head();
    bool run = true;
    for (ChunkLink *link : front.links()) {
        const Offset here = area_.offset_of(link);
        run = run && here == expected && link->chunk == here + chunk_span(kLinkChunkSize);
        expected = here + pair;
        *last_out = link;
    }
    return run;
}

Chain ChunkPool::detach_front(std::uint64_t n, ChunkLink *last) {
    const std::uint64_t count = count_.load(std::memory_order_relaxed);
    const Chain front = cached(head_.load(std::memory_order_relaxed), count).front(n);
    // The walk checks every link handed out, the head's header among them. The
    // new head is checked only when it is handed out in turn, not now: reading
    // its header now would be a cache miss for this taker, which it cannot
    // overlap with anything, while the next taker has it prefetched
    // (prefetch_front) alongside its bucket.
    const Offset rest = (last != nullptr ? last : front.last())->next;
    head_.store(count == n ? 0 : rest, std::memory_order_relaxed);
    count_.store(count - n, std::memory_order_relaxed);
    return front;
}

// ---- refill --------------------------------------------------------------------

Chain ChunkPool::refill(std::uint64_t n, ChunkLink **last_out) {
    Offset first = 0;
    ChunkLink *last = nullptr;
    std::uint64_t made = 0;
    try {
        while (made < n) {
            const std::uint64_t k = std::min(n - made, kRefillGroup);
            const Group group = cut_group(k);
            if (last != nullptr) {
                last->next = group.first;
            } else {
                first = group.first;
            }
            last = group.last;
            made += k;
        }
    } catch (...) {
        // The allocator cannot refuse chunks it has just handed out, and the
        // exception on its way already says what went wrong: nothing from
        // this clean-up may replace it.
        try {
            cached(first, made).free_links_and_payloads();
        } catch (...) {
        }
        throw;
    }
    if (last_out != nullptr) *last_out = last;
    return cached(first, n);
}

ChunkPool::Group ChunkPool::cut_group(std::uint64_t k) {
    // Fresh space comes as side-by-side pairs, so that a walk from a link to
    // its payload stays in the page (and mostly the cache line) it is already
    // in; recycled chunks have no such order and are paired as the free lists
    // hand them out.
    const Allocator base = area_.base();
    if (char *pairs = carve_chunk_pairs(base, k, kLinkChunkSize, payload_size_)) return link_side_by_side(pairs, k);
    if (errno != EAGAIN) fail_refill([] {});
    char *links = allocate_chunks(base, k, kLinkChunkSize);
    if (links == nullptr) fail_refill([] {});
    char *payloads = allocate_chunks(base, k, payload_size_);
    if (payloads == nullptr) fail_refill([&] { free_chain(base, links, k); });
    return pair_group(links, payloads, k);
}

ChunkPool::Group ChunkPool::link_side_by_side(char *pairs, std::uint64_t k) {
    const std::uint64_t span = pair_span(payload_size_);
    ChunkLink *link = nullptr;
    for (std::uint64_t j = 0; j < k; ++j) {
        char *link_header = pairs + j * span;
        char *payload = chunk_data(link_header + chunk_span(kLinkChunkSize));
        link = reinterpret_cast<ChunkLink *>(chunk_data(link_header));
        link->chunk = area_.offset_of(payload);
        // Stale for the group's last link, as a pool's last link may be.
        link->next = area_.offset_of(chunk_data(link_header + span));
        if (payloads_ == Payloads::zeroed) std::memset(payload, 0, payload_size_);
    }
    return Group{area_.offset_of(chunk_data(pairs)), link};
}

ChunkPool::Group ChunkPool::pair_group(char *links, char *payloads, std::uint64_t k) {
    // Both chains were just handed out by the allocator, which checked every
    // chunk it took from a free list, so their links lead where they should; a
    // link that does not (a file damaged while this ran) throws, and the
    // group's chunks then stay allocated.
    const Allocator base = area_.base();
    char *link_header = links;
    char *payload_header = payloads;
    ChunkLink *link = nullptr;
    for (std::uint64_t j = 0; j < k; ++j) {
        // Both chain links first: the writes below overwrite the link chunk's,
        // and zeroing overwrites the payload chunk's.
        char *next_link_header = j + 1 < k ? next_in_chain(base, link_header) : nullptr;
        char *next_payload_header = j + 1 < k ? next_in_chain(base, payload_header) : nullptr;
        if (j + 1 < k && (next_link_header == nullptr || next_payload_header == nullptr)) throw_offset_overflow();
        link = reinterpret_cast<ChunkLink *>(chunk_data(link_header));
        link->chunk = area_.offset_of(chunk_data(payload_header));
        if (j + 1 < k) link->next = area_.offset_of(chunk_data(next_link_header));  // stale for the last link
        if (payloads_ == Payloads::zeroed) std::memset(chunk_data(payload_header), 0, payload_size_);
        link_header = next_link_header;
        payload_header = next_payload_header;
    }
    return Group{area_.offset_of(chunk_data(links)), link};
}

// ---- give_back -------------------------------------------------------------------

void ChunkPool::give_back(const Chain &chain, ChunkLink *last) {
    const std::uint64_t n = chain.count();
    if (n == 0) return;
    const Chain given = cached(chain.head(), n);
    const std::uint64_t room = room_for(n);
    if (room == 0) {
        release(given);
        return;
    }
    const std::uint64_t keep = std::min(n, room);
    // The links are still the caller's: find the last one kept before locking.
    ChunkLink *last_kept = keep == n && last != nullptr ? last : given.link_at(keep - 1);
    Offset surplus = 0;
    {
        ProcessLockGuard guard(lock_);
        const std::uint64_t count = count_.load(std::memory_order_relaxed);
        surplus = last_kept->next;
        last_kept->next = count > 0 ? head_.load(std::memory_order_relaxed) : 0;
        head_.store(given.head(), std::memory_order_relaxed);
        count_.store(count + keep, std::memory_order_relaxed);
    }
    if (keep < n) release(cached(surplus, n - keep));
}

void ChunkPool::release(const Chain &chain) const {
    if (!chain.free_links_and_payloads()) throw_refused_free();
}

}  // namespace zorvik
