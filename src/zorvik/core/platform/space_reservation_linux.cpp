#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "zorvik/core/platform/space_reservation.hpp"

namespace zorvik::platform {
namespace {

// Ranges up to this long are asked for whole, without a hole search first:
// on tmpfs the search walks every written page from `from` to the next hole,
// which may lie far past `to` (about 23 µs a MiB: a range just before the
// file's written tail cost a build step of the doubling 5 ms at 2M buckets),
// while asking for 256 pages that exist costs a few dozen microseconds.
constexpr std::uint64_t kAskedWhole = std::uint64_t{1} << 20;

}  // namespace

// A long range skips what already has blocks (a hole search is cheap next to
// asking for many blocks that exist). The system call, not posix_fallocate:
// where the file system cannot reserve, glibc's fallback writes a zero byte
// into each block, which would race with other processes' stores into the
// same shared pages.
int reserve_space(int fd, std::uint64_t from, std::uint64_t to) noexcept {
    if (from >= to) return 0;
    if (to - from > kAskedWhole) {
        const off_t hole = lseek(fd, static_cast<off_t>(from), SEEK_HOLE);
        if (hole >= 0 && static_cast<std::uint64_t>(hole) >= to) return 0;
        if (hole >= 0) from = static_cast<std::uint64_t>(hole);
    }
    for (;;) {
        if (fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(to - from)) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

bool cannot_reserve_here(int error) noexcept { return error == EOPNOTSUPP || error == ENOSYS; }

}  // namespace zorvik::platform
