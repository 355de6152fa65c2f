#include "zorvik/core/segment/mapped_files.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "zorvik/core/segment/error_text.hpp"

namespace zorvik {
namespace {

struct MappedFile {
    Allocator base;
    std::uint64_t mapped_length;
    int fd;
    FileIdentity identity;
    bool cannot_reserve;  // the file system has no fallocate: nothing to do
};

// Guards `files`. Held across a fork (taken before, released after in both
// processes), so that a child never inherits it locked by a thread it lacks.
std::mutex files_mutex;
std::vector<MappedFile> files;

bool install_fork_handlers() {
    return pthread_atfork([] { files_mutex.lock(); }, [] { files_mutex.unlock(); },
                          [] { files_mutex.unlock(); }) == 0;
}
[[maybe_unused]] const bool fork_handlers_installed = install_fork_handlers();

MappedFile *find(Allocator base) {
    for (MappedFile &file : files) {
        if (file.base == base) return &file;
    }
    return nullptr;
}

bool no_reservation_here(int error) { return error == EOPNOTSUPP || error == ENOSYS; }

// Ranges up to this long are asked for whole, without a hole search first:
// on tmpfs the search walks every written page from `from` to the next hole,
// which may lie far past `to` (about 23 µs a MiB: a range just before the
// file's written tail cost a build step of the doubling 5 ms at 2M buckets),
// while asking for 256 pages that exist costs a few dozen microseconds.
constexpr std::uint64_t kAskedWhole = std::uint64_t{1} << 20;

// Backs file positions [from, to) of `fd` without changing the file's
// length; a long range skips what already has blocks (a hole search is cheap
// next to asking for many blocks that exist). Returns 0 or the errno. The
// system call, not posix_fallocate: where the file system cannot reserve,
// glibc's fallback writes a zero byte into each block, which would race with
// other processes' stores into the same shared pages.
int back_range(int fd, std::uint64_t from, std::uint64_t to) {
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

}  // namespace

void record_mapped_file(Allocator base, std::uint64_t mapped_length, int fd, const std::string &path) noexcept {
    struct stat info;
    if (fstat(fd, &info) != 0) return;
    try {
        std::lock_guard<std::mutex> guard(files_mutex);
        files.push_back(MappedFile{base, mapped_length, fd, FileIdentity{info.st_dev, info.st_ino, path}, false});
    } catch (...) {
        // No memory for the record: the view works without it (see the header).
    }
}

void rename_mapped_file(Allocator base, const std::string &path) noexcept {
    std::lock_guard<std::mutex> guard(files_mutex);
    MappedFile *file = find(base);
    if (file == nullptr) return;
    try {
        file->identity.path = path;
    } catch (...) {
        // No memory for the name: messages keep the old one.
    }
}

void forget_mapped_file(Allocator base) noexcept {
    std::lock_guard<std::mutex> guard(files_mutex);
    files.erase(std::remove_if(files.begin(), files.end(), [base](const MappedFile &f) { return f.base == base; }),
                files.end());
}

bool mapped_file_of(const void *address, FileIdentity &out) {
    const char *at = static_cast<const char *>(address);
    std::lock_guard<std::mutex> guard(files_mutex);
    for (const MappedFile &file : files) {
        const char *view = file.base - kSegmentHeaderLength;
        if (at >= view && static_cast<std::uint64_t>(at - view) < file.mapped_length) {
            out = file.identity;
            return true;
        }
    }
    return false;
}

int reserve_file_space(Allocator base, Offset from, Offset to) noexcept {
    std::lock_guard<std::mutex> guard(files_mutex);
    MappedFile *file = find(base);
    if (file == nullptr || file->cannot_reserve) return 0;
    // File positions: the view starts at the segment's header. Offsets come
    // from the allocator (below its capacity, which fits the view), so these
    // sums cannot wrap; they are still cut at the view's end.
    const std::uint64_t first = std::min(from + kSegmentHeaderLength, file->mapped_length);
    const std::uint64_t last = std::min(to + kSegmentHeaderLength, file->mapped_length);
    if (first >= last) return 0;
    const int error = back_range(file->fd, first, last);
    if (no_reservation_here(error)) {
        file->cannot_reserve = true;
        return 0;
    }
    return error;
}

int reserve_file_range(int fd, std::uint64_t length) noexcept {
    const int error = back_range(fd, 0, length);
    return no_reservation_here(error) ? 0 : error;
}

}  // namespace zorvik
