#include "zorvik/core/segment/replacement_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "zorvik/core/segment/file_errors.hpp"

namespace zorvik {
namespace {

// The directory part of `path` ("." when it names none, "/" for the root's files).
std::string directory_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// ".zorvik-repair-<inode>-": what every replacement of the file starts with.
std::string name_prefix(const struct stat &original) {
    return ".zorvik-repair-" + std::to_string(static_cast<unsigned long long>(original.st_ino)) + "-";
}

// Copied in pieces of this many bytes where copy_file_range cannot serve.
constexpr std::size_t kCopyPiece = std::size_t{1} << 20;  // 1 MiB

// Copies [from, to) of `source` into `target` at the same place; 0 or errno.
int copy_range(int source, int target, off_t from, off_t to) {
    while (from < to) {
        off_t in = from, out = from;
        const ssize_t copied = copy_file_range(source, &in, target, &out, static_cast<std::size_t>(to - from), 0);
        if (copied > 0) {
            from += copied;
            continue;
        }
        if (copied == 0) return EIO;  // the source ended before its length
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
        // A file system or kernel without it: read and write.
        std::vector<char> piece(kCopyPiece);
        while (from < to) {
            const ssize_t got = pread(source, piece.data(), std::min<off_t>(to - from, kCopyPiece), from);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return got == 0 ? EIO : errno;
            for (ssize_t done = 0; done < got;) {
                const ssize_t put = pwrite(target, piece.data() + done, static_cast<std::size_t>(got - done), from + done);
                if (put < 0 && errno == EINTR) continue;
                if (put < 0) return errno;
                done += put;
            }
            from += got;
        }
    }
    return 0;
}

}  // namespace

ReplacementFile ReplacementFile::make_beside(const std::string &path, const struct stat &original) {
    std::string name = directory_of(path) + "/" + name_prefix(original) + "XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int file = mkostemp(buffer.data(), O_CLOEXEC);  // exclusive, mode 0600
    if (file < 0) throw FileError(errno, path, "cannot make the repair's copy beside the dictionary's file");
    return ReplacementFile(std::string(buffer.data()), file);
}

ReplacementFile::ReplacementFile(ReplacementFile &&other) noexcept
    : path_(std::move(other.path_)), file_(std::exchange(other.file_, -1)), placed_(other.placed_) {
    other.placed_ = true;  // nothing left for the moved-from one to remove
}

ReplacementFile::~ReplacementFile() {
    if (file_ >= 0) close(file_);
    if (!placed_) unlink(path_.c_str());
}

void ReplacementFile::copy_from(int source, std::uint64_t length) {
    const off_t end = static_cast<off_t>(length);
    if (ftruncate(file_, end) != 0) throw FileError(errno, path_, "cannot copy the dictionary's file");
    off_t at = 0;
    while (at < end) {
        off_t data = lseek(source, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // nothing but a hole to the end
            data = at;                   // no hole search here: copy it all
        }
        off_t hole = data < end ? lseek(source, data, SEEK_HOLE) : end;
        if (hole < 0 || hole > end) hole = end;
        if (const int error = copy_range(source, file_, data, hole); error != 0) {
            throw FileError(error, path_, "cannot copy the dictionary's file");
        }
        at = hole;
    }
}

void ReplacementFile::take_place_of(const std::string &target, const struct stat &original) {
    if (fsync(file_) != 0) throw FileError(errno, path_, "cannot sync the repaired copy");
    if (fchown(file_, original.st_uid, original.st_gid) != 0 || fchmod(file_, original.st_mode & 07777) != 0) {
        throw FileError(errno, target, "cannot give the repaired copy the owner and mode of the dictionary's file");
    }
    // Every other repair of the file is refused while this one holds it (the
    // caller's guarantee), so the path can only have changed by another
    // hand: its file then stays.
    struct stat now;
    if (lstat(target.c_str(), &now) != 0 || now.st_dev != original.st_dev || now.st_ino != original.st_ino) {
        throw FileError(ESTALE, target, "the path leads to another file than the one repaired");
    }
    if (rename(path_.c_str(), target.c_str()) != 0) throw FileError(errno, target, "cannot put the repaired copy in place");
    placed_ = true;
    const int directory = open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);  // the rename lasts a crash of the machine; a failure only loses that
        close(directory);
    }
}

void remove_leftover_replacements(const std::string &path, const struct stat &original, const std::string &keep) {
    const std::string directory = directory_of(path);
    const std::string prefix = name_prefix(original);
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> leftovers;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = directory + "/" + entry->d_name;
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0 && name != keep) leftovers.push_back(name);
    }
    closedir(dir);
    for (const std::string &name : leftovers) unlink(name.c_str());
}

}  // namespace zorvik
