// A per-process cache of ChunkLinks, each already paired with its payload
// chunk (an entry chunk for the entry pool, a data chunk for the data pool),
// in front of the allocator. The map never asks the allocator for single
// chunks: it takes links from its pools and gives them back, and a pool goes
// to the allocator only when it runs dry, for at least 100 pairs at once, and
// frees to the allocator only what exceeds its cap of 2^20 links.
//
// The cached links form one list from `head`, each link's `next` (a data
// Offset) leading to the following one; only the first `count` belong to the
// pool and the last one's `next` is stale. The pool lock is a process lock:
// pools are per process and never shared, so processes meet only in the
// allocator. Lock order: a bucket lock, then a pool lock, then the allocator's.
//
// Fork. A child made by fork inherits a copy of every pool, whose links are
// still cached by the parent: were the child to hand them out too, both
// processes would store into the same chunks. So every live pool is listed
// in a process-wide registry, and in the child each one starts empty, with
// its lock free (a thread that held it at the fork does not exist there);
// the cached links stay the parent's, and the child never gives them back.
#pragma once

#include <cstdint>

#include "zorvik/core/segment/layout.hpp"

namespace zorvik {

class ChunkPool {
public:
    enum class Flavour : std::uint8_t { entry, data };

    static constexpr std::uint64_t kCap = 1048576;   // links kept when links are given back
    static constexpr std::uint64_t kRefillGroup = 100;  // pairs per allocator request
    static constexpr std::uint8_t kEntriesPerChunk = 2;
    static constexpr std::uint8_t kEntrySize = 88;

    // Entry pool: payload 2 (entries per entry chunk, size 2 x 88 = 176,
    // zero-filled on refill). Data pool: payload = the data chunk size.
    ChunkPool(Allocator allocator, std::uint8_t payload, Flavour flavour);
    // Gives every cached link and payload chunk back to the allocator. A refused
    // free (a segment corrupted beyond use) stops the walk; the rest stays
    // allocated, as nothing can be reported from a destructor.
    ~ChunkPool();
    ChunkPool(const ChunkPool &) = delete;
    ChunkPool &operator=(const ChunkPool &) = delete;

    // Data address of the first of `n` (>= 1) links chained by `next`; the n-th
    // link's `next` is stale. Each link's `chunk` is its payload's data Offset.
    // Throws std::runtime_error (strerror(errno)) when a refill fails; the pool
    // is then unchanged and nothing is leaked.
    char *take_entry_links(std::uint64_t n);
    char *take_data_links(std::uint64_t n);
    // The flavour this pool was made with.
    char *take_links(std::uint64_t n);

    // `n` new links chained by `next`, made in allocator requests of at most 100;
    // `last_out` receives the last one. Take no pool lock: called by take (lock
    // held) or on a pool no other thread can reach. On failure every chunk cut
    // for this refill goes back to the allocator before the exception leaves.
    char *refill_entry_links(std::uint64_t n, char **last_out);
    char *refill_data_links(std::uint64_t n, char **last_out);

    // Returns `n` links (with their payloads) chained from `first` by `next`.
    // Keeps up to the cap and frees the rest to the allocator (check_free,
    // which throws when the segment refuses a free).
    void give_back(std::uint64_t n, char *first);

    std::uint64_t count() const;  // cached links (for tests and statistics)
    // Starts loading the first `n` cached links (at most 8) into the cache, so
    // that a caller about to take them overlaps those misses with others.
    void prefetch_front(std::uint64_t n) const;
    // Bytes a link and the payload chunk of `payload_size` beside it occupy
    // when a refill cuts them from fresh space.
    static constexpr std::uint64_t pair_span(std::uint8_t payload_size) {
        return std::uint64_t{chunk_span(kLinkChunkSize)} + chunk_span(payload_size);
    }
    std::uint8_t payload() const { return payload_; }
    Flavour flavour() const { return flavour_; }
    Allocator allocator() const { return allocator_; }

private:
    friend struct PoolForkHandlers;
    static constexpr std::uint64_t kPrefetchedLinks = 8;

    // The registry of live pools (chunk_pool.cpp, "fork").
    void enter_registry() noexcept;
    void leave_registry() noexcept;
    // In a forked child: the pool as a new one, its links left to the parent.
    void forget_inherited_links() noexcept;

    char *take(std::uint64_t n, Flavour flavour);
    // `head_` is also read without the lock (prefetch_front), so every write
    // is an atomic store, made under the lock.
    void set_head(char *head);
    // Detaches the first `n` cached links; the pool lock is held, count_ >= n.
    char *detach_front(std::uint64_t n);
    char *refill(std::uint64_t n, char **last_out, Flavour flavour);
    // Links the `k` fresh side-by-side (link, payload) pairs from `pairs`.
    char *link_side_by_side(char *pairs, std::uint64_t k, std::uint8_t size, bool zero_payloads,
                            char **last_out);
    // Pairs `k` link chunks with `k` payload chunks (two allocator chains).
    char *pair_group(char *links, char *payloads, std::uint64_t k, std::uint8_t size, bool zero_payloads,
                     char **last_out);
    std::uint8_t payload_chunk_size(Flavour flavour) const;

    // Field order as the pool's record has it.
    alignas(8) std::uint64_t lock_ = 0;  // process lock: 0 free, 2^32 held
    char *head_ = nullptr;               // first cached link's data; meaningful while count_ > 0
    std::uint8_t payload_;
    std::uint64_t count_ = 0;
    Allocator allocator_;
    Flavour flavour_;
    // Neighbours in the registry's list, guarded by the registry's mutex.
    ChunkPool *registry_previous_ = nullptr;
    ChunkPool *registry_next_ = nullptr;
};

}  // namespace zorvik
