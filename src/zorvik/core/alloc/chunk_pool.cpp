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
// links to keep before walking them) and by count(). Those reads are atomic
// (relaxed) and every write, made under the lock, is an atomic store; a stale
// read only means that threads giving back at the same moment can carry the
// pool a little past its cap, which bounds memory held back, not correctness.
#include "zorvik/core/alloc/chunk_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

// ChunkLink fields, read and written in place: link data sits 2 bytes past an
// 8-byte boundary, so every access is an unaligned copy.
Offset link_chunk(const char *link) { return read_u64(link + offsetof(ChunkLink, chunk)); }
Offset link_next(const char *link) { return read_u64(link + offsetof(ChunkLink, next)); }
void set_link_chunk(char *link, Offset chunk) { write_u64(link + offsetof(ChunkLink, chunk), chunk); }
void set_link_next(char *link, Offset next) { write_u64(link + offsetof(ChunkLink, next), next); }

// The allocator's chain link of a chunk just handed out: the header Offset of
// the next chunk of the chain, in the chunk's first 8 data bytes.
Offset chain_next(const char *header) { return read_u64(header + kChunkHeaderLength); }

std::runtime_error errno_error(int error) {
    char buffer[256];
    return std::runtime_error(std::string(strerror_r(error, buffer, sizeof buffer)));
}

// The link a `next` Offset leads to. The links a pool walks come from the
// file (the map gives back chains it read there), so a `next` that cannot be
// a link's data (off the grid, outside the chunk area, or not a chunk of link
// size) is a broken segment: it throws "offset overflow!" instead of leading
// outside the mapping. `capacity` never changes, so it is read without the
// allocator's lock (`offset` would need it).
char *link_in_range(Allocator base, Offset next) {
    const Offset capacity = memory_manager(base)->capacity;
    if (next % 8 != 2 || next < kFirstChunk + kChunkHeaderLength || next > capacity ||
        capacity - next < kLinkChunkSize) {
        throw std::out_of_range("offset overflow!");
    }
    return to_address(base, next);
}

void check_link_header(const char *link) {
    if (chunk_size_at(chunk_header(link)) != kLinkChunkSize) {
        throw std::out_of_range("offset overflow!");
    }
}

char *next_link_address(Allocator base, Offset next) {
    char *link = link_in_range(base, next);
    check_link_header(link);
    return link;
}

// Walks `steps` links from `link` along `next`.
char *walk_links(Allocator base, char *link, std::uint64_t steps) {
    for (std::uint64_t i = 0; i < steps; ++i) link = next_link_address(base, link_next(link));
    return link;
}

// Frees `n` links chained from `link`, each with its payload, in order. Throws
// the check_free exception when the segment refuses a free.
void free_links(Allocator base, char *link, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
        Offset next = link_next(link);  // read before the free overwrites it
        check_free(base, static_cast<void *>(to_address(base, link_chunk(link))));
        check_free(base, static_cast<void *>(link));
        if (i + 1 < n) link = next_link_address(base, next);
    }
}

// Gives back to the allocator what a failed refill had cut: `made` finished
// links from `first` (each with its payload) and `chain_count` chunks of an
// allocator chain from `chain` (link chunks of the group that failed). Frees
// that the allocator refuses cannot happen for chunks it has just handed out;
// they are ignored, as an exception is already on its way.
void return_refill(Allocator base, char *first, std::uint64_t made, char *chain, std::uint64_t chain_count) {
    char *link = first;
    for (std::uint64_t i = 0; i < made; ++i) {
        Offset next = link_next(link);
        free_chunk(base, to_address(base, link_chunk(link)));
        free_chunk(base, link);
        if (i + 1 < made) link = to_address(base, next);
    }
    char *header = chain;
    for (std::uint64_t i = 0; i < chain_count; ++i) {
        Offset next = chain_next(header);
        free_chunk(base, chunk_data(header));
        if (i + 1 < chain_count) header = to_address(base, next);
    }
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
    // Plain stores: the child has one thread, and the lock word may have been
    // held by a thread of the parent, in the middle of changing head_ and
    // count_; both are dropped whatever they held.
    lock_ = 0;
    head_ = nullptr;
    count_ = 0;
}

// ---- life ------------------------------------------------------------------------

ChunkPool::ChunkPool(Allocator allocator, std::uint8_t payload, Flavour flavour)
    : payload_(payload), allocator_(allocator), flavour_(flavour) {
    enter_registry();
}

ChunkPool::~ChunkPool() {
    leave_registry();
    // Nothing may leave a destructor. A refused free means a segment corrupted
    // beyond use: the walk stops there and the remaining links stay allocated.
    // LockHolderDied (the allocator's lock held by a process that ended) ends
    // the walk the same way.
    try {
        ProcessLockGuard guard(&lock_);
        char *link = head_;
        std::uint64_t left = count_;
        while (left > 0) {
            Offset next = link_next(link);
            if (!free_chunk(allocator_, to_address(allocator_, link_chunk(link)))) break;
            if (!free_chunk(allocator_, link)) break;
            if (--left > 0) link = next_link_address(allocator_, next);
        }
        set_head(nullptr);
        __atomic_store_n(&count_, 0, __ATOMIC_RELAXED);
    } catch (...) {
    }
}

std::uint64_t ChunkPool::count() const { return __atomic_load_n(&count_, __ATOMIC_RELAXED); }

void ChunkPool::set_head(char *head) { __atomic_store_n(&head_, head, __ATOMIC_RELAXED); }

void ChunkPool::prefetch_front(std::uint64_t n) const {
    // A hint, read without the pool lock: a head that another thread has just
    // taken only wastes the prefetch. Links handed out together were cut, and
    // are given back, together, so the front links usually follow each other
    // in pairs of a link and its payload; a guess past the segment's end is
    // harmless, as a prefetch never faults.
    const char *head = __atomic_load_n(&head_, __ATOMIC_RELAXED);
    if (head == nullptr) return;
    const std::uint64_t span = pair_span(payload_chunk_size(flavour_));
    const std::uint64_t lines = std::min<std::uint64_t>(n, kPrefetchedLinks);
    for (std::uint64_t i = 0; i < lines; ++i) __builtin_prefetch(chunk_header(head) + i * span, 1);
}

std::uint8_t ChunkPool::payload_chunk_size(Flavour flavour) const {
    // The entry size is taken in 8 bits, as the chunk header holds it.
    return flavour == Flavour::entry ? static_cast<std::uint8_t>(payload_ * kEntrySize) : payload_;
}

// ---- take ----------------------------------------------------------------------

char *ChunkPool::take_entry_links(std::uint64_t n) { return take(n, Flavour::entry); }
char *ChunkPool::take_data_links(std::uint64_t n) { return take(n, Flavour::data); }
char *ChunkPool::take_links(std::uint64_t n) { return take(n, flavour_); }

char *ChunkPool::take(std::uint64_t n, Flavour flavour) {
    if (n == 0) return nullptr;
    ProcessLockGuard guard(&lock_);
    const std::uint64_t count = count_;
    if (count < n) {
        // Short: refill at least a group, and put the new links in front of the
        // cached ones. A refill that throws leaves the pool as it was.
        const std::uint64_t shortfall = n - count;
        const std::uint64_t m = shortfall > kRefillGroup ? shortfall : kRefillGroup;
        char *last = nullptr;
        char *first = refill(m, &last, flavour);
        if (count > 0) set_link_next(last, to_offset(allocator_, head_));
        set_head(first);
        __atomic_store_n(&count_, count + m, __ATOMIC_RELAXED);
    }
    return detach_front(n);
}

char *ChunkPool::detach_front(std::uint64_t n) {
    char *first = head_;
    const std::uint64_t count = count_;
    // The head's header is checked only now that it is handed out, not when
    // it became the head: reading it then would be a cache miss for the taker
    // before, which it cannot overlap with anything, while the next taker has
    // it prefetched (prefetch_front) alongside its bucket.
    check_link_header(first);
    char *last = walk_links(allocator_, first, n - 1);
    set_head(count == n ? nullptr : link_in_range(allocator_, link_next(last)));
    __atomic_store_n(&count_, count - n, __ATOMIC_RELAXED);
    return first;
}

// ---- refill --------------------------------------------------------------------

char *ChunkPool::refill_entry_links(std::uint64_t n, char **last_out) { return refill(n, last_out, Flavour::entry); }
char *ChunkPool::refill_data_links(std::uint64_t n, char **last_out) { return refill(n, last_out, Flavour::data); }

char *ChunkPool::refill(std::uint64_t n, char **last_out, Flavour flavour) {
    const std::uint8_t size = payload_chunk_size(flavour);
    const bool zero_payloads = flavour == Flavour::entry;
    char *first = nullptr;
    char *last = nullptr;
    std::uint64_t made = 0;
    // Gives back what this refill has cut (and `chain_count` chunks of an
    // allocator chain from `chain`), then throws the allocator's errno.
    auto fail = [&](char *chain, std::uint64_t chain_count) {
        const int error = errno;
        return_refill(allocator_, first, made, chain, chain_count);
        throw errno_error(error);
    };
    while (made < n) {
        const std::uint64_t k = n - made < kRefillGroup ? n - made : kRefillGroup;
        char *group_last = nullptr;
        char *group_first = nullptr;
        // Fresh space comes as side-by-side pairs, so that a walk from a link
        // to its payload stays in the page (and mostly the cache line) it is
        // already in; recycled chunks have no such order and are paired as the
        // free lists hand them out.
        if (char *pairs = carve_chunk_pairs(allocator_, k, kLinkChunkSize, size)) {
            group_first = link_side_by_side(pairs, k, size, zero_payloads, &group_last);
        } else {
            if (errno != EAGAIN) fail(nullptr, 0);
            char *links = allocate_chunks(allocator_, k, kLinkChunkSize);
            if (links == nullptr) fail(nullptr, 0);
            char *payloads = allocate_chunks(allocator_, k, size);
            if (payloads == nullptr) fail(links, k);
            group_first = pair_group(links, payloads, k, size, zero_payloads, &group_last);
        }
        if (last != nullptr) {
            set_link_next(last, to_offset(allocator_, group_first));
        } else {
            first = group_first;
        }
        last = group_last;
        made += k;
    }
    if (last_out != nullptr) *last_out = last;
    return first;
}

char *ChunkPool::link_side_by_side(char *pairs, std::uint64_t k, std::uint8_t size, bool zero_payloads,
                                   char **last_out) {
    const std::uint64_t span = pair_span(size);
    char *link = nullptr;
    for (std::uint64_t j = 0; j < k; ++j) {
        char *link_header = pairs + j * span;
        char *payload = chunk_data(link_header + chunk_span(kLinkChunkSize));
        link = chunk_data(link_header);
        set_link_chunk(link, to_offset(allocator_, payload));
        // Stale for the group's last link, as a pool's last link may be.
        set_link_next(link, to_offset(allocator_, chunk_data(link_header + span)));
        if (zero_payloads) std::memset(payload, 0, size);
    }
    *last_out = link;
    return chunk_data(pairs);
}

char *ChunkPool::pair_group(char *links, char *payloads, std::uint64_t k, std::uint8_t size, bool zero_payloads,
                            char **last_out) {
    char *link_header = links;
    char *payload_header = payloads;
    char *link = nullptr;
    for (std::uint64_t j = 0; j < k; ++j) {
        // Both chain links first: the writes below overwrite the link chunk's,
        // and zeroing overwrites the entry chunk's.
        const Offset next_link_header = chain_next(link_header);
        const Offset next_payload_header = chain_next(payload_header);
        link = chunk_data(link_header);
        set_link_chunk(link, to_offset(allocator_, chunk_data(payload_header)));
        set_link_next(link, next_link_header + kChunkHeaderLength);  // stale for the group's last link
        if (zero_payloads) std::memset(chunk_data(payload_header), 0, size);
        if (j + 1 < k) {
            link_header = to_address(allocator_, next_link_header);
            payload_header = to_address(allocator_, next_payload_header);
        }
    }
    *last_out = link;
    return chunk_data(links);
}

// ---- give_back -------------------------------------------------------------------

void ChunkPool::give_back(std::uint64_t n, char *first) {
    if (n == 0 || first == nullptr) return;
    // Unsigned: a pool already past the cap (an initial fill can put it there)
    // has room for everything.
    const std::uint64_t room = kCap - count();
    if (room == 0) {
        free_links(allocator_, first, n);
        return;
    }
    const std::uint64_t keep = n <= room ? n : room;
    // The links are still the caller's: find the last one kept before locking.
    char *last_kept = walk_links(allocator_, first, keep - 1);
    Offset surplus = 0;
    {
        ProcessLockGuard guard(&lock_);
        const std::uint64_t count = count_;
        surplus = link_next(last_kept);
        set_link_next(last_kept, count > 0 ? to_offset(allocator_, head_) : 0);
        set_head(first);
        __atomic_store_n(&count_, count + keep, __ATOMIC_RELAXED);
    }
    if (keep < n) free_links(allocator_, to_address(allocator_, surplus), n - keep);
}

}  // namespace zorvik
