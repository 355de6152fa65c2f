// The shared segment on POSIX: a file in the temporary directory, mapped
// MAP_SHARED read-write by every process that uses it, plus the process-wide
// error text that the segment and the allocator write their failures into.
//
// Nothing here throws: every failure is a null result and a recorded text.
// A failed creation removes the file it made; an attach never removes, never
// lengthens and never writes the file it opened.
#include "zorvik/core/segment/segment.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "zorvik/core/segment/atomics.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

// ---- error text ---------------------------------------------------------------

constexpr std::size_t kErrorTextMax = 1024;

// One buffer for the whole process, written without a lock: concurrent
// failures in several threads may interleave in it. Each text is composed in a
// local buffer first, so a reader sees at worst a mix of two complete texts.
char error_text[kErrorTextMax + 1];

// Appends up to `length` bytes of `piece`, never past kErrorTextMax.
void append_cut(char *text, std::size_t &used, const char *piece, std::size_t length) {
    std::size_t room = kErrorTextMax - used;
    std::size_t take = length < room ? length : room;
    std::memcpy(text + used, piece, take);
    used += take;
}

void append_cut(char *text, std::size_t &used, const char *piece) {
    append_cut(text, used, piece, std::strlen(piece));
}

// strerror without the shared static buffer of the plain function (GNU form:
// returns either `buffer` or a static string).
const char *errno_text(int error, char *buffer, std::size_t size) { return strerror_r(error, buffer, size); }

// Records "<message>" with the errno value `error` filled into its "%lu".
void record_platform_error(const char *format, int error) {
    char message[160];
    std::snprintf(message, sizeof message, format, static_cast<unsigned long>(error));
    record_error(kSegmentError | kAppendErrno, message);
}

// Records a failure of the current operation (kinds 2 and 4), keeping errno as
// the failed call left it. `format` may hold one "%lu" for errno.
void record_failure(const char *format) {
    int error = errno;
    record_platform_error(format, error);
    errno = error;
}

// ---- temporary directory and new file -----------------------------------------

// $TMPDIR when set and not empty, else /tmp.
const char *temporary_directory() {
    const char *dir = std::getenv("TMPDIR");
    return (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
}

// Fills `path` with "<tmpdir>/mm<pid>XXXXXX". False (errno ENAMETOOLONG) when
// that does not fit in a path.
bool make_file_template(char (&path)[PATH_MAX]) {
    int written = std::snprintf(path, sizeof path, "%s/mm%dXXXXXX", temporary_directory(), host::own_pid());
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof path) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// Undoes a creation that failed after its file was made. errno keeps the value
// of the failure being reported.
void remove_new_file(int fd, const char *path) {
    int error = errno;
    if (fd >= 0) close(fd);
    unlink(path);
    errno = error;
}

void close_keeping_errno(int fd) {
    int error = errno;
    close(fd);
    errno = error;
}

// ---- header of a new segment ----------------------------------------------------

void write_free_list(FreeList &list, std::uint8_t chunk_size) {
    list.span = static_cast<std::uint8_t>(chunk_size + 2);
    list.chunk_size = chunk_size;
    list.head = 0;
}

// Called on a view nobody else can see yet (the file name has not left this
// process), so plain writes suffice. The zero-filled file supplies the lock
// word, the reserved list and the reserved bytes.
void initialise_new_segment(Allocator base, std::uint64_t size, std::uint8_t chunk_size) {
    MemoryManager *manager = memory_manager(base);
    manager->capacity = size + kMemoryManagerLength;
    manager->offset = kFirstChunk;
    manager->chunk_size = chunk_size;
    write_free_list(manager->entry_list, kEntryChunkSize);
    write_free_list(manager->link_list, kLinkChunkSize);
    write_free_list(manager->data_list, chunk_size);
}

void write_open_record(Allocator base, std::uint64_t mapped_length, std::uint64_t usable_size) {
    // Both fields are 8-aligned (file positions 0 and 8 of a page-aligned view);
    // several processes may write them at once and nothing reads them back, so
    // a plain store of each suffices.
    SegmentHeader *header = segment_header(base);
    std::uint64_t requested = usable_size <= std::numeric_limits<std::uint64_t>::max() - kMemoryManagerLength
                                  ? usable_size + kMemoryManagerLength
                                  : std::numeric_limits<std::uint64_t>::max();
    atomics::store64(&header->mapped_length, mapped_length);
    atomics::store64(&header->requested_capacity, requested);
}

void *map_shared(int fd, std::uint64_t length) {
    void *view = mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

Allocator base_of_view(void *view) { return static_cast<char *>(view) + kSegmentHeaderLength; }

// Stores the canonical path of the new file at `file_template` into `path_out`.
// Sets errno and returns false on failure.
bool store_canonical_path(const char *file_template, std::string *path_out) {
    char *canonical = realpath(file_template, nullptr);
    if (canonical == nullptr) return false;
    bool stored = true;
    if (path_out != nullptr) {
        try {
            path_out->assign(canonical);
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            stored = false;
        }
    }
    std::free(canonical);
    return stored;
}

Allocator create_segment(std::uint64_t size, std::uint8_t chunk_size, Segment &out, std::string *path_out) {
    std::uint64_t length = 0;
    if (!segment_mapped_length(size, length) ||
        length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        // No file can have this length; nothing has been created yet.
        errno = EFBIG;
        record_failure("failed to write memory file, last error: %lu");
        return nullptr;
    }

    char path[PATH_MAX];
    int fd = -1;
    if (make_file_template(path)) fd = mkostemp(path, O_CLOEXEC);  // exclusive, mode 0600
    if (fd < 0) {
        record_failure("failed to generate memory file name");
        return nullptr;
    }
    if (ftruncate(fd, static_cast<off_t>(length)) != 0) {
        record_failure("failed to write memory file, last error: %lu");
        remove_new_file(fd, path);
        return nullptr;
    }
    if (!store_canonical_path(path, path_out)) {
        record_failure("failed to get file name error: %lu");
        remove_new_file(fd, path);
        return nullptr;
    }
    void *view = map_shared(fd, length);
    if (view == nullptr) {
        record_failure("failed to open map view of file error: %lu");
        remove_new_file(fd, path);
        return nullptr;
    }

    Allocator base = base_of_view(view);
    write_open_record(base, length, size);
    initialise_new_segment(base, size, chunk_size);
    out.base = base;
    out.file = fd;
    out.mapped_length = length;
    return base;
}

// The length at which an opened file can be mapped: its current length. Only a
// regular file with contents qualifies; anything else (a FIFO, a device, an
// empty file) is refused before mmap, so that no access can run past the end
// of the file. Sets errno and returns false otherwise.
bool mappable_length(int fd, std::uint64_t &length_out) {
    struct stat info;
    if (fstat(fd, &info) != 0) return false;
    if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
        errno = EINVAL;
        return false;
    }
    length_out = static_cast<std::uint64_t>(info.st_size);
    return true;
}

Allocator attach_segment(const char *name, Segment &out) {
    int fd = open(name, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        record_failure("failed to create memory file");
        return nullptr;
    }
    std::uint64_t length = 0;
    if (!mappable_length(fd, length)) {
        record_failure("failed to open map view of file error: %lu");
        close_keeping_errno(fd);
        return nullptr;
    }
    void *view = map_shared(fd, length);
    if (view == nullptr) {
        record_failure("failed to open map view of file error: %lu");
        close_keeping_errno(fd);
        return nullptr;
    }
    out.base = base_of_view(view);
    out.file = fd;
    out.mapped_length = length;
    return out.base;
}

}  // namespace

// ---- public interface -------------------------------------------------------------

std::uint32_t system_page_size() {
    // Several threads may fill it at once; each stores the same value.
    static std::atomic<std::uint32_t> page_size{0};
    std::uint32_t size = page_size.load(std::memory_order_relaxed);
    if (size == 0) {
        long asked = sysconf(_SC_PAGESIZE);
        size = asked > 0 ? static_cast<std::uint32_t>(asked) : 4096u;
        page_size.exchange(size, std::memory_order_relaxed);
    }
    return size;
}

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

Allocator segment_open(std::uint64_t size, const char *name, std::uint8_t chunk_size, Segment &out,
                       std::string *path_out) {
    out = Segment{};
    if (name != nullptr) return attach_segment(name, out);
    if (size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    return create_segment(size, chunk_size, out, path_out);
}

void segment_mark_attached(const Segment &segment, std::uint64_t usable_size) {
    if (segment.base == nullptr) return;
    write_open_record(segment.base, segment.mapped_length, usable_size);
}

void segment_close(Segment &segment) {
    if (segment.base == nullptr) return;
    void *view = segment.base - kSegmentHeaderLength;
    if (munmap(view, static_cast<std::size_t>(segment.mapped_length)) != 0) {
        record_failure("failed to close map view error: %lu");
    }
    if (segment.file >= 0 && close(segment.file) != 0) {
        record_failure("failed to close handle error: %lu");
    }
    segment = Segment{};
}

void record_error(unsigned kind, const char *message) {
    const int error = errno;  // the value at the moment of the call, whatever set it
    char text[kErrorTextMax + 1];
    std::size_t used = 0;
    append_cut(text, used, (kind & kAllocatorError) ? "mm:alloc: " : "mm:core: ");
    append_cut(text, used, message);
    if ((kind & kAppendErrno) && error != 0) {
        // " (" and ")" are added only where they fit whole; the errno text is
        // cut to the room left.
        if (used <= kErrorTextMax - 3) append_cut(text, used, " (");
        char buffer[256];
        append_cut(text, used, errno_text(error, buffer, sizeof buffer));
        if (used <= kErrorTextMax - 2) append_cut(text, used, ")");
    }
    text[used] = '\0';
    std::memcpy(error_text, text, used + 1);
    errno = error;
}

const char *last_error() { return error_text[0] != '\0' ? error_text : nullptr; }

}  // namespace zorvik
