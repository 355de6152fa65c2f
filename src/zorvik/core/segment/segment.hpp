// One process's hold on a dictionary's segment file: create a new file in the
// temporary directory or open an existing one, map it shared read-write, and
// later unmap and close it. The file is never removed once it exists (only a
// creation that fails part-way removes its own new file).
//
// Segment operations never throw. They return null and describe the failure
// in the process-wide error text (record_error / last_error), which the
// allocator shares.
//
// POSIX stands in for the reference platform's services: the temporary
// directory is $TMPDIR when set and not empty, else /tmp; a new file is made
// exclusively by mkostemp (O_CLOEXEC) from the template "<tmp>/mm<pid>XXXXXX"
// (mode 0600);
// its length is set with ftruncate; the mapping is mmap(MAP_SHARED); the page
// size comes from sysconf; "%lu" in messages is filled with errno.
#pragma once

#include <cstdint>
#include <string>

#include "zorvik/core/segment/layout.hpp"

namespace zorvik {

// The three things a process holds while a segment is open, released together
// by segment_close.
struct Segment {
    Allocator base = nullptr;       // view start + 24; null when not open
    int file = -1;                  // open file descriptor
    std::uint64_t mapped_length = 0;  // length of this process's view
};

// Creates a new segment of `size` usable bytes (data chunk size `chunk_size`)
// when `name` is null, and writes the SegmentHeader and MemoryManager of a new
// segment. Returns the Allocator base (view start + 24), or null: `size` 0
// (errno EINVAL, no text), or a platform failure (text recorded, new file
// removed). `path_out`, when given, receives the canonical path of a new file.
//
// With `name` (a NUL-terminated UTF-8 path) it opens that existing file and maps
// it at its current length, without lengthening it and without writing a byte
// (see segment_mark_attached). `size` and `chunk_size` are then ignored.
Allocator segment_open(std::uint64_t size, const char *name, std::uint8_t chunk_size, Segment &out,
                       std::string *path_out = nullptr);

// Records an attach the way every open does: writes `mapped_length` and
// `requested_capacity` (= usable size + 64) into the SegmentHeader. An attach
// calls it only after the caller has checked that the file holds a map.
void segment_mark_attached(const Segment &segment, std::uint64_t usable_size);

// Unmaps the view and closes the file; does nothing when `base` is null.
// Failures are only recorded; every step runs.
void segment_close(Segment &segment);

// The page size, asked of the system once per process.
std::uint32_t system_page_size();

// Mapped length for a usable size: size + 88 rounded up to a page multiple.
// Returns false when that does not fit in 64 bits.
bool segment_mapped_length(std::uint64_t size, std::uint64_t &length_out);

// Error text kinds (a bit set).
enum ErrorKind : unsigned {
    kAllocatorError = 1,  // prefix "mm:alloc: "
    kSegmentError = 2,    // prefix "mm:core: "
    kAppendErrno = 4,     // append " (" strerror(errno) ")" when errno != 0
};

// Sets the process-wide error text (at most 1024 characters).
void record_error(unsigned kind, const char *message);
// The error text, or null while nothing has been recorded in this process.
const char *last_error();

}  // namespace zorvik
