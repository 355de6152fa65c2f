// This process's record of the segment files it maps, one record per view,
// keyed by the view's Allocator base. Two things need more than the view:
//
//   - reserving the file's blocks before the allocator hands out space, so
//     that a full file system is an allocation error and never a SIGBUS at
//     the first store to an unbacked page: that needs the file's descriptor
//     and how far this process has made sure of the blocks;
//   - telling whether a process still uses the file (a lock holder whose
//     process id was reused by another program), and saying which file in a
//     message: that needs the file's device, inode and path.
//
// The records are process memory behind one mutex, taken only when space is
// reserved (once per step of at least a mebibyte) and when a lock has been
// waited on for a while; never on an operation's fast path.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "zorvik/core/segment/layout.hpp"

namespace zorvik {

// The first step reserved at creation and the bounds of every later step: a
// step is an eighth of what is reserved already, within these bounds, so that
// a small dictionary backs about a mebibyte ahead of its use and a large one
// takes the file system's space in few calls.
inline constexpr std::uint64_t kLeastReservationStep = std::uint64_t{1} << 20;  // 1 MiB
inline constexpr std::uint64_t kMostReservationStep = std::uint64_t{64} << 20;  // 64 MiB

// The text of a failed reservation, after the "mm:alloc: " prefix; the file
// system's error follows it in parentheses.
inline constexpr const char kNoFileSpaceText[] = "the file system has no room for the segment";

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
};

// Records the view at `base`: `mapped_length` bytes of the file open as `fd`,
// reached by `path`, whose first `reserved` bytes are known to be backed.
// Never throws: a record that cannot be made leaves the view unrecorded (its
// space is then not reserved ahead, and its lock holders are judged without
// the file's identity).
void record_mapped_file(Allocator base, std::uint64_t mapped_length, int fd, const std::string &path,
                        std::uint64_t reserved) noexcept;
// Forgets the view at `base` (before it is unmapped and its file closed).
void forget_mapped_file(Allocator base) noexcept;

// The identity of the file whose recorded view holds `address`; false when
// no recorded view does.
bool mapped_file_of(const void *address, FileIdentity &out);

// Makes sure that the file's blocks behind Offsets [0, end) of the view at
// `base` exist, reserving a step ahead when it must ask the file system. True
// when they do (or the file system cannot reserve, which leaves the old
// behaviour); false with errno and the error text "mm:alloc: the file system
// has no room for the segment (<the file system's error>)" when the file
// system refuses. Call with the allocator's lock held: the Offset it covers
// is the one about to be handed out.
bool reserve_file_space(Allocator base, Offset end) noexcept;

// Reserves file positions [0, length) of `fd` directly, for a file being
// created (before anything is written to it). Returns 0, or the file system's
// errno; a file system that cannot reserve counts as success.
int reserve_file_range(int fd, std::uint64_t length) noexcept;

}  // namespace zorvik
