// A per-process cache of ChunkLinks, each already paired with its payload
// chunk, in front of the allocator. The layers above never ask the allocator
// for single chunks: they take chains of links from a pool and give them
// back, and a pool goes to the allocator only when it runs dry, for at least
// kRefillGroup pairs at once, and frees to the allocator only what exceeds its
// cap (kCap links at most).
//
// The cached links form one chain from `head`; only the first `count` belong
// to the pool and the last one's `next` is stale. The pool lock is a process
// lock: pools are per process and never shared, so processes meet only in the
// allocator. Lock order: a bucket lock, then a pool lock, then the allocator's.
//
// Fork. A child made by fork inherits a copy of every pool, whose links are
// still cached by the parent: were the child to hand them out too, both
// processes would store into the same chunks. So every live pool is listed
// in a process-wide registry, and in the child each one starts empty, with
// its lock free (a thread that held it at the fork does not exist there);
// the cached links stay the parent's, and the child never gives them back.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "zorvik/core/alloc/chain.hpp"
#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {

class ChunkPool {
public:
    // What a refill does to the payloads it hands out: records that must
    // start zero get them zeroed; bytes that are overwritten anyway are kept.
    enum class Payloads : std::uint8_t { kept, zeroed };

    // The most links a pool keeps back when links are given back: 2^20, about
    // 24 MiB of link chunks plus their payloads. What a pool keeps is out of
    // every other process's reach, so this bounds what one process can hold
    // back from the others; every process of every version keeps the same
    // bound, which is what the others can count on. Once the chunk area is
    // full (less than a kFullShare-th of it unallocated), a pool keeps no
    // more than a kFullShare-th of the area's bytes (and kLeastFullCap links,
    // two refill groups and more, whatever the area): what removals free
    // then goes back to the free lists, where the stores of every process,
    // and of every kind, can use it.
    static constexpr std::uint64_t kCap = std::uint64_t{1} << 20;
    static constexpr std::uint64_t kFullShare = 64;
    static constexpr std::uint64_t kLeastFullCap = 256;
    // Pairs a refill asks the allocator for at once (one request for the link
    // chunks and one for the payloads, or one for side-by-side pairs), so that
    // the allocator's lock, which every process shares, is taken once per 100
    // pairs rather than per chunk. An expansion that sizes its own need counts
    // on a refill cutting at most this many pairs beyond what it asked for.
    static constexpr std::uint64_t kRefillGroup = 100;
    // How long a pool that is going away waits, in all, for the allocator's
    // lock to give its chunks back: a live holder keeps it for microseconds
    // and a dead one is taken over within half a second, so two seconds
    // passes only behind a holder that names no process or is stopped.
    static constexpr std::chrono::milliseconds kCloseAllocatorPatience{2000};

    // Whether long takes are handed out as runs (take): for chains that are
    // read whole and often (keys and values); not for records that a caller
    // takes many of to spread over a table, which are read one at a time.
    enum class Runs : std::uint8_t { never, for_long_takes };

    // A pool of links whose payloads are chunks of `payload_size` bytes, in the
    // chunk area `area` (copied).
    ChunkPool(const ChunkArea &area, std::uint8_t payload_size, Payloads payloads, Runs runs = Runs::never);
    // Gives every cached link and payload chunk back to the allocator, waiting
    // at most kCloseAllocatorPatience for its lock. A refused free (a segment
    // corrupted beyond use) or the end of that wait stops the walk; the rest
    // stays allocated, as nothing can be reported from a destructor.
    ~ChunkPool();
    ChunkPool(const ChunkPool &) = delete;
    ChunkPool &operator=(const ChunkPool &) = delete;

    // `n` (>= 1) links, taken from the front of the pool after a refill when
    // it holds fewer: a chain whose pieces are the payloads. Throws
    // SpaceExhausted (segment/file_errors.hpp; a std::runtime_error whose text
    // is strerror(ENOMEM) for a full segment, "mm:alloc: the file system has
    // no room for the segment (<its error>)" for a full file system) when a
    // refill finds no room, std::runtime_error for another failure of a
    // refill, and "offset
    // overflow!" for a cached link that is not one any more (a chain given back
    // from a damaged file); the pool is then unchanged and nothing is leaked.
    // A refill asks for a group at least (Refill::group), or, when a group
    // finds no room, for just what the take needs (Refill::as_needed: a
    // shorter replacement, which must go on working in a full file, may use
    // the last room that new entries leave, less than a group).
    enum class Refill : std::uint8_t { group, as_needed };
    Chain take(std::uint64_t n, Refill refill_size = Refill::group);

    // `n` new links chained by `next`, made in allocator requests of at most
    // kRefillGroup; `last_out` receives the last one. Takes no pool lock:
    // called by take (with the lock held) or on a pool no other thread can
    // reach yet. On failure every chunk cut for this refill goes back to the
    // allocator before the exception leaves.
    Chain refill(std::uint64_t n, ChunkLink **last_out);

    // Returns the links (with their payloads) of `chain`. Keeps up to the cap
    // and frees the rest to the allocator, throwing the check_free exception
    // when the allocator refuses one of them. `last`, when given, is the
    // chain's last link as a checked walk of the whole chain (the caller's)
    // reached it: the pool then need not walk the chain again to find it.
    void give_back(const Chain &chain, ChunkLink *last = nullptr);

    // Gives every cached link and payload back to the allocator now, as the
    // destructor does (for an offline repair, which must leave no chunk
    // cached before it reclaims the ones nothing reaches). Throws the
    // check_free exception when the allocator refuses one.
    void return_all();

    std::uint64_t count() const;  // cached links (for tests and statistics)
    // The links give_back keeps at most now: kCap, or the full area's cap,
    // and never more than keep_at_most said.
    std::uint64_t cap() const;
    // Lowers the cap to `links` for the pool's life. A pool in front of a
    // bounded map (a cache) keeps little from the start: its process both
    // frees (evictions) and takes (stores) all the time, and links one
    // process keeps while another cuts fresh space for its own stores would
    // grow the file with every imbalance between them, full area or not.
    void keep_at_most(std::uint64_t links) noexcept;
    // Starts loading the first `n` cached links (at most 8) into the cache, so
    // that a caller about to take them overlaps those misses with others.
    void prefetch_front(std::uint64_t n) const;
    std::uint8_t payload_size() const { return payload_size_; }
    const ChunkArea &area() const { return area_; }

private:
    // An insert of a key and a value of a hundred bytes or so takes five
    // 32-byte data links; eight covers that with room, and a take of more
    // links walks them anyway.
    static constexpr std::uint64_t kPrefetchedLinks = 8;
    // Takes of this many links or more are handed out as runs when they can
    // be (take): a value of 8 chunks and more (256 bytes at 32 to a chunk)
    // is where reading without waiting for each link starts to tell, and
    // shorter chains, the most common, keep the pool's plain order.
    static constexpr std::uint64_t kRunFrom = 8;

    friend struct PoolForkHandlers;
    // The registry of live pools (chunk_pool.cpp, "fork").
    void enter_registry() noexcept;
    void leave_registry() noexcept;
    // In a forked child: the pool as a new one, its links left to the parent.
    void forget_inherited_links() noexcept;

    // The pool's own links as a chain: `count` of them from `head`.
    Chain cached(Offset head, std::uint64_t count) const;
    // Detaches the first `n` cached links; the pool lock is held, count_ >= n.
    // `last`, when given, is link n - 1 as a checked walk reached it.
    Chain detach_front(std::uint64_t n, ChunkLink *last = nullptr);
    // Walks the first `n` cached links (the pool lock is held, count_ >= n),
    // puts the last in `last_out`, and tells whether they form a run: each
    // link's payload right after it, the next link right after that.
    bool front_is_run(std::uint64_t n, ChunkLink **last_out) const;
    // One allocator request's worth of new links, `k` of them.
    struct Group {
        Offset first;
        ChunkLink *last;
    };
    Group cut_group(std::uint64_t k);
    // Links the `k` fresh side-by-side (link, payload) pairs from `pairs`.
    Group link_side_by_side(char *pairs, std::uint64_t k);
    // Pairs `k` link chunks with `k` payload chunks (two allocator chains).
    Group pair_group(char *links, char *payloads, std::uint64_t k);
    // Frees `chain` to the allocator; throws the check_free exception when the
    // allocator refuses a chunk.
    void release(const Chain &chain) const;
    // How many of `n` links given back the pool keeps (the cap).
    std::uint64_t room_for(std::uint64_t n);

    ProcessLock lock_;
    // Written only with the lock held; also read without it (count by
    // give_back and count(), head by prefetch_front), so both are atomics. A
    // stale read bounds memory held back or wastes a prefetch, nothing more.
    std::atomic<Offset> head_{0};  // data Offset of the first cached link; meaningful while count_ > 0
    std::atomic<std::uint64_t> count_{0};
    const ChunkArea area_;
    const std::uint8_t payload_size_;
    const Payloads payloads_;
    const Runs runs_;
    const std::uint64_t area_bytes_;
    const std::uint64_t full_cap_;  // the cap once the area is full (kCap)
    // Whether the area was full when last looked at (room_for); a hint.
    std::atomic<bool> area_full_{false};
    // keep_at_most's bound; written once when the map above is attached,
    // before its operations run (relaxed: a stale read keeps a few more).
    std::atomic<std::uint64_t> most_kept_{kCap};
    // Neighbours in the registry's list, guarded by the registry's mutex.
    ChunkPool *registry_previous_ = nullptr;
    ChunkPool *registry_next_ = nullptr;
};

}  // namespace zorvik
