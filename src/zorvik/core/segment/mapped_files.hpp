// This process's record of the segment files it maps, one record per view,
// keyed by the view's Allocator base. Two things need more than the view:
//
//   - reserving the file's blocks before the allocator hands out space, so
//     that a full file system is an allocation error and never a SIGBUS at
//     the first store to an unbacked page: that needs the file's descriptor;
//   - telling whether a process still uses the file (a lock holder whose
//     process id was reused by another program), and saying which file in a
//     message: that needs the file's device, inode and path.
//
// The records are process memory behind one mutex, taken only when space is
// reserved (once per window of the allocator's, 64 KiB) and when a lock has
// been waited on for a while; never on an operation's fast path.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "zorvik/core/segment/layout.hpp"

namespace zorvik {

// What a new file reserves before anything is written to it: the segment's
// header and the allocator's MemoryManager, which lie in its first 64 KiB
// (allocator.cpp checks that they do); the allocator reserves the rest as it
// hands it out.
inline constexpr std::uint64_t kCreationReservation = std::uint64_t{1} << 16;

// The text of a failed reservation, after the "mm:alloc: " prefix; the file
// system's error follows it in parentheses.
inline constexpr const char kNoFileSpaceText[] = "the file system has no room for the segment";

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
};

// Records the view at `base`: `mapped_length` bytes of the file open as `fd`,
// reached by `path`. Never throws: a record that cannot be made leaves the
// view unrecorded (its space is then not reserved ahead, and its lock holders
// are judged without the file's identity).
void record_mapped_file(Allocator base, std::uint64_t mapped_length, int fd, const std::string &path) noexcept;
// The view at `base` is reached by `path` from now on (a new file given its
// name).
void rename_mapped_file(Allocator base, const std::string &path) noexcept;
// Forgets the view at `base` (before it is unmapped and its file closed).
void forget_mapped_file(Allocator base) noexcept;

// The identity of the file whose recorded view holds `address`; false when
// no recorded view does.
bool mapped_file_of(const void *address, FileIdentity &out);

// Reserves the file's blocks behind Offsets [from, to) of the view at `base`
// (fallocate without changing the file's length; blocks that exist already
// are skipped). Returns 0 when they are backed, also when the view is not
// recorded or its file system cannot reserve (its pages are then backed at
// their first store); otherwise the file system's errno (ENOSPC, EDQUOT,
// EFBIG, ...). Records no error text. Concurrent calls are harmless: a
// reservation changes no byte of the file.
int reserve_file_space(Allocator base, Offset from, Offset to) noexcept;

// Reserves file positions [0, length) of `fd` directly, for a file being
// created (before anything is written to it). Returns 0, or the file system's
// errno; a file system that cannot reserve counts as success.
int reserve_file_range(int fd, std::uint64_t length) noexcept;

}  // namespace zorvik
