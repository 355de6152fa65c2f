// macOS has no fallocate. F_PREALLOCATE reserves blocks for the file on its
// volume, counted from the file's physical end (F_PEOFPOSMODE: the blocks it
// has), without changing its length; a later store into a hole of the file
// takes its blocks from that reservation. It cannot name a range in the
// middle of the file, so it asks for as many bytes as the range holds: never
// fewer than the stores into the range will need. Contiguous blocks first,
// then any.
#include <fcntl.h>

#include <cerrno>

#include "zorvik/core/platform/space_reservation.hpp"

namespace zorvik::platform {
namespace {

int preallocate(int fd, std::uint64_t length, unsigned flags) {
    fstore_t store{};
    store.fst_flags = flags;
    store.fst_posmode = F_PEOFPOSMODE;
    store.fst_offset = 0;
    store.fst_length = static_cast<off_t>(length);
    for (;;) {
        if (fcntl(fd, F_PREALLOCATE, &store) != -1) return 0;
        if (errno != EINTR) return errno;
    }
}

}  // namespace

int reserve_space(int fd, std::uint64_t from, std::uint64_t to) noexcept {
    if (from >= to) return 0;
    if (preallocate(fd, to - from, F_ALLOCATECONTIG | F_ALLOCATEALL) == 0) return 0;
    return preallocate(fd, to - from, F_ALLOCATEALL);
}

bool cannot_reserve_here(int error) noexcept { return error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS; }

}  // namespace zorvik::platform
