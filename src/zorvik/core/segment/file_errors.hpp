// The failures that concern the file itself rather than the structures in
// it: a path the caller chose that cannot be opened or created, a file that a
// repair holds, a file that others hold when it must be had alone, and a file
// that has no room left for what a caller asked to store. Hosts translate them (the Python binding: an OSError of the errno,
// naming the path; and the error of its dictionary class for a full file or
// a file being repaired).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "zorvik/core/segment/export.hpp"

namespace zorvik {

// A path could not be opened or created as asked: `code()` holds the errno
// (ENOENT for a missing file, EEXIST for a file that exists, EACCES, EISDIR,
// ...), path() the path as the caller gave it.
class ZORVIK_EXPORT FileError : public std::system_error {
public:
    FileError(int error, std::string path, const char *what);
    // With `reason`: what a host shows in place of the errno's own text, when
    // that text alone would not say why (EBUSY: a repair holds the file).
    FileError(int error, std::string path, const char *what, std::string reason);
    const std::string &path() const noexcept { return path_; }
    const std::string &reason() const noexcept { return reason_; }

private:
    std::string path_;
    std::string reason_;
};

// A file opened by name (an attach: the name constructor, the operator's
// reads) while a repair holds it alone: the open lock could not be had
// shared (segment.hpp). what() names the path and says to wait for the
// repair's end.
class ZORVIK_EXPORT FileBeingRepaired : public std::runtime_error {
public:
    explicit FileBeingRepaired(const std::string &path);
    const std::string &path() const noexcept { return path_; }

private:
    std::string path_;
};

// A file that must be had alone (an offline repair holds the open lock
// exclusive) while processes hold it open or map it: pids() names them
// (empty when none this user can see), what() says so and when to repair.
class ZORVIK_EXPORT FileInUse : public std::runtime_error {
public:
    FileInUse(const std::string &path, std::vector<int> pids, const std::string &what);
    const std::string &path() const noexcept { return path_; }
    const std::vector<int> &pids() const noexcept { return pids_; }

private:
    std::string path_;
    std::vector<int> pids_;
};

// No room left for an allocation: in the segment (its capacity is all
// allocated; what() is the text the allocator gave, "Cannot allocate memory"
// or "mm:alloc: out of memory") or in the file system that holds the file
// (what() is "mm:alloc: the file system has no room for the segment (No
// space left on device)"; error() the file system's errno).
class ZORVIK_EXPORT SpaceExhausted : public std::runtime_error {
public:
    enum class Where : std::uint8_t { segment, file_system };
    SpaceExhausted(Where where, int error, const std::string &what)
        : std::runtime_error(what), where_(where), error_(error) {}
    Where where() const noexcept { return where_; }
    int error() const noexcept { return error_; }

private:
    Where where_;
    int error_;
};

// The exception an allocator failure with `error` (its errno) becomes:
// SpaceExhausted for ENOMEM (the segment is full) and for the file system's
// refusals of a reservation (ENOSPC, EDQUOT, EFBIG: the file system or the
// user's share of it is full, or the file may not grow), std::runtime_error
// for anything else; `what` is its text.
[[noreturn]] void throw_allocation_failure(int error, const std::string &what);

}  // namespace zorvik
