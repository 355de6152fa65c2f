// Reserving a file's blocks before a shared view of it is written, so that a
// full file system is an error at the reservation and never a SIGBUS at the
// first store to an unbacked page (segment/mapped_files.hpp keeps what to
// reserve and when).
//
// Linux: fallocate(2) keeping the file's length (space_reservation_linux.cpp).
// macOS: fcntl F_PREALLOCATE (space_reservation_macos.cpp). Where the file
// system cannot reserve (tmpfs of old kernels, some network file systems),
// the answer says so and the pages are backed at their first store, as
// without a reservation. Never a fallback that writes the file: a byte
// written to "reserve" a page of a shared view races with other processes'
// stores into it.
#pragma once

#include <cstdint>

namespace zorvik::platform {

// Reserves file positions [from, to) of `fd` without changing its length.
// Returns 0 when they are backed, otherwise the file system's errno
// (ENOSPC, EDQUOT, EFBIG, ... or one that cannot_reserve_here accepts).
int reserve_space(int fd, std::uint64_t from, std::uint64_t to) noexcept;

// Whether `error` from reserve_space means the file system cannot reserve
// at all (and never will for this file).
bool cannot_reserve_here(int error) noexcept;

}  // namespace zorvik::platform
