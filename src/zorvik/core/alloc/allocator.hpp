// The chunk allocator: hands out the chunk area of a segment to every process
// attached to it. Space is cut from the front of the unallocated area; chunks
// of the three recycled sizes (link chunks of 16, entry chunks of 176 and the
// segment's data chunks) go onto a free list of their size when freed (a
// stack: the chunk freed last is handed out first). Blocks and chunks of any
// other size are never freed. Once the unallocated area runs short, free
// chunks serve requests of every kind: those at its edge become unallocated
// again, and runs of free chunks side by side are cut into the chunks or the
// block a request needs (free_runs.hpp).
//
// All state lives in the segment (MemoryManager, and the SegmentHeader's lock
// word, which guards `offset`, the three list heads, the free-listed count
// and the links of the chunks on the lists). `capacity` and `chunk_size`
// never change after creation and are read without the lock. The allocator's
// lock is innermost: it is taken while a bucket lock or a pool lock may be
// held, and nothing else is taken while it is held.
//
// These operations throw only what a wait for the allocator's lock throws
// (spin_lock.hpp: a lock word that names no process, an expired deadline, a
// host that stops). They return null or false and describe the failure in the
// error text (segment/error_text.hpp): "out of memory" (errno ENOMEM) for a
// full chunk area, "the file system has no room for the segment (<its
// error>)" (errno as the file system gave it, ENOSPC mostly) when the file's
// blocks cannot be reserved.
#pragma once

#include <cstdint>

#include "zorvik/core/alloc/chunk.hpp"
#include "zorvik/core/alloc/memory_manager.hpp"

namespace zorvik {

// Writes the MemoryManager of a new segment of `size` usable bytes whose data
// chunks have `chunk_size` bytes: the whole chunk area unallocated, every free
// list empty. Call once, on a segment just created, before its file name has
// left this process (so plain writes suffice: nobody else can see it yet).
void initialise_allocator(Allocator base, std::uint64_t size, std::uint8_t chunk_size);

// Hands out `count` chunks of `size` as a chain: each chunk's first 8 data bytes
// hold the header Offset of the next; the last one's link is not cleared.
// Returns the first chunk's header address, or null (null base, size 0, count 0,
// or "out of memory" with errno ENOMEM). Chunks taken from a free list before
// the fresh remainder could not be carved go back onto the list; then free
// chunks of other kinds are made into chunks of `size` where they can be, and
// the request is made once more. Sizes 1 to 6 (no room for the 8-byte chain
// link) and 247 to 255 (a span that does not fit the 8-bit header) are
// refused with errno EINVAL and no text.
char *allocate_chunks(Allocator base, std::uint64_t count, std::uint8_t size);

// Internal step of allocate_chunks: cuts `count` - `start` fresh chunks and
// links them behind `previous` (a chunk header, or null).
char *carve_chunks(Allocator base, std::uint64_t count, std::uint64_t start, std::uint8_t span, std::uint8_t size,
                   char *previous);

// The header of the chunk after `header` in a chain allocate_chunks handed out
// (the first 8 data bytes of `header`), or null when that link cannot lead to
// a chunk of the same size inside the allocated area. Only for the chunks of
// that chain before its last one, whose link is not cleared.
char *next_in_chain(Allocator base, const char *header);

// Cuts `count` pairs of fresh chunks laid side by side, a chunk of
// `first_size` then a chunk of `second_size`, so that each pair shares a page
// and mostly a cache line; returns the first pair's header address. The
// chunks carry their headers only: no chain links. Recycled chunks are handed
// out before fresh space is cut, so while a free list of either size holds a
// chunk this cuts nothing and returns null with errno EAGAIN (and no text);
// when fresh space is short, free chunks of other kinds are first made into
// chunks of the two sizes (then EAGAIN: take them with allocate_chunks) or
// into fresh space. Also null for bad arguments (EINVAL) and "out of memory"
// (ENOMEM).
char *carve_chunk_pairs(Allocator base, std::uint64_t count, std::uint8_t first_size, std::uint8_t second_size);

// Cuts `count` fresh pairs as carve_chunk_pairs does while the free lists
// hold fewer bytes than the pairs need: a chain of many links whose pairs
// lie side by side is read at memory speed (chain.hpp, runs). Space the
// lists hold enough of is taken from them instead (by the caller), so that a
// file whose users give back as much as they take does not grow: the run is
// worth fresh space only when the lists could not have served the take.
// Null with errno EAGAIN when the lists hold as much, the area has no room
// or the file system cannot store it (no text: the caller takes recycled
// chunks instead, and reports their failure), or EINVAL for bad arguments.
char *carve_run_pairs(Allocator base, std::uint64_t count, std::uint8_t first_size, std::uint8_t second_size);

// When a claim of fresh space reserves the file's blocks (see allocator.cpp):
// at once, so that a file system without room refuses the claim, or page by
// page, for a block that is written sparsely over its life and would
// otherwise take all its storage up front: its writer reserves each page
// with reserve_pages before its first store there.
enum class Backing : std::uint8_t { now, on_first_write };

// A block of `length` bytes that is never freed: returns its data address, or
// null (null base, length 0, "out of memory", or no room on the file system).
// Its bytes read zero. When fresh space is short it is cut from a run of free
// chunks side by side, if one holds it.
char *allocate_block(Allocator base, std::uint64_t length, Backing backing = Backing::now);

// Reserves the file's blocks behind the pages of [address, address + length)
// of the segment: of a block allocated with Backing::on_first_write before
// the caller's first store there, or of a file that a version which reserved
// nothing wrote. True when they are backed (or the file system cannot
// reserve); false after recording "the file system has no room for the
// segment" with its errno. Takes no lock: a reservation changes no byte.
bool reserve_pages(Allocator base, const char *address, std::uint64_t length);

// Puts the chunk whose data starts at `data` on its free list. False for a null
// argument or a chunk whose size byte is not a list size (no text recorded),
// and for anything that is not a chunk handed out by this segment: outside the
// allocated area, off the 8-byte grid, a block, or a span that does not match
// the size byte.
bool free_chunk(Allocator base, char *data);

// Frees the `count` chunks of a chain that allocate_chunks handed out, from
// its first chunk's header `first`, following the chain (each link read
// before its chunk is freed). False at the first chunk it cannot free or reach;
// the rest stay allocated.
bool free_chain(Allocator base, char *first, std::uint64_t count);

// Throws what check_free throws when the allocator refuses a free.
[[noreturn]] void throw_refused_free();

// free_chunk, throwing std::runtime_error when it refuses:
//   "check_free<true>(Allocator allocator, void * target) failed!"
void check_free(Allocator base, void *target);
//   "check_free<true>(Allocator allocator, const Offset<true> &target) failed!"
//   (`target` is a data Offset)
void check_free(Allocator base, Offset target);

// Bytes still unallocated (capacity - offset), read under the lock.
std::uint64_t unallocated_bytes(Allocator base);

// The free-listed count (memory_manager.hpp): bytes of the chunks on the free
// lists, exact while only this version changes them; read under the lock.
std::uint64_t free_listed_bytes(Allocator base);

// For an offline repair, which knows that nothing reaches the bytes [from,
// to) of the chunk area (on the 8-byte grid, below the offset): zeroes them
// and gives them back, as unallocated space when they end at the offset,
// else as chunks of the list sizes on their lists (all but the 8 or 16 bytes
// no list size fits, left as a zero word or a filler: chunk.hpp).
struct SpaceGiven {
    std::uint64_t listed = 0;       // bytes of the chunks listed
    std::uint64_t chunks = 0;       // chunks listed
    std::uint64_t unallocated = 0;  // bytes made unallocated
};
SpaceGiven give_back_space(Allocator base, Offset from, Offset to);

// The bytes of `length` unreached bytes that give_back_space lists (when
// they do not end at the offset), in a segment of `data_chunk_size`.
std::uint64_t listable_bytes(std::uint64_t length, std::uint8_t data_chunk_size);

// Walks the free lists whole and sets the free-listed count to the bytes
// they hold (for an offline repair); returns it.
std::uint64_t recount_free_listed(Allocator base);

}  // namespace zorvik
