// Free chunks of one kind made into another.
//
// Each free list keeps chunks of one size, and nothing else gives space back
// to the unallocated area: once the fresh space is all cut, the room that
// removals freed would serve only requests of the sizes it was freed as, and
// never a block (a table's doubling) at all. So when a request finds neither
// its list nor fresh space enough, the allocator makes room here, under its
// lock:
//
//   - it reads the three lists (at most kMostPieces chunks) and sorts what
//     they hold by address; free chunks that lie side by side form runs,
//     which also pass over the fillers and zero words a conversion leaves
//     between them (below);
//   - a run that ends at the offset goes back to the unallocated area: its
//     chunks leave their lists, their bytes are zeroed (fresh space reads
//     zero), and the offset comes down to the run's start;
//   - a request for chunks takes runs from the smallest up, cuts the chunks
//     asked for over their zeroed bytes and lists them; so that one walk
//     serves many requests, it cuts a batch (kLeastBatch bytes, or a
//     kBatchShare-th of the listed bytes when that is more) beyond the
//     request when the runs hold it. A block takes the smallest run that
//     holds it whole.
//
// What is left of a run after the chunks cut from it becomes chunks of the
// list sizes; what no list size fits (8 or 16 bytes) stays a zero word or a
// filler (chunk.hpp). Nothing lives in 8 bytes (the smallest chunk and the
// smallest block take 16), so a zero word between free chunks is free.
//
// Processes that die. Every step leaves the lists whole and the chunk area
// as a walk by span reads it, whichever version walks: the chunks taken
// leave their lists first (each rewritten link skips forward along its list,
// so a list is whole after any prefix of the rewrites, and the chunks stay
// as they were until every link is rewritten); then each is zeroed, its data
// before its header (one store), so that it reads as the chunk it was or as
// zero words; then the new headers are written from the front, over zero
// bytes; the new chunks are listed last. A death leaves chunks on no list,
// which an offline repair gives back, and never a byte a walk misreads.
//
// Processes of an earlier version meet nothing new: chunks of the list sizes
// on their lists, fillers (a size no list keeps, which their offline repair
// steps over), zero words (which it steps over too) and a lower offset
// (which they read under the lock, as every claim does).
#include "zorvik/core/alloc/free_runs.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/alloc/free_lists.hpp"
#include "zorvik/core/segment/crash_points.hpp"

namespace zorvik::free_runs {
namespace {

using free_lists::kLists;
using free_lists::ListOfSize;

// At most this many listed chunks are read by one conversion: 2^20 take
// 20 MiB of this process's memory and some 80 ms to sort, under the lock
// every process waits on. A list longer than that is read from its front.
constexpr std::uint64_t kMostPieces = std::uint64_t{1} << 20;
// A conversion cuts at least this many bytes when the runs hold them (a
// refill group of entry chunks with their links is 20,800), or this share of
// the listed bytes when that is more: the walks needed to cut the whole
// listed room so stay near kBatchShare, whatever its size.
constexpr std::uint64_t kLeastBatch = std::uint64_t{1} << 16;
constexpr std::uint64_t kBatchShare = 16;
// Fillers and zero words passed over between two free chunks: a conversion
// leaves at most one of them after the chunks it cuts, so a few suffice.
constexpr int kMostBridges = 8;

std::uint64_t unit_span(Shape shape) {
    return std::uint64_t{chunk_span(shape.first)} + (shape.second != 0 ? chunk_span(shape.second) : 0);
}

std::uint64_t room_left(const MemoryManager *manager) {
    return manager->capacity > manager->offset ? manager->capacity - manager->offset : 0;
}

// A chunk's header, span and size bytes, in one store: a death cannot leave
// half of it.
void write_header(char *header, std::uint8_t span, std::uint8_t size) {
    const std::uint16_t both = static_cast<std::uint16_t>(span | size << 8);
    std::memcpy(header, &both, sizeof both);
}

// Zeroes the chunks, fillers and zero words of [from, to), each whole, from
// the front: its data first, then its header, so that every moment's bytes
// read as the chunk it was or as zero words.
void zero_range(Allocator base, Offset from, Offset to) {
    for (Offset at = from; at < to;) {
        char *header = base + at;
        const std::uint8_t span = chunk_span_at(header);
        if (span == 0) {  // a zero word
            at += kChunkGrid;
            continue;
        }
        std::memset(chunk_data(header), 0, span - kChunkHeaderLength);
        write_header(header, 0, 0);
        at += span;
    }
}

// The chunks `rest` free bytes are cut into after what a request asked for:
// link and data chunk pairs (of `data` bytes), then what fits of a data
// chunk and links; calls cut(size) for each in address order, and returns
// the bytes left, less than either span: 0, 8 (a zero word) or 16 (a filler).
template <class Cut>
std::uint64_t cut_rest(std::uint64_t rest, std::uint8_t data, Cut &&cut) {
    auto take = [&](std::uint8_t size) {
        cut(size);
        rest -= chunk_span(size);
    };
    while (rest >= pair_span(data)) {
        take(kLinkChunkSize);
        take(data);
    }
    while (rest >= chunk_span(data)) take(data);
    while (rest >= chunk_span(kLinkChunkSize)) take(kLinkChunkSize);
    return rest;
}

// Cuts the zeroed bytes [from, to): `units` of `shape` first, then the rest
// as cut_rest has it, what is left a filler or a zero word. Lists every
// chunk of a list size, the one at the lowest address on top of its list (a
// take of several then gets them in address order, and pairs cut side by
// side come out side by side). Returns the bytes listed; `chunks`, when
// given, counts the chunks listed.
std::uint64_t cut_range(Allocator base, MemoryManager *manager, Offset from, Offset to, Shape shape,
                        std::uint64_t units, std::uint64_t *chunks = nullptr) {
    struct Cut {
        Offset at;
        std::uint8_t size;
    };
    std::vector<Cut> cuts;
    Offset at = from;
    auto cut = [&](std::uint8_t size) {
        const std::uint8_t span = chunk_span(size);
        write_header(base + at, span, size);
        if (free_lists::list_for(manager, size) != nullptr) cuts.push_back({at, size});
        at += span;
    };
    for (std::uint64_t u = 0; u < units; ++u) {
        cut(shape.first);
        if (shape.second != 0) cut(shape.second);
    }
    if (cut_rest(to - at, manager->chunk_size, cut) >= 2 * kChunkGrid) {
        const auto span = static_cast<std::uint8_t>(to - at);
        write_header(base + at, span, filler_size(span));
    }
    crash_points::step("conversion: chunks cut, not yet listed");
    std::uint64_t listed = 0;
    for (auto made = cuts.rbegin(); made != cuts.rend(); ++made) {
        free_lists::push(manager, free_lists::list_for(manager, made->size), base + made->at, made->at);
        listed += chunk_span(made->size);
    }
    if (chunks != nullptr) *chunks += cuts.size();
    return listed;
}

// A listed chunk as one read of the lists found it.
struct Piece {
    Offset header;
    std::uint8_t span;
    std::uint8_t size;
    bool taken;
};

// Free chunks side by side: order_[first..last], covering [start, end).
struct Run {
    std::size_t first;
    std::size_t last;
    Offset start;
    Offset end;
    std::uint64_t bytes() const { return end - start; }
};

// What a conversion does to [start, end) once the lists no longer hold its
// chunks.
struct Plan {
    enum class Kind : std::uint8_t { unallocate, cut, block } kind;
    Offset start;
    Offset end;
    Shape shape;
    std::uint64_t units;  // of `shape` (cut), or the block's bytes (block)
};

// One read of the three lists, the runs their chunks form, and the changes
// planned on them; apply() makes the changes.
class FreeSpace {
public:
    explicit FreeSpace(Allocator base) : base_(base), manager_(memory_manager(base)) {
        free_lists::all_lists(manager_, lists_);
    }

    // Reads the lists and forms the runs. False when they hold nothing, or
    // something that cannot be free space (two listed chunks that overlap: a
    // damaged file, left to the offline repair).
    bool gather();

    // The run that ends at the offset, taken whole for the unallocated area.
    bool plan_lowering();
    // `units` of `shape` from the smallest runs up; returns the units planned.
    std::uint64_t plan_chunks(Shape shape, std::uint64_t units);
    // A block of `need` bytes from the smallest run that holds it; returns
    // its header Offset, or 0.
    Offset plan_block(std::uint64_t need);
    Offset lowered_offset() const { return lowered_to_; }
    std::uint64_t listed() const { return listed_; }

    // Takes the planned chunks off their lists, then zeroes and cuts their
    // bytes as planned.
    void apply();

private:
    // The end of the free bytes from `from` on: over fillers, and a zero word
    // that ends at `limit`, never past `limit`.
    Offset free_end(Offset from, Offset limit) const;
    // Marks the run's chunks from its start taken until they cover `bytes`;
    // returns where the taken bytes end.
    Offset take_prefix(const Run &run, std::uint64_t bytes);
    // True when every chunk of the run has `size`: cutting it into chunks of
    // that size again would gain nothing.
    bool all_of_size(const Run &run, std::uint8_t size) const;
    void unlink_taken();

    Allocator base_;
    MemoryManager *manager_;
    ListOfSize lists_[kLists];
    std::vector<Piece> pieces_;             // list by list, each in list order
    std::size_t list_end_[kLists] = {};     // pieces_ of list k end here
    Offset rest_[kLists] = {};              // the link after the last chunk read of a list read in part
    bool whole_ = true;                     // every list was read to its end
    std::uint64_t listed_ = 0;              // bytes of the chunks read
    std::vector<std::uint32_t> order_;      // indexes of pieces_, by address
    std::vector<Run> runs_;
    std::vector<bool> used_;                // runs_ planned on
    std::vector<Plan> plans_;
    Offset lowered_to_ = 0;
};

bool FreeSpace::gather() {
    for (int k = 0; k < kLists; ++k) {
        if (free_lists::kept_by_data(manager_, k)) {
            list_end_[k] = pieces_.size();
            continue;
        }
        const std::uint8_t size = lists_[k].size;
        const std::uint8_t span = chunk_span(size);
        FreeList *list = lists_[k].list;
        Offset at = free_lists::listed_chunk_or_zero(manager_, list->head, size, span);
        // A link that leads to no free chunk of the list's size (a damaged
        // file) ends the list there, as a take would end it.
        if (at == 0) list->head = 0;
        while (at != 0) {
            if (pieces_.size() >= kMostPieces) {
                rest_[k] = at;
                whole_ = false;
                break;
            }
            pieces_.push_back(Piece{at, span, size, false});
            listed_ += span;
            char *chunk = base_ + at;
            const Offset next = free_lists::read_link(chunk);
            at = free_lists::listed_chunk_or_zero(manager_, next, size, span);
            if (at == 0 && next != 0) free_lists::write_link(chunk, 0);
        }
        list_end_[k] = pieces_.size();
    }
    if (pieces_.empty()) return false;
    order_.resize(pieces_.size());
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
    std::sort(order_.begin(), order_.end(),
              [this](std::uint32_t a, std::uint32_t b) { return pieces_[a].header < pieces_[b].header; });
    for (std::size_t i = 0; i + 1 < order_.size(); ++i) {
        const Piece &a = pieces_[order_[i]];
        if (a.header + a.span > pieces_[order_[i + 1]].header) return false;
    }
    const Offset offset = manager_->offset;
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const Piece &piece = pieces_[order_[i]];
        if (!runs_.empty() && free_end(runs_.back().end, piece.header) == piece.header) {
            runs_.back().last = i;
            runs_.back().end = piece.header + piece.span;
            continue;
        }
        if (!runs_.empty()) runs_.back().end = free_end(runs_.back().end, piece.header);
        runs_.push_back(Run{i, i, piece.header, piece.header + piece.span});
    }
    runs_.back().end = free_end(runs_.back().end, offset);
    used_.assign(runs_.size(), false);
    return true;
}

Offset FreeSpace::free_end(Offset from, Offset limit) const {
    Offset at = from;
    for (int i = 0; i < kMostBridges && at < limit; ++i) {
        const char *header = base_ + at;
        if (limit - at == kChunkGrid && read_u64(header) == 0) return limit;
        if (!is_filler(header) || limit - at < chunk_span_at(header)) break;
        at += chunk_span_at(header);
    }
    return at;
}

Offset FreeSpace::take_prefix(const Run &run, std::uint64_t bytes) {
    for (std::size_t i = run.first; i <= run.last; ++i) {
        Piece &piece = pieces_[order_[i]];
        piece.taken = true;
        const Offset covered = piece.header + piece.span;
        if (covered - run.start >= bytes) return covered;
    }
    return run.end;  // the fillers after the last chunk make up the rest
}

bool FreeSpace::all_of_size(const Run &run, std::uint8_t size) const {
    for (std::size_t i = run.first; i <= run.last; ++i) {
        if (pieces_[order_[i]].size != size) return false;
    }
    return true;
}

bool FreeSpace::plan_lowering() {
    const std::size_t top = runs_.size() - 1;
    if (used_[top] || runs_[top].end != manager_->offset) return false;
    used_[top] = true;
    take_prefix(runs_[top], runs_[top].bytes());
    plans_.push_back(Plan{Plan::Kind::unallocate, runs_[top].start, runs_[top].end, Shape{0, 0}, 0});
    lowered_to_ = runs_[top].start;
    return true;
}

std::uint64_t FreeSpace::plan_chunks(Shape shape, std::uint64_t units) {
    const std::uint64_t unit = unit_span(shape);
    std::vector<std::size_t> smallest;
    for (std::size_t r = 0; r < runs_.size(); ++r) {
        const bool same = shape.second == 0 && all_of_size(runs_[r], shape.first);
        if (!used_[r] && !same && runs_[r].bytes() >= unit) smallest.push_back(r);
    }
    std::sort(smallest.begin(), smallest.end(),
              [this](std::size_t a, std::size_t b) { return runs_[a].bytes() < runs_[b].bytes(); });
    std::uint64_t planned = 0;
    for (const std::size_t r : smallest) {
        if (planned >= units) break;
        const std::uint64_t here = std::min(units - planned, runs_[r].bytes() / unit);
        used_[r] = true;
        const Offset end = take_prefix(runs_[r], here * unit);
        plans_.push_back(Plan{Plan::Kind::cut, runs_[r].start, end, shape, here});
        planned += here;
    }
    return planned;
}

Offset FreeSpace::plan_block(std::uint64_t need) {
    std::size_t best = runs_.size();
    for (std::size_t r = 0; r < runs_.size(); ++r) {
        if (used_[r] || runs_[r].bytes() < need) continue;
        if (best == runs_.size() || runs_[r].bytes() < runs_[best].bytes()) best = r;
    }
    if (best == runs_.size()) return 0;
    used_[best] = true;
    const Offset end = take_prefix(runs_[best], need);
    plans_.push_back(Plan{Plan::Kind::block, runs_[best].start, end, Shape{0, 0}, need});
    return runs_[best].start;
}

void FreeSpace::unlink_taken() {
    std::uint64_t taken = 0;
    std::size_t begin = 0;
    for (int k = 0; k < kLists; ++k) {
        FreeList *list = lists_[k].list;
        char *kept = nullptr;  // the last chunk kept, whose link leads on; null: the head leads on
        auto lead_to = [&](Offset next) {
            if (kept == nullptr) {
                if (list->head != next) list->head = next;
            } else if (free_lists::read_link(kept) != next) {
                free_lists::write_link(kept, next);
            }
        };
        for (std::size_t i = begin; i < list_end_[k]; ++i) {
            if (pieces_[i].taken) {
                taken += pieces_[i].span;
                continue;
            }
            lead_to(pieces_[i].header);
            kept = base_ + pieces_[i].header;
        }
        if (begin != list_end_[k]) lead_to(rest_[k]);
        begin = list_end_[k];
    }
    if (whole_) {
        free_lists::set_listed_bytes(manager_, listed_ - taken);
    } else {
        free_lists::count_unlisted(manager_, taken);
    }
}

void FreeSpace::apply() {
    if (plans_.empty()) return;
    unlink_taken();
    crash_points::step("conversion: free chunks taken off their lists");
    for (const Plan &plan : plans_) {
        zero_range(base_, plan.start, plan.end);
        crash_points::step("conversion: free chunks zeroed");
        switch (plan.kind) {
            case Plan::Kind::unallocate:
                manager_->offset = plan.start;
                break;
            case Plan::Kind::cut:
                cut_range(base_, manager_, plan.start, plan.end, plan.shape, plan.units);
                break;
            case Plan::Kind::block:
                // The block's bytes read zero, its header too (span 0, size 0).
                cut_range(base_, manager_, plan.start + plan.units, plan.end, Shape{0, 0}, 0);
                break;
        }
    }
}

}  // namespace

bool make_chunks(Allocator base, Shape shape, std::uint64_t units) {
    try {
        FreeSpace space(base);
        if (!space.gather()) return false;
        const MemoryManager *manager = memory_manager(base);
        const std::uint64_t unit = unit_span(shape);
        bool changed = space.plan_lowering();
        const std::uint64_t fresh_room =
            changed ? manager->capacity - space.lowered_offset() : room_left(manager);
        const std::uint64_t fresh_units = fresh_room / unit;
        if (fresh_units < units) {
            const std::uint64_t batch = std::max(kLeastBatch, space.listed() / kBatchShare) / unit;
            changed = space.plan_chunks(shape, std::max(units - fresh_units, batch)) != 0 || changed;
        }
        space.apply();
        return changed;
    } catch (const std::bad_alloc &) {
        return false;  // no memory for the walk: the request fails as it would have
    }
}

BlockRoom make_block(Allocator base, std::uint64_t need) {
    BlockRoom room;
    try {
        FreeSpace space(base);
        if (!space.gather()) return room;
        room.offset_lowered = space.plan_lowering();
        const MemoryManager *manager = memory_manager(base);
        if (!room.offset_lowered || manager->capacity - space.lowered_offset() < need) {
            room.block = space.plan_block(need);
        }
        space.apply();
    } catch (const std::bad_alloc &) {
    }
    return room;
}

std::uint64_t give_back(Allocator base, Offset from, Offset to, std::uint64_t &chunks) {
    MemoryManager *manager = memory_manager(base);
    if (from < kFirstChunk || from % kChunkGrid != 0 || to % kChunkGrid != 0 || to <= from ||
        to > manager->offset) {
        return 0;
    }
    // Nothing reaches these bytes and no process uses the file: they are
    // zeroed whole, whatever they held.
    std::memset(base + from, 0, to - from);
    if (to == manager->offset) {
        manager->offset = from;
        return to - from;
    }
    return cut_range(base, manager, from, to, Shape{0, 0}, 0, &chunks);
}

std::uint64_t listable(std::uint64_t length, std::uint8_t data_chunk_size) {
    return length - cut_rest(length, data_chunk_size, [](std::uint8_t) {});
}

std::uint64_t recount(Allocator base) {
    MemoryManager *manager = memory_manager(base);
    ListOfSize lists[kLists];
    free_lists::all_lists(manager, lists);
    // No list is longer than the links the allocated area can hold: a
    // looping one is counted that far.
    const std::uint64_t most = (manager->offset - kFirstChunk) / chunk_span(kLinkChunkSize) + 1;
    std::uint64_t bytes = 0;
    for (int k = 0; k < kLists; ++k) {
        if (free_lists::kept_by_data(manager, k)) continue;
        const std::uint8_t size = lists[k].size;
        const std::uint8_t span = chunk_span(size);
        Offset at = free_lists::listed_chunk_or_zero(manager, lists[k].list->head, size, span);
        for (std::uint64_t n = 0; at != 0 && n < most; ++n) {
            bytes += span;
            at = free_lists::listed_chunk_or_zero(manager, free_lists::read_link(base + at), size, span);
        }
    }
    free_lists::set_listed_bytes(manager, bytes);
    return bytes;
}

}  // namespace zorvik::free_runs
