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

    // Copies the first `length` bytes of the contents to `out`.
    void copy_to(char *out, std::uint64_t length) const {
        for_each_piece(length, [out](const ChainPiece &piece) {
            std::memcpy(out + piece.offset, piece.bytes, piece.length);
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
        for_each_piece(length, [bytes, &after](const ChainPiece &piece) {
            std::memcpy(piece.bytes, bytes + piece.offset, piece.length);
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
    static inline const ChunkArea kNoArea{};  // the area of a chain made without one: it holds nothing

    const ChunkArea *area_ = &kNoArea;
    Offset head_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t piece_size_ = 0;
};

}  // namespace zorvik
