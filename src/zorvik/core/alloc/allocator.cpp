// The chunk allocator. Every process attached to a segment runs this code on
// the same MemoryManager; the allocator's lock word in the SegmentHeader
// orders every change to `offset`, the three list heads, the free-listed
// count and the links of the chunks lying on the lists.
//
// Protocol. A request holds the lock only for its reads and writes of the
// MemoryManager and, when it takes from a free list, for the walk along the
// list's links. Fresh space is claimed by advancing `offset` under the lock;
// once `offset` has moved past a range nobody else can reach it, so its chunk
// headers and chain links are written after the lock is released. The lock is
// taken by a compare-and-swap (an acquire) and released by a release store,
// so the plain reads and writes between them are ordered with respect to
// every other process on any CPU: each holder sees all that the holders
// before it wrote under the lock. Nothing here needs more than that (no
// store must be seen before a later load of another word); the chunk
// headers and links written after the release reach other threads through
// the release that publishes the chain (a bucket's or a pool's lock).
//
// Storage. The file is sparse: its pages get storage when first written. A
// file system that has none left then cannot refuse the write politely, it
// raises SIGBUS in the writer (and a writer that dies so under a lock leaves
// it to a takeover). So the file's blocks behind fresh space are reserved
// before it is claimed (reserve_file_space, fallocate(2), under the lock,
// before `offset` moves): when the file system refuses, the claim fails as a
// full segment does, with "the file system has no room for the segment
// (<the file system's error>)" and its errno (ENOSPC mostly), and `offset`
// stays; blocks reserved before the refusal serve the next claim.
//
// Blocks are reserved a window of kBackingWindow bytes of the chunk area at
// a time, not claim by claim (a system call each time): the claim that enters
// a window (starts at its start, reaches into it from the window before, or
// is the segment's first claim) asks for everything from its start to the
// end of the window its own end lies in; a claim that lies within a window
// entered before asks for nothing, as the claim that entered it asked for all
// of it. `offset` grows, and comes down only over free chunks claimed before
// (free_runs.cpp), whose windows were entered then: so every window that
// holds claimed bytes was entered by a claim, and a failed claim leaves
// `offset` where it was, so the next claim enters the same window again (a
// claim that enters a window again asks for blocks already there, which the
// file system grants). The rule needs no state beyond
// `offset`, so every process follows it alike. A block backed on first write
// (Backing::on_first_write: the map's chunk table) gets its header's grid
// and the window its end lies in; whoever writes a later page of it reserves
// that page first (reserve_pages). The segment's header and the
// MemoryManager are reserved at creation; a file written by a version that
// reserved nothing is reserved up to `offset` (its chunk table aside) when it
// is attached.
//
// A chunk handed out by allocate_chunks is part of a chain: its first 8 data
// bytes hold the header Offset of the next chunk. Every chunk the allocator
// makes or accepts must therefore have room for that link, and its span must
// be the true rounded size; sizes outside [7, 246] have neither and are
// refused, as are frees of anything that is not a handed-out chunk of a list
// size lying inside the segment.
//
// Room of one kind serves the others. When a request finds neither enough
// chunks on its list nor enough fresh space (or no storage for it), free
// chunks of other kinds are made into what it needs (free_runs.cpp, under
// the lock) and the request is made once more: free chunks at the end of
// the allocated area become fresh space again, and runs of free chunks side
// by side are cut into the chunks, or the block, asked for. Every list change
// keeps the free-listed count (memory_manager.hpp) with it.
#include "zorvik/core/alloc/allocator.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>

#include "zorvik/core/alloc/free_lists.hpp"
#include "zorvik/core/alloc/free_runs.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/error_text.hpp"
#include "zorvik/core/segment/mapped_files.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik {
namespace {

using free_lists::list_for;
using free_lists::listed_chunk_or_zero;
using free_lists::read_link;
using free_lists::write_link;

// A chain link is one Offset: the header Offset of the next chunk.
constexpr std::uint64_t kChainLinkLength = sizeof(Offset);
// The smallest size whose span leaves 8 data bytes for the chain link, and the
// largest whose span still fits the 8-bit header.
constexpr std::uint8_t kSmallestChunkSize = 7;
constexpr std::uint8_t kLargestChunkSize = 246;
static_assert(chunk_span(kSmallestChunkSize) - kChunkHeaderLength >= kChainLinkLength,
              "a free chunk of the smallest size holds its chain link");
static_assert(chunk_span(kSmallestChunkSize - 1) - kChunkHeaderLength < kChainLinkLength,
              "no smaller size would hold its chain link");
static_assert(chunk_span(kLargestChunkSize) == 248 && chunk_span(kLargestChunkSize + 1) == 0,
              "the largest size whose span fits the header's one byte");
// A new file's reservation covers the segment's header and the MemoryManager,
// which initialise_allocator writes before any claim reserves anything.
static_assert(kSegmentHeaderLength + kFirstChunk <= kCreationReservation,
              "a new file's first reservation backs every byte initialise_allocator writes");

bool is_chunk_size(std::uint8_t size) { return size >= kSmallestChunkSize && size <= kLargestChunkSize; }

// Unallocated bytes; call with the lock held. A file whose `offset` lies past
// its `capacity` has nothing left rather than a wrapped-around excess.
std::uint64_t room_left(const MemoryManager *manager) {
    std::uint64_t capacity = manager->capacity;
    std::uint64_t offset = manager->offset;
    return capacity > offset ? capacity - offset : 0;
}

void report_out_of_memory() {
    record_error(kAllocatorError, "out of memory");
    errno = ENOMEM;
}

// What a claim of fresh space came to.
enum class Claim : std::uint8_t { claimed, no_room, no_storage };

// Bytes of the chunk area whose storage is asked for at once (see the essay):
// 64 KiB, a system call per three pool refills of about 20 KB instead of one
// each (which cost new-key inserts 3 to 4% of their time), while no more than
// 64 KiB of storage is taken ahead of use (a new map of 1,024 buckets stores
// 376 KiB instead of 272).
constexpr std::uint64_t kBackingWindow = std::uint64_t{1} << 16;

// Reserves the file's blocks behind [from, to), cut at the capacity. 0 or
// errno.
int back_range(Allocator base, const MemoryManager *manager, Offset from, Offset to) {
    to = std::min<Offset>(to, manager->capacity);
    return from < to ? reserve_file_space(base, from, to) : 0;
}

// The storage a claim of `need` bytes from `first` asks for (the essay's
// rule), `stored` of them from its start: the rest of a block backed on
// first write is not asked for, but the window its end lies in is. 0 or errno.
int back_claim(Allocator base, const MemoryManager *manager, Offset first, std::uint64_t need,
               std::uint64_t stored) {
    const Offset end = first + need;
    const bool enters = first % kBackingWindow == 0 || first / kBackingWindow != (end - 1) / kBackingWindow ||
                        first == kFirstChunk;
    if (!enters) return 0;
    // `end` lies within the capacity, far below 2^64 - kBackingWindow: no wrap.
    const Offset window_end = (end + kBackingWindow - 1) & ~(kBackingWindow - 1);
    if (stored == need) return back_range(base, manager, first, window_end);
    const int error = back_range(base, manager, first, first + stored);
    return error != 0 ? error : back_range(base, manager, end, window_end);
}

// `need` bytes from `offset`, if the segment has them and the file system can
// store their pages (`stored` of them, from the first, for a block backed on
// first write). Call with the lock held; `offset` moves only on success.
Claim claim_locked(Allocator base, MemoryManager *manager, std::uint64_t need, std::uint64_t stored,
                   Offset &first_out) {
    if (room_left(manager) < need) return Claim::no_room;
    const Offset first = manager->offset;
    const int error = back_claim(base, manager, first, need, stored);
    if (error != 0) {
        errno = error;
        return Claim::no_storage;
    }
    first_out = first;
    manager->offset = first + need;
    return Claim::claimed;
}

// Records a failed claim (after the lock is released): "out of memory"
// (ENOMEM) for a full segment, "the file system has no room for the segment
// (<the file system's error>)" (its errno: ENOSPC mostly) for storage it
// could not give. True when the claim succeeded.
bool report_claim(Claim claim) {
    if (claim == Claim::claimed) return true;
    if (claim == Claim::no_room) {
        report_out_of_memory();
    } else {
        record_error(kAllocatorError | kAppendErrno, kNoFileSpaceText);
    }
    return false;
}

// Claims `need` fresh bytes and stores their Offset in `first_out`; false
// after recording the failure. Takes and releases the lock.
bool claim_fresh_space(Allocator base, std::uint64_t need, Offset &first_out) {
    Claim claim = Claim::no_room;
    {
        AllocatorLockGuard guard(allocator_lock_word(base));
        claim = claim_locked(base, memory_manager(base), need, need, first_out);
    }
    return report_claim(claim);
}

// Pushes the chain of `count` chunks first..last (already linked to each
// other) back on top of `list`, keeping its order. Takes the lock.
void push_chain(Allocator base, FreeList *list, char *first, char *last, std::uint64_t count) {
    AllocatorLockGuard guard(allocator_lock_word(base));
    write_link(last, list->head);
    list->head = to_offset(base, first);
    free_lists::count_listed(memory_manager(base), count * chunk_span_at(first));
}

// Makes room for `units` of `shape` from free chunks of other kinds (see the
// top of this file). True when something changed: the request is worth
// making again. Takes the lock.
bool make_room_for_chunks(Allocator base, free_runs::Shape shape, std::uint64_t units) {
    AllocatorLockGuard guard(allocator_lock_word(base));
    return free_runs::make_chunks(base, shape, units);
}

// The header of the handed-out chunk whose data starts at `data`, or null when
// `data` is no such chunk of a list size: outside the chunk area, not on the
// 8-byte grid every chunk starts on, a block (size 0), a size no list keeps, a
// span that does not match the size, or lying past `offset`. Takes the lock to
// read `offset`; returns the list through `list_out`.
char *freeable_chunk(Allocator base, char *data, FreeList **list_out) {
    MemoryManager *manager = memory_manager(base);
    // Computed as unsigned distances, so addresses below the base wrap to huge
    // values and fail the same range test as those above it.
    const Offset header = to_offset(base, data) - kChunkHeaderLength;
    const std::uint64_t capacity = manager->capacity;
    if (header < kFirstChunk || header % 8 != 0 || header >= capacity) return nullptr;
    char *chunk = to_address(base, header);
    std::uint8_t size = chunk_size_at(chunk);
    FreeList *list = list_for(manager, size);
    if (list == nullptr || !is_chunk_size(size) || chunk_span_at(chunk) != chunk_span(size)) return nullptr;
    if (capacity - header < chunk_span(size)) return nullptr;
    *list_out = list;
    return chunk;
}

void write_free_list(FreeList &list, std::uint8_t chunk_size) {
    list.span = static_cast<std::uint8_t>(chunk_size + 2);
    list.chunk_size = chunk_size;
    list.head = 0;
}

}  // namespace

void initialise_allocator(Allocator base, std::uint64_t size, std::uint8_t chunk_size) {
    // The zero-filled file supplies the lock word, the reserved list and the
    // reserved bytes.
    MemoryManager *manager = memory_manager(base);
    manager->capacity = size + kFirstChunk;
    manager->offset = kFirstChunk;
    manager->chunk_size = chunk_size;
    write_free_list(manager->entry_list, kEntryChunkSize);
    write_free_list(manager->link_list, kLinkChunkSize);
    write_free_list(manager->data_list, chunk_size);
}

char *next_in_chain(Allocator base, const char *header) {
    // `capacity` never changes after creation, so it is read without the lock;
    // a chain just handed out lies below `offset`, which only grows.
    const Offset capacity = memory_manager(base)->capacity;
    const Offset next = read_link(header);
    const std::uint8_t span = chunk_span_at(header);
    if (next < kFirstChunk || next % kChunkGrid != 0 || next >= capacity || capacity - next < span) return nullptr;
    char *chunk = to_address(base, next);
    if (chunk_span_at(chunk) != span || chunk_size_at(chunk) != chunk_size_at(header)) return nullptr;
    return chunk;
}

char *carve_chunks(Allocator base, std::uint64_t count, std::uint64_t start, std::uint8_t span, std::uint8_t size,
                   char *previous) {
    if (base == nullptr || start >= count || span == 0) return nullptr;
    const std::uint64_t fresh = count - start;
    if (fresh > std::numeric_limits<std::uint64_t>::max() / span) {
        report_out_of_memory();
        return nullptr;
    }
    Offset first = 0;
    if (!claim_fresh_space(base, fresh * span, first)) return nullptr;

    // The range [first, first + fresh * span) is ours alone from here on.
    crash_points::step("allocator: fresh chunks claimed, headers not written");
    if (previous != nullptr) write_link(previous, first);
    for (std::uint64_t i = 0; i < fresh; ++i) {
        char *chunk = to_address(base, first + i * span);
        chunk[0] = static_cast<char>(span);
        chunk[1] = static_cast<char>(size);
        write_link(chunk, first + (i + 1) * span);  // the last one links to the new `offset`
    }
    return to_address(base, first);
}

namespace {

// One attempt of allocate_chunks for a size a list keeps: the list's chunks,
// then fresh ones behind them.
char *take_or_carve(Allocator base, FreeList *list, std::uint64_t count, std::uint8_t size) {
    const std::uint8_t span = chunk_span(size);
    MemoryManager *manager = memory_manager(base);
    char *first = nullptr;
    char *last = nullptr;
    std::uint64_t taken = 0;
    {
        AllocatorLockGuard guard(allocator_lock_word(base));
        // A link that cannot lead to a free chunk of this list (a damaged
        // file) ends the list there: what lies behind it is given up rather
        // than followed outside the allocated area.
        Offset next = listed_chunk_or_zero(manager, list->head, size, span);
        if (next == 0) {
            // Empty list: all fresh (after releasing the lock, which
            // carve_chunks takes again).
        } else {
            first = to_address(base, next);
            while (taken < count && next != 0) {
                last = to_address(base, next);
                next = listed_chunk_or_zero(manager, read_link(last), size, span);
                ++taken;
            }
            // Either the chunk after the last one taken, or 0 when the list
            // ran out; in both cases the chain handed out is the list's front.
            list->head = next;
            free_lists::count_unlisted(manager, taken * span);
            crash_points::step("allocator: chunks taken off a free list");
        }
    }
    if (taken == count) return first;
    if (taken == 0) return carve_chunks(base, count, 0, span, size, nullptr);

    // The list held fewer than `count`: its k chunks are off the list, linked
    // in list order, the last one's link 0. Carve the rest behind them; if that
    // fails, put the k chunks back so that a failed request changes nothing.
    if (carve_chunks(base, count, taken, span, size, last) != nullptr) return first;
    const int error = errno;
    push_chain(base, list, first, last, taken);
    errno = error;
    return nullptr;
}

}  // namespace

char *allocate_chunks(Allocator base, std::uint64_t count, std::uint8_t size) {
    if (base == nullptr || size == 0 || count == 0) return nullptr;
    if (!is_chunk_size(size)) {
        errno = EINVAL;
        return nullptr;
    }
    FreeList *list = list_for(memory_manager(base), size);
    if (list == nullptr) return carve_chunks(base, count, 0, chunk_span(size), size, nullptr);
    if (char *first = take_or_carve(base, list, count, size)) return first;
    // Short of room: free chunks of other kinds may make it up.
    const int error = errno;
    if (make_room_for_chunks(base, free_runs::Shape{size, 0}, count)) return take_or_carve(base, list, count, size);
    errno = error;
    return nullptr;
}

// Writes the headers of `count` fresh pairs claimed from `start`: a chunk of
// `first_size`, then one of `second_size`, side by side. The range is the
// caller's alone (see claim_fresh_space); returns its first header.
char *write_pair_headers(Allocator base, Offset start, std::uint64_t count, std::uint8_t first_size,
                         std::uint8_t second_size) {
    crash_points::step("allocator: fresh pairs claimed, headers not written");
    const std::uint8_t first_span = chunk_span(first_size);
    const std::uint8_t second_span = chunk_span(second_size);
    const std::uint64_t pair_span = std::uint64_t{first_span} + second_span;
    for (std::uint64_t i = 0; i < count; ++i) {
        char *first = to_address(base, start + i * pair_span);
        first[0] = static_cast<char>(first_span);
        first[1] = static_cast<char>(first_size);
        char *second = first + first_span;
        second[0] = static_cast<char>(second_span);
        second[1] = static_cast<char>(second_size);
    }
    return to_address(base, start);
}

char *carve_chunk_pairs(Allocator base, std::uint64_t count, std::uint8_t first_size, std::uint8_t second_size) {
    if (base == nullptr || count == 0 || !is_chunk_size(first_size) || !is_chunk_size(second_size)) {
        errno = EINVAL;
        return nullptr;
    }
    const std::uint8_t first_span = chunk_span(first_size);
    const std::uint8_t second_span = chunk_span(second_size);
    const std::uint64_t pair_span = std::uint64_t{first_span} + second_span;
    if (count > std::numeric_limits<std::uint64_t>::max() / pair_span) {
        report_out_of_memory();
        return nullptr;
    }
    const std::uint64_t need = count * pair_span;
    MemoryManager *manager = memory_manager(base);
    FreeList *first_list = list_for(manager, first_size);
    FreeList *second_list = list_for(manager, second_size);
    // A damaged head counts as an empty list, as allocate_chunks has it.
    auto holds_chunks = [manager](const FreeList *list, std::uint8_t size, std::uint8_t span) {
        return list != nullptr && listed_chunk_or_zero(manager, list->head, size, span) != 0;
    };
    Offset start = 0;
    bool recycled = false;
    Claim claim = Claim::no_room;
    for (bool made_room = false;;) {
        {
            AllocatorLockGuard guard(allocator_lock_word(base));
            const bool seconds = holds_chunks(second_list, second_size, second_span);
            recycled = seconds || holds_chunks(first_list, first_size, first_span);
            if (!recycled) claim = claim_locked(base, manager, need, need, start);
            // Short of fresh room for what the lists do not hold: free chunks
            // of other kinds may make it up, as pairs of these sizes side by
            // side on their lists (rather than second chunks cut apart from
            // the listed first ones, which would break up the runs of free
            // chunks they lie in) or as fresh space.
            const bool short_of_seconds = !seconds && room_left(manager) < count * second_span;
            if (!made_room && (recycled ? short_of_seconds : claim != Claim::claimed)) {
                made_room = free_runs::make_chunks(base, free_runs::Shape{first_size, second_size}, count);
                if (made_room) continue;
            }
        }
        break;
    }
    if (recycled) {
        errno = EAGAIN;
        return nullptr;
    }
    if (!report_claim(claim)) return nullptr;
    return write_pair_headers(base, start, count, first_size, second_size);
}

char *carve_run_pairs(Allocator base, std::uint64_t count, std::uint8_t first_size, std::uint8_t second_size) {
    if (base == nullptr || count == 0 || !is_chunk_size(first_size) || !is_chunk_size(second_size)) {
        errno = EINVAL;
        return nullptr;
    }
    const std::uint64_t pair_span = std::uint64_t{chunk_span(first_size)} + chunk_span(second_size);
    if (count > std::numeric_limits<std::uint64_t>::max() / pair_span) {
        errno = EAGAIN;
        return nullptr;
    }
    const std::uint64_t need = count * pair_span;
    MemoryManager *manager = memory_manager(base);
    Offset start = 0;
    Claim claim = Claim::no_room;
    {
        AllocatorLockGuard guard(allocator_lock_word(base));
        if (free_lists::listed_bytes(manager) < need) {
            claim = claim_locked(base, manager, need, need, start);
        }
    }
    if (claim != Claim::claimed) {
        errno = EAGAIN;
        return nullptr;
    }
    return write_pair_headers(base, start, count, first_size, second_size);
}

char *allocate_block(Allocator base, std::uint64_t length, Backing backing) {
    if (base == nullptr || length == 0) return nullptr;
    // length + 2 rounded up to a multiple of 8, refused before it can wrap.
    if (length > std::numeric_limits<std::uint64_t>::max() - (kChunkHeaderLength + 7)) {
        report_out_of_memory();
        return nullptr;
    }
    const std::uint64_t need = ((length + 1) & ~std::uint64_t{7}) + 8;
    // The header's grid is written below, whatever the backing.
    const std::uint64_t stored = backing == Backing::now ? need : kChunkGrid;
    Offset start = 0;
    Claim claim = Claim::no_room;
    {
        AllocatorLockGuard guard(allocator_lock_word(base));
        claim = claim_locked(base, memory_manager(base), need, stored, start);
        if (claim != Claim::claimed) {
            // Short of fresh room: free chunks may make it up, as fresh space
            // or as a block of their own bytes (backed already: claimed once).
            const free_runs::BlockRoom room = free_runs::make_block(base, need);
            if (room.block != 0) {
                start = room.block;
                claim = Claim::claimed;
            } else if (room.offset_lowered) {
                claim = claim_locked(base, memory_manager(base), need, stored, start);
            }
        }
    }
    if (!report_claim(claim)) return nullptr;
    // The block is ours alone from here on; fresh space reads zero, which is
    // also the header of a block (span 0, size 0: no list takes it).
    char *block = to_address(base, start);
    block[0] = 0;
    block[1] = 0;
    return chunk_data(block);
}

bool reserve_pages(Allocator base, const char *address, std::uint64_t length) {
    if (base == nullptr || length == 0) return true;
    const Offset from = to_offset(base, address);
    const Offset capacity = memory_manager(base)->capacity;
    if (from >= capacity) return true;  // nothing of the segment's to reserve
    const int error = reserve_file_space(base, from, from + std::min<std::uint64_t>(length, capacity - from));
    if (error == 0) return true;
    errno = error;
    record_error(kAllocatorError | kAppendErrno, kNoFileSpaceText);
    return false;
}

bool free_chunk(Allocator base, char *data) {
    if (base == nullptr || data == nullptr) return false;
    FreeList *list = nullptr;
    char *chunk = freeable_chunk(base, data, &list);
    if (chunk == nullptr) return false;
    MemoryManager *manager = memory_manager(base);
    const Offset header = to_offset(base, chunk);
    AllocatorLockGuard guard(allocator_lock_word(base));
    // Only space already handed out can be freed.
    if (manager->offset < header || manager->offset - header < chunk_span_at(chunk)) return false;
    write_link(chunk, list->head);
    crash_points::step("allocator: a freed chunk linked, not yet listed");
    list->head = header;
    free_lists::count_listed(manager, chunk_span_at(chunk));
    return true;
}

bool free_chain(Allocator base, char *first, std::uint64_t count) {
    char *header = first;
    for (std::uint64_t i = 0; i < count; ++i) {
        // Read before the free overwrites the link (and another process may
        // take the chunk the moment it is on its list).
        char *next = i + 1 < count ? next_in_chain(base, header) : nullptr;
        if (!free_chunk(base, chunk_data(header))) return false;
        if (i + 1 < count && next == nullptr) return false;
        header = next;
    }
    return true;
}

void throw_refused_free() { throw std::runtime_error("check_free<true>(Allocator allocator, void * target) failed!"); }

void check_free(Allocator base, void *target) {
    if (!free_chunk(base, static_cast<char *>(target))) throw_refused_free();
}

void check_free(Allocator base, Offset target) {
    if (base == nullptr || !free_chunk(base, to_address(base, target))) {
        throw std::runtime_error("check_free<true>(Allocator allocator, const Offset<true> &target) failed!");
    }
}

std::uint64_t unallocated_bytes(Allocator base) {
    if (base == nullptr) return 0;
    AllocatorLockGuard guard(allocator_lock_word(base));
    return room_left(memory_manager(base));
}

std::uint64_t free_listed_bytes(Allocator base) {
    if (base == nullptr) return 0;
    AllocatorLockGuard guard(allocator_lock_word(base));
    return free_lists::listed_bytes(memory_manager(base));
}

SpaceGiven give_back_space(Allocator base, Offset from, Offset to) {
    SpaceGiven given;
    if (base == nullptr) return given;
    AllocatorLockGuard guard(allocator_lock_word(base));
    const Offset offset = memory_manager(base)->offset;
    const std::uint64_t bytes = free_runs::give_back(base, from, to, given.chunks);
    (to == offset ? given.unallocated : given.listed) = bytes;
    return given;
}

std::uint64_t listable_bytes(std::uint64_t length, std::uint8_t data_chunk_size) {
    return free_runs::listable(length, data_chunk_size);
}

std::uint64_t recount_free_listed(Allocator base) {
    if (base == nullptr) return 0;
    AllocatorLockGuard guard(allocator_lock_word(base));
    return free_runs::recount(base);
}

}  // namespace zorvik
