// The shared segment on POSIX: a file in the temporary directory, mapped
// MAP_SHARED read-write by every process that uses it.
//
// Nothing here throws: every failure is an empty Segment and a recorded text.
// A new file is removed by its Segment unless kept; an attach never removes,
// never lengthens and never writes the file it opened.
#include "zorvik/core/segment/segment.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "zorvik/core/platform/page_size.hpp"
#include "zorvik/core/segment/atomics.hpp"
#include "zorvik/core/segment/error_text.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/mapped_files.hpp"

namespace zorvik {
namespace {

// Records a failure of the current operation (kinds 2 and 4), keeping errno as
// the failed call left it. `format` may hold one "%lu" for errno.
void record_failure(const char *format) {
    const int error = errno;
    char message[160];
    std::snprintf(message, sizeof message, format, static_cast<unsigned long>(error));
    record_error(kSegmentError | kAppendErrno, message);
    errno = error;
}

// The messages, as every caller (and the tests) know them.
constexpr const char kCannotName[] = "failed to generate memory file name";
constexpr const char kCannotLengthen[] = "failed to write memory file, last error: %lu";
constexpr const char kCannotResolve[] = "failed to get file name error: %lu";
constexpr const char kCannotOpen[] = "failed to create memory file";
constexpr const char kCannotMap[] = "failed to open map view of file error: %lu";
constexpr const char kCannotUnmap[] = "failed to close map view error: %lu";
constexpr const char kCannotClose[] = "failed to close handle error: %lu";
constexpr const char kCannotRemove[] = "failed to remove memory file error: %lu";
constexpr const char kOpenLockHeld[] = "the file is held by another process (open lock), error: %lu";

// Takes the open lock on `fd` without waiting. False (errno EWOULDBLOCK) only
// when another open file description holds it against `lock`; on a file
// system without flock there is no lock to take, and the open goes on.
bool take_open_lock(int fd, Segment::OpenLock lock) {
    const int operation = (lock == Segment::OpenLock::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    for (;;) {
        if (flock(fd, operation) == 0) return true;
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) return true;
    }
}

// ---- temporary directory and new file -----------------------------------------

// $TMPDIR when set and not empty, else /tmp.
const char *temporary_directory() {
    const char *dir = std::getenv("TMPDIR");
    return (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
}

// Fills `path` with "<tmpdir>/mm<pid>XXXXXX". False (errno ENAMETOOLONG) when
// that does not fit in a path.
bool make_file_template(char (&path)[PATH_MAX], const char *directory) {
    int written = std::snprintf(path, sizeof path, "%s/mm%dXXXXXX",
                                directory != nullptr ? directory : temporary_directory(), host::own_pid());
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof path) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// Fills `path` with "<dir>/.zorvik-new-<pid>-XXXXXX", <dir> being the
// directory of `target` ("." when it names none). False (errno
// ENAMETOOLONG) when that does not fit in a path.
bool make_template_beside(const char *target, char (&path)[PATH_MAX]) {
    const char *slash = std::strrchr(target, '/');
    int written = 0;
    if (slash == nullptr) {
        written = std::snprintf(path, sizeof path, "./.zorvik-new-%d-XXXXXX", host::own_pid());
    } else {
        // "/name" lies in the root directory, whose path is "/" itself.
        const int directory_length = slash == target ? 1 : static_cast<int>(slash - target);
        written = std::snprintf(path, sizeof path, "%.*s/.zorvik-new-%d-XXXXXX", directory_length, target,
                                host::own_pid());
    }
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof path) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// The length of a new file of `size` usable bytes. False, before anything is
// made, for size 0 (errno EINVAL, no text) and for a length no file can have
// (EFBIG).
bool new_file_length(std::uint64_t size, std::uint64_t &length) {
    if (size == 0) {
        errno = EINVAL;
        return false;
    }
    if (!segment_mapped_length(size, length) ||
        length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        errno = EFBIG;
        record_failure(kCannotLengthen);
        return false;
    }
    return true;
}

// `path` into `out`; false (errno ENOMEM) when there is no memory for it.
bool copy_path(const char *path, std::string &out) {
    try {
        out.assign(path);
        return true;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return false;
    }
}

// The canonical path of the file at `path`. Sets errno and returns false on
// failure.
bool canonical_path(const char *path, std::string &out) {
    char *canonical = realpath(path, nullptr);
    if (canonical == nullptr) return false;
    const bool stored = copy_path(canonical, out);
    std::free(canonical);
    return stored;
}

void write_open_record(Allocator base, std::uint64_t mapped_length, std::uint64_t usable_size) {
    // Both fields are 8-aligned (file positions 0 and 8 of a page-aligned view);
    // several processes may write them at once and nothing reads them back, so
    // a plain store of each suffices.
    SegmentHeader *header = segment_header(base);
    std::uint64_t requested = usable_size <= std::numeric_limits<std::uint64_t>::max() - kBaseRecordLength
                                  ? usable_size + kBaseRecordLength
                                  : std::numeric_limits<std::uint64_t>::max();
    atomics::store64(&header->mapped_length, mapped_length);
    atomics::store64(&header->requested_capacity, requested);
}

// The base of a shared read-write view of `length` bytes of `fd`, or null.
Allocator map_shared(int fd, std::uint64_t length) {
    void *view = mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : static_cast<char *>(view) + kSegmentHeaderLength;
}

// The fault of a path whose status is `info`, before anything is opened; sets
// errno and records the text for every fault. A directory reads as what
// opening it read-write would say (EISDIR), anything else as a file that
// cannot be mapped.
Segment::Fault judge_path(const struct stat &info, std::uint64_t least_length) {
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        record_failure(kCannotOpen);
        return Segment::Fault::not_regular_file;
    }
    const bool regular = S_ISREG(info.st_mode);
    if (regular && info.st_size > 0 && static_cast<std::uint64_t>(info.st_size) >= least_length) {
        return Segment::Fault::none;
    }
    errno = EINVAL;
    record_failure(kCannotMap);
    return regular ? Segment::Fault::too_short : Segment::Fault::not_regular_file;
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

// ---- lifetime ---------------------------------------------------------------------

Segment::~Segment() { close(); }

Segment::Segment(Segment &&other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      file_(std::exchange(other.file_, -1)),
      mapped_length_(std::exchange(other.mapped_length_, 0)),
      path_(std::move(other.path_)),
      remove_on_close_(std::exchange(other.remove_on_close_, false)) {}

Segment &Segment::operator=(Segment &&other) noexcept {
    if (this != &other) {
        close();
        base_ = std::exchange(other.base_, nullptr);
        file_ = std::exchange(other.file_, -1);
        mapped_length_ = std::exchange(other.mapped_length_, 0);
        path_ = std::move(other.path_);
        remove_on_close_ = std::exchange(other.remove_on_close_, false);
    }
    return *this;
}

void Segment::close() {
    // No LOCK_UN: closing the descriptor lets go of the open lock once no
    // other process (a forked child) holds the same open file description.
    if (base_ != nullptr) forget_mapped_file(base_);
    if (base_ != nullptr && munmap(base_ - kSegmentHeaderLength, static_cast<std::size_t>(mapped_length_)) != 0) {
        record_failure(kCannotUnmap);
    }
    if (file_ >= 0 && ::close(file_) != 0) record_failure(kCannotClose);
    if (remove_on_close_ && unlink(path_.c_str()) != 0) record_failure(kCannotRemove);
    forget();
}

void Segment::release_quietly() noexcept {
    const int error = errno;
    if (base_ != nullptr) forget_mapped_file(base_);
    if (base_ != nullptr) munmap(base_ - kSegmentHeaderLength, static_cast<std::size_t>(mapped_length_));
    if (file_ >= 0) ::close(file_);
    if (remove_on_close_) unlink(path_.c_str());
    forget();
    errno = error;
}

void Segment::forget() noexcept {
    base_ = nullptr;
    file_ = -1;
    mapped_length_ = 0;
    path_.clear();
    remove_on_close_ = false;
}

// ---- creation ---------------------------------------------------------------------

Segment Segment::create(std::uint64_t size, const char *directory) {
    std::uint64_t length = 0;
    if (!new_file_length(size, length)) return Segment{};
    char path[PATH_MAX];
    if (!make_file_template(path, directory)) {
        record_failure(kCannotName);
        return Segment{};
    }
    return create_from_template(path, size, length);
}

Segment Segment::create_beside(const char *target, std::uint64_t size) {
    std::uint64_t length = 0;
    if (!new_file_length(size, length)) return Segment{};
    char path[PATH_MAX];
    if (!make_template_beside(target, path)) {
        record_failure(kCannotName);
        return Segment{};
    }
    return create_from_template(path, size, length);
}

Segment Segment::create_from_template(char *path, std::uint64_t size, std::uint64_t length) {
    const int fd = mkostemp(path, O_CLOEXEC);  // exclusive, mode 0600
    if (fd < 0) {
        record_failure(kCannotName);
        return Segment{};
    }
    // From here on every failure removes the file again, keeping errno and
    // the text of the failure being reported.
    Segment made;
    made.file_ = fd;
    auto fail = [&made](const char *format) {
        record_failure(format);
        made.release_quietly();
        return Segment{};
    };
    if (!copy_path(path, made.path_)) {
        unlink(path);  // not yet in `made`, which cannot remove it
        return fail(kCannotResolve);
    }
    made.remove_on_close_ = true;
    take_open_lock(fd, OpenLock::shared);  // a new file: nobody else can hold it yet
    if (ftruncate(fd, static_cast<off_t>(length)) != 0) return fail(kCannotLengthen);
    // The file is sparse: back its headers before anything is stored in it,
    // so that a full file system fails the creation here and never raises
    // SIGBUS at the first store. The allocator backs the rest as it hands it
    // out (mapped_files.hpp).
    if (const int error = reserve_file_range(fd, std::min(length, kCreationReservation)); error != 0) {
        errno = error;
        return fail(kCannotLengthen);
    }
    if (!canonical_path(path, made.path_)) return fail(kCannotResolve);
    made.base_ = map_shared(fd, length);
    if (made.base_ == nullptr) return fail(kCannotMap);
    made.mapped_length_ = length;
    record_mapped_file(made.base_, length, fd, made.path_);
    write_open_record(made.base_, length, size);
    return made;
}

int Segment::publish(const char *target) {
    if (base_ == nullptr || !remove_on_close_) return EINVAL;
    // link(2) gives the file its second name only if that name is free: the
    // one step that decides between two processes creating `target` at once.
    if (link(path_.c_str(), target) != 0) return errno;
    std::string temporary = std::move(path_);
    remove_on_close_ = false;
    if (unlink(temporary.c_str()) != 0) record_failure(kCannotRemove);  // a stray name, nothing worse
    if (!canonical_path(target, path_) && !copy_path(target, path_)) path_.clear();
    rename_mapped_file(base_, path_);
    return 0;
}

// ---- attaching --------------------------------------------------------------------

Segment Segment::attach(const char *path, std::uint64_t least_length, Fault *fault_out, OpenLock lock) {
    Fault ignored = Fault::none;
    Fault &fault = fault_out != nullptr ? *fault_out : ignored;
    fault = Fault::none;
    struct stat seen;
    if (stat(path, &seen) != 0) {
        record_failure(kCannotOpen);
        fault = Fault::unreachable_path;
        return Segment{};
    }
    fault = judge_path(seen, least_length);
    if (fault != Fault::none) return Segment{};

    Segment opened;
    auto fail = [&opened, &fault](const char *format) {
        record_failure(format);
        opened.release_quietly();
        fault = Fault::refused;
        return Segment{};
    };
    opened.file_ = open(path, O_RDWR | O_CLOEXEC);
    if (opened.file_ < 0) return fail(kCannotOpen);
    // The path may lead elsewhere by now: map only the file that was judged.
    struct stat now;
    if (fstat(opened.file_, &now) != 0) return fail(kCannotMap);
    if (!same_file(seen, now)) {
        errno = EINVAL;
        return fail(kCannotMap);
    }
    if (!take_open_lock(opened.file_, lock)) {
        fail(kOpenLockHeld);
        fault = Fault::locked;
        errno = EWOULDBLOCK;
        return Segment{};
    }
    opened.base_ = map_shared(opened.file_, static_cast<std::uint64_t>(now.st_size));
    if (opened.base_ == nullptr) return fail(kCannotMap);
    opened.mapped_length_ = static_cast<std::uint64_t>(now.st_size);
    // A file of a version that reserved nothing may have holes where it is
    // used: the map reserves them once it has checked the file.
    std::string shown;
    if (!canonical_path(path, shown)) copy_path(path, shown);
    record_mapped_file(opened.base_, opened.mapped_length_, opened.file_, shown);
    return opened;
}

int Segment::flush() const {
    if (base_ == nullptr) return 0;
    return msync(base_ - kSegmentHeaderLength, static_cast<std::size_t>(mapped_length_), MS_SYNC) == 0 ? 0 : errno;
}

std::uint64_t Segment::file_length() const {
    struct stat info;
    if (file_ < 0 || fstat(file_, &info) != 0 || info.st_size < 0) return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

void Segment::mark_attached(std::uint64_t usable_size) {
    if (base_ == nullptr) return;
    write_open_record(base_, mapped_length_, usable_size);
}

// ---- sizes ------------------------------------------------------------------------

std::uint32_t system_page_size() { return platform::page_size(); }

bool segment_mapped_length(std::uint64_t size, std::uint64_t &length_out) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t page = system_page_size();
    if (size > max - kFileOverhead) return false;
    std::uint64_t needed = size + kFileOverhead;
    std::uint64_t remainder = needed % page;
    if (remainder == 0) {
        length_out = needed;
        return true;
    }
    if (needed > max - (page - remainder)) return false;
    length_out = needed + (page - remainder);
    return true;
}

}  // namespace zorvik
