// Chains of ChunkLinks, walked with every step checked. A chain is `count`
// links from `head`, each carrying a payload chunk that holds the next
// `piece_size` bytes of the chain's contents (a key's or value's bytes, or a
// list of fixed-size records). Chains live in the file, where a damaged or
// hostile file can put anything, so a walk trusts nothing it reads there:
//
//   - every link it steps to must lie on the data grid inside the chunk area,
//     with a chunk header that says "link";
//   - every payload piece it reads or writes must lie inside the chunk area;
//   - it never takes more than `count` steps, nor more than the area can hold
//     links, so a chain that runs short fails at the step past its end and a
//     chain that loops ends anyway.
//
// A broken chain throws "offset overflow!" (std::out_of_range) at the step
// where it breaks, before the walk reads or writes anything there.
//
// The last link's `next` is not part of the chain (it is stale, or leads on
// into a longer chain this one was cut from), so no walk follows it.
//
// A Chain is a view: it owns nothing, and copying it copies the view.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/alloc/memory_manager.hpp"

namespace zorvik {

// "offset overflow!": a structure in the file leads outside the chunk area or
// to something that is not what it should be. One object per process,
// created on first use and thrown as copies.
const std::out_of_range &offset_overflow_exception();
[[noreturn]] void throw_offset_overflow();

// Chunks that `length` elements fill, `per_chunk` to a chunk (per_chunk > 0).
constexpr std::uint64_t chunks_for(std::uint64_t length, std::uint64_t per_chunk) {
    return length / per_chunk + (length % per_chunk != 0);
}

// Where chunks may lie in this process's view: from the first chunk to the
// allocator's capacity. The capacity is written once, when the segment is
// made, so a copy taken at attach serves every thread for as long as the view
// is mapped, and checking against it needs no lock and no shared cache line.
// Small enough to be copied into every walk, where it stays in registers.
class ChunkArea {
public:
    ChunkArea() = default;
    // Reads the capacity from the MemoryManager at `base`.
    explicit ChunkArea(Allocator base) : ChunkArea(base, base != nullptr ? memory_manager(base)->capacity : 0) {}
    ChunkArea(Allocator base, Offset end)
        : base_(base),
          span_(end > kFirstChunk ? end - kFirstChunk : 0),
          link_places_(span_ >= kDataPastGrid + kLinkChunkSize
                           ? (span_ - kDataPastGrid - kLinkChunkSize) / kChunkGrid + 1
                           : 0),
          most_links_(span_ / chunk_span(kLinkChunkSize)) {}

    Allocator base() const { return base_; }
    Offset end() const { return kFirstChunk + span_; }
    Offset offset_of(const void *address) const { return to_offset(base_, address); }
    // The most link chunks the area can hold: no chain is longer, so a walk
    // of a longer one (a damaged count over a looping chain) is refused
    // before it starts instead of running for ever.
    std::uint64_t most_links() const { return most_links_; }

    // True when [offset, offset + length) lies inside the area. (An offset
    // below the area wraps around to a distance larger than any.)
    bool holds(Offset offset, std::uint64_t length) const {
        const std::uint64_t into = offset - kFirstChunk;
        return into <= span_ && length <= span_ - into;
    }
    // The address of [offset, offset + length), which must lie inside the area.
    char *bytes(Offset offset, std::uint64_t length) const {
        if (!holds(offset, length)) throw_offset_overflow();
        return base_ + offset;
    }
    // The link whose data lies at `offset`: on the data grid, inside the area
    // with its 16 bytes (so its header lies inside the area too), and a chunk
    // whose header says "link".
    ChunkLink *link(Offset offset) const {
        // One test for the grid and the area: the distance from the first
        // place a link's data can lie is a multiple of 8 exactly when its low
        // three bits are zero, and rotating them to the top makes any other
        // distance (or one that wrapped below the area) at least 2^61, more
        // than the places any area has.
        const std::uint64_t place = std::rotr(offset - kFirstLinkData, 3);
        if (place >= link_places_ || chunk_size_at(chunk_header(base_ + offset)) != kLinkChunkSize) {
            throw_offset_overflow();
        }
        return reinterpret_cast<ChunkLink *>(base_ + offset);
    }

private:
    // The first place a link's data can lie: the first chunk's data.
    static constexpr Offset kFirstLinkData = kFirstChunk + kDataPastGrid;

    Allocator base_ = nullptr;
    std::uint64_t span_ = 0;         // bytes of the chunk area
    std::uint64_t link_places_ = 0;  // places on the data grid where a whole link fits
    std::uint64_t most_links_ = 0;
};

// One link of a chain and the part of the contents its payload holds.
struct ChainPiece {
    ChunkLink *link;
    char *bytes;           // the payload's data, checked for `length` bytes
    std::uint64_t offset;  // where bytes[0] lies in the chain's contents
    std::uint64_t length;
};

// Copies a piece of `n` bytes (at most a chunk's 246) between places that do
// not overlap, in fixed-size moves. A memcpy whose length the compiler cannot
// see may be expanded inline as `rep movs`, whose start-up costs more than
// the copy of a whole piece; a chain's copy makes one per piece.
inline void copy_piece(char *to, const char *from, std::uint64_t n) {
    constexpr std::uint64_t kMove = 16;
    if (n >= kMove) {
        std::uint64_t i = 0;
        for (; i + kMove <= n; i += kMove) std::memcpy(to + i, from + i, kMove);
        // The last bytes as one more move ending at the piece's end (it may
        // overlap bytes already copied, with the same bytes).
        if (i != n) std::memcpy(to + n - kMove, from + n - kMove, kMove);
    } else if (n >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else {
        for (std::uint64_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

class Chain {
public:
    Chain() = default;  // no links
    // `area` must outlive the chain (it is the map's or a pool's).
    Chain(const ChunkArea &area, Offset head, std::uint64_t count, std::uint64_t piece_size)
        : area_(&area), head_(head), count_(count), piece_size_(piece_size) {}

    const ChunkArea &area() const { return *area_; }
    Offset head() const { return head_; }
    std::uint64_t count() const { return count_; }
    std::uint64_t piece_size() const { return piece_size_; }
    bool empty() const { return count_ == 0; }

    // The bytes the pieces of `links` links hold (saturating: no chain is
    // that long). A product, not a quotient: checks on the hot paths cost a
    // multiplication rather than a division.
    std::uint64_t bytes_in(std::uint64_t links) const {
        std::uint64_t bytes = 0;
        return __builtin_mul_overflow(links, piece_size_, &bytes) ? UINT64_MAX : bytes;
    }
    // True when `length` bytes fill exactly the chain's links: all of them,
    // the last one at least in part (no links for no bytes). A count too large
    // to hold (saturated) fills nothing.
    bool filled_by(std::uint64_t length) const {
        if (length == 0) return count_ == 0;
        const std::uint64_t full = bytes_in(count_);
        return length <= full && length > full - piece_size_;
    }

    // ---- links --------------------------------------------------------------

    // Walks `count` links from a head. `next` is read on arrival at a link, so
    // the body may rewrite or free the link it is given.
    class LinkIterator {
    public:
        using value_type = ChunkLink *;
        using difference_type = std::ptrdiff_t;

        LinkIterator() = default;
        LinkIterator(const ChunkArea &area, Offset head, std::uint64_t count) : area_(area), left_(count) {
            if (left_ == 0) return;
            if (left_ > area_.most_links()) throw_offset_overflow();
            arrive(head);
        }
        ChunkLink *operator*() const { return link_; }
        LinkIterator &operator++() {
            if (--left_ != 0) arrive(next_);
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return left_ == 0; }

    private:
        void arrive(Offset at) {
            link_ = area_.link(at);
            next_ = link_->next;
        }
        ChunkArea area_;
        ChunkLink *link_ = nullptr;
        Offset next_ = 0;
        std::uint64_t left_ = 0;
    };
    // The links as a range; begin() makes the walk, which checks the head.
    class Links {
    public:
        Links(const ChunkArea &area, Offset head, std::uint64_t count) : area_(&area), head_(head), count_(count) {}
        LinkIterator begin() const { return LinkIterator(*area_, head_, count_); }
        std::default_sentinel_t end() const { return {}; }

    private:
        const ChunkArea *area_;
        Offset head_;
        std::uint64_t count_;
    };
    Links links() const { return Links(*area_, head_, count_); }

    // Link `k`, reached by walking from the head; a k past the chain (a
    // count that disagrees with the structure around it) is refused.
    ChunkLink *link_at(std::uint64_t k) const {
        if (k >= count_) throw_offset_overflow();
        LinkIterator at(*area_, head_, count_);
        for (; k != 0; --k) ++at;
        return *at;
    }
    // The last link, reached by walking the whole chain: also the check that
    // every link of it is sound. An empty chain has none and is refused.
    ChunkLink *last() const { return link_at(count_ - 1); }

    // The first `k` links (k <= count), as a chain of their own. No walk.
    Chain front(std::uint64_t k) const {
        if (k > count_) throw_offset_overflow();
        return Chain(*area_, head_, k, piece_size_);
    }
    // The links after the first `k` (k <= count): walks k links. The `next`
    // of link k - 1 heads the rest; it is checked when the rest is walked.
    Chain after(std::uint64_t k) const {
        if (k == 0) return *this;
        return Chain(*area_, link_at(k - 1)->next, count_ - k, piece_size_);
    }

    // ---- contents -------------------------------------------------------------

    // Calls visit(piece) for the pieces that hold the first `length` bytes of
    // the contents, in order, while it returns true; returns false when it
    // stopped early. Walks as many links as those bytes fill, after checking
    // that the chain has that many (and a piece size) and that the walk stays
    // within the links the area can hold. A plain loop over locals, so that
    // the walk keeps its state in registers across the body's calls.
    template <class Visit>
    bool for_each_piece(std::uint64_t length, Visit &&visit) const {
        if (length > bytes_in(std::min(count_, area_->most_links()))) throw_offset_overflow();
        const ChunkArea area = *area_;
        const std::uint64_t piece_size = piece_size_;
        Offset at = head_;
        for (std::uint64_t done = 0; done < length;) {
            ChunkLink *link = area.link(at);
            at = link->next;  // read before the body runs: it may rewrite the link
            const std::uint64_t piece = std::min(piece_size, length - done);
            if (!visit(ChainPiece{link, area.bytes(link->chunk, piece), done, piece})) return false;
            done += piece;
        }
        return true;
    }

    // for_each_piece, reading runs without the walk's wait at each link:
    // for the copies of whole keys and values, whose chains are long enough
    // for it to tell (the walks of entry lists and the compares of keys, of a
    // link or two, keep the plain loop, which is smaller where it is inlined).
    //
    // Runs. A chain whose pairs were cut side by side (a link, then its
    // payload, then the next link: ChunkPool hands chains out so whenever it
    // can) is a run. Following `next` makes every step wait for the link
    // before it; in a run the next link's place is known before it is read,
    // so the walk steps there at once and checks, as the link arrives, that
    // it is the one `next` names, says "link" and names the payload beside
    // it. The CPU then loads the links of many steps at once, and the pieces
    // are prefetched ahead of the body. The file holds no mark of a run: the
    // links are the truth, every one of them is checked before its piece is
    // visited, and at the first link that does not continue the run the walk
    // goes on by `next`, so a chain in pieces (an older writer's, or one made
    // of recycled chunks) reads as before, and a damaged one fails where it
    // did.
    template <class Visit>
    bool for_each_piece_in_runs(std::uint64_t length, Visit &&visit) const {
        if (length > bytes_in(std::min(count_, area_->most_links()))) throw_offset_overflow();
        const ChunkArea area = *area_;
        const std::uint64_t piece_size = piece_size_;
        const std::uint64_t pair = run_pair_span(piece_size);
        // Links the walk may still take, this one included; at most the links
        // the area holds, so left * pair cannot overflow. (Counted, not
        // divided out of the length: a division costs more than a short
        // walk, and most walks are of a link or two.)
        std::uint64_t left = std::min(count_, area.most_links());
        Offset at = head_;
        for (std::uint64_t done = 0; done < length;) {
            ChunkLink *link = area.link(at);
            at = link->next;  // read before the body runs: it may rewrite the link
            // The walk came to this link by `next` (or as the head): a run
            // starts here when its payload lies right after it, more than one
            // piece is left, and the links left lie inside the area laid out
            // as a run.
            const Offset here = area.offset_of(link);
            if (pair != 0 && link->chunk == here + kRunPayloadPast && length - done > piece_size &&
                area.holds(here - kChunkHeaderLength, left * pair)) {
                if (!visit_run(area, here, pair, left, piece_size, length, done, at, visit)) return false;
                continue;
            }
            --left;
            const std::uint64_t piece = std::min(piece_size, length - done);
            if (!visit(ChainPiece{link, area.bytes(link->chunk, piece), done, piece})) return false;
            done += piece;
        }
        return true;
    }

    // Copies the first `length` bytes of the contents to `out`.
    void copy_to(char *out, std::uint64_t length) const {
        for_each_piece_in_runs(length, [out](const ChainPiece &piece) {
            copy_piece(out + piece.offset, piece.bytes, piece.length);
            return true;
        });
    }
    // True when the first `length` bytes of the contents are `bytes`.
    bool equals(const char *bytes, std::uint64_t length) const {
        return for_each_piece(length, [bytes](const ChainPiece &piece) {
            return std::memcmp(piece.bytes, bytes + piece.offset, piece.length) == 0;
        });
    }
    // Writes `length` bytes into the pieces (the chain has exactly the links
    // they fill). Returns the `next` of the last link, which heads whatever
    // followed this chain in one it was cut from (the head, when it has no
    // links).
    Offset fill(const char *bytes, std::uint64_t length) const {
        Offset after = head_;
        for_each_piece_in_runs(length, [bytes, &after](const ChainPiece &piece) {
            copy_piece(piece.bytes, bytes + piece.offset, piece.length);
            after = piece.link->next;
            return true;
        });
        return after;
    }

    // Frees every link with its payload to the allocator, in order (each
    // link's `next` is read before it is freed). False at the first free the
    // allocator refuses; the links from there on stay allocated.
    bool free_links_and_payloads() const;

private:
    // A run's payload data lies this far past its link's data: the link's
    // span (the payload's header then starts where the link's span ends).
    static constexpr Offset kRunPayloadPast = chunk_span(kLinkChunkSize);
    // Lines of a run prefetched ahead of the piece being visited: far enough
    // ahead to cover a miss to memory at the pace of a copy, few enough to
    // stay well inside the first-level cache.
    static constexpr std::uint64_t kRunPrefetchLines = 16;
    static constexpr std::uint64_t kLine = 64;

    // The bytes a pair of a run takes for pieces of `piece_size` bytes, or 0
    // when no chunk has that size (a damaged piece size: no run is assumed).
    static constexpr std::uint64_t run_pair_span(std::uint64_t piece_size) {
        constexpr std::uint64_t kLargestPayload = 246;  // chunk_span(246) = 248, the largest span
        return piece_size == 0 || piece_size > kLargestPayload
                   ? 0
                   : pair_span(static_cast<std::uint8_t>(piece_size));
    }

    // Visits the pieces of the run whose first link (checked by the walk,
    // its payload beside it) has its data at `first`: at most `left` pairs of
    // `pair` bytes, all inside the area (`left` is lowered by the links
    // visited), each piece `piece_size` bytes but
    // the last of `length`. Stops after that last piece or at the first link
    // that does not continue the run; `done` and `at` (the `next` of the last
    // link visited, read before the body ran) then say where the walk goes
    // on. Returns false when the body stopped the walk.
    template <class Visit>
    static bool visit_run(const ChunkArea &area, Offset first, std::uint64_t pair, std::uint64_t &left,
                          std::uint64_t piece_size, std::uint64_t length, std::uint64_t &done, Offset &at,
                          Visit &visit) {
        char *link_data = area.base() + first;
        const char *const run_end = link_data - kChunkHeaderLength + left * pair;
        const char *prefetched = link_data;
        for (Offset here = first;; here += pair) {
            const char *ahead = std::min<const char *>(run_end, link_data + kRunPrefetchLines * kLine);
            for (; prefetched < ahead; prefetched += kLine) __builtin_prefetch(prefetched);
            const std::uint64_t piece = std::min(piece_size, length - done);
            if (!visit(ChainPiece{reinterpret_cast<ChunkLink *>(link_data), link_data + kRunPayloadPast, done,
                                  piece})) {
                return false;
            }
            done += piece;
            --left;
            if (done >= length) return true;
            // The run goes on when this link's `next` is the pair right after
            // it, a link that names the payload beside it; else the walk
            // checks and follows `next` as it does any link. (Within `left`
            // pairs: `done` < `length` leaves a piece, hence a pair, to come.)
            const Offset expected = here + pair;
            char *next_data = link_data + pair;
            if (at != expected || chunk_size_at(chunk_header(next_data)) != kLinkChunkSize ||
                reinterpret_cast<const ChunkLink *>(next_data)->chunk != expected + kRunPayloadPast) {
                return true;
            }
            at = reinterpret_cast<const ChunkLink *>(next_data)->next;
            link_data = next_data;
        }
    }

    static inline const ChunkArea kNoArea{};  // the area of a chain made without one: it holds nothing

    const ChunkArea *area_ = &kNoArea;
    Offset head_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t piece_size_ = 0;
};

}  // namespace zorvik
