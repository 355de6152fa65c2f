#include "zorvik/core/segment/mapped_files.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "zorvik/core/platform/fork_handlers.hpp"
#include "zorvik/core/platform/space_reservation.hpp"
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
    return platform::on_fork([] { files_mutex.lock(); }, [] { files_mutex.unlock(); }, [] { files_mutex.unlock(); });
}
[[maybe_unused]] const bool fork_handlers_installed = install_fork_handlers();

MappedFile *find(Allocator base) {
    for (MappedFile &file : files) {
        if (file.base == base) return &file;
    }
    return nullptr;
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
    const int error = platform::reserve_space(file->fd, first, last);
    if (platform::cannot_reserve_here(error)) {
        file->cannot_reserve = true;
        return 0;
    }
    return error;
}

int reserve_file_range(int fd, std::uint64_t length) noexcept {
    const int error = platform::reserve_space(fd, 0, length);
    return platform::cannot_reserve_here(error) ? 0 : error;
}

}  // namespace zorvik
