// One process's hold on a segment file: a new file made in the temporary
// directory or an existing one opened by its path, mapped shared read-write,
// and unmapped and closed again when the Segment goes. An existing file is
// never removed, lengthened or written by opening it; a new file is removed
// again unless its creator keeps it (keep_file), so a creation that fails at
// any step, here or in the layers above, leaves no file behind.
//
// Segment operations never throw. A failed create or attach gives an empty
// Segment, with errno set and the failure described in the process-wide error
// text (error_text.hpp).
//
// POSIX stands in for the reference platform's services: the temporary
// directory is $TMPDIR when set and not empty, else /tmp; a new file is made
// exclusively by mkostemp (O_CLOEXEC) from the template "<tmp>/mm<pid>XXXXXX"
// (mode 0600); its length is set with ftruncate; the mapping is
// mmap(MAP_SHARED); the page size comes from sysconf; "%lu" in messages is
// filled with errno.
//
// A file made for a path the caller chose is never visible there half made:
// create_beside makes it under a temporary name in the same directory, the
// caller fills it, and publish gives it the chosen name with link(2), which
// fails with EEXIST when the name exists, so that of two processes creating
// the same path at once exactly one succeeds; the temporary name goes then.
//
// The open lock. Every Segment keeps a flock on its file from create or
// attach to close: shared by the processes that use the file, exclusive for
// an offline repair, which must be alone. The descriptor stays open as long
// as the view, so the lock lasts as long as the view; the kernel drops it
// when the process ends, however it ends. A flock belongs to the open file
// description: a child made by fork shares it and holds the file open too
// (it maps the view as well), and the lock lasts until the last process
// holding that description closes it. So close() only closes the descriptor
// and never unlocks (LOCK_UN would drop the lock for the parent and every
// child at once). A process that takes no open lock (a version without it)
// is told by its views instead (platform/file_users.hpp).
#pragma once

#include <cstdint>
#include <string>

#include "zorvik/core/segment/layout.hpp"

namespace zorvik {

class Segment {
public:
    // What an attach found wrong, for callers that word their own messages.
    enum class Fault {
        none,
        unreachable_path,  // the path leads to no file (errno as stat left it)
        not_regular_file,  // a directory, device, FIFO, socket
        too_short,         // a regular file shorter than the caller can use
        refused,           // the file could not be opened or mapped read-write
        locked,            // the open lock is held against the one asked for (errno EWOULDBLOCK)
    };

    // The open lock to take (see the top of this file).
    enum class OpenLock { shared, exclusive };

    // Holds nothing.
    Segment() = default;
    // Unmaps and closes; removes a new file that was not kept. Never throws.
    ~Segment();
    Segment(Segment &&other) noexcept;
    Segment &operator=(Segment &&other) noexcept;
    Segment(const Segment &) = delete;
    Segment &operator=(const Segment &) = delete;

    // A new file of `size` usable bytes (plus the header and the base record,
    // rounded up to a page), mapped, with its SegmentHeader written; the rest
    // reads zero. Empty on failure: `size` 0 (errno EINVAL, no text), or a
    // platform failure (text recorded, the file removed). The file goes to
    // `directory` when given, else to the temporary directory.
    static Segment create(std::uint64_t size, const char *directory = nullptr);

    // The same, in the directory of `path` (NUL-terminated) under a
    // temporary name ("<dir>/.zorvik-new-<pid>-XXXXXX"), for publish to give
    // the file the name `path` once it is filled. Empty on failure, with
    // errno set (ENOENT when the directory does not exist, EACCES when it
    // cannot be written).
    static Segment create_beside(const char *path, std::uint64_t size);

    // Gives a new file that is not kept yet the name `path` (link(2): an
    // existing name is never replaced), then removes its temporary name and
    // keeps the file; path() becomes the canonical `path`. Returns 0, or the
    // errno of the link (EEXIST when `path` exists), the file then staying
    // where it was, to be removed with this Segment. Never throws.
    int publish(const char *path);

    // The existing file at `path` (NUL-terminated), mapped at its current
    // length without a byte written (see mark_attached). Only a regular file of
    // at least `least_length` bytes (and at least one) is opened: the path is
    // looked at before anything is opened, so no device or FIFO is ever
    // opened, and the opened file must be the one looked at. Empty on failure,
    // with `fault_out` (when given) saying why.
    // `lock` is the open lock to take: `locked` when it cannot be had at once
    // (a shared one while a repair holds the file, an exclusive one while any
    // other Segment holds it).
    static Segment attach(const char *path, std::uint64_t least_length, Fault *fault_out = nullptr,
                          OpenLock lock = OpenLock::shared);

    explicit operator bool() const { return base_ != nullptr; }
    Allocator base() const { return base_; }  // view start + 24; null when empty
    int file() const { return file_; }
    std::uint64_t mapped_length() const { return mapped_length_; }
    // The canonical path of a file this Segment created; empty for an attach.
    const std::string &path() const { return path_; }

    // From now on the new file outlives this Segment.
    void keep_file() { remove_on_close_ = false; }

    // Records an attach the way every open does: writes `mapped_length` and
    // `requested_capacity` (= usable size + 64) into the SegmentHeader. Call
    // only after checking that the file holds what the caller expects.
    void mark_attached(std::uint64_t usable_size);

    // Writes the view's changed pages to the file and waits for them
    // (msync(MS_SYNC)): for files on disk, whose pages the kernel otherwise
    // writes back in its own time. Returns 0 or errno; nothing when empty.
    int flush() const;
    // The file's current length in bytes (fstat), or 0 when empty or when
    // the file cannot be asked.
    std::uint64_t file_length() const;

    // Unmaps the view and closes the file (and removes a new file not kept);
    // does nothing when empty. Failures are only recorded; every step runs.
    void close();

private:
    // The failure paths of create and attach: release what is held without
    // recording anything, so that errno and the error text still tell the
    // failure being reported.
    void release_quietly() noexcept;
    // create and create_beside: a new file of `length` bytes (for `size`
    // usable ones) from the mkostemp template `path`.
    static Segment create_from_template(char *path, std::uint64_t size, std::uint64_t length);
    void forget() noexcept;

    Allocator base_ = nullptr;
    int file_ = -1;
    std::uint64_t mapped_length_ = 0;
    std::string path_;
    bool remove_on_close_ = false;
};

// The page size, asked of the system once per process.
std::uint32_t system_page_size();

// Mapped length for a usable size: size + 88 rounded up to a page multiple.
// Returns false when that does not fit in 64 bits.
bool segment_mapped_length(std::uint64_t size, std::uint64_t &length_out);

}  // namespace zorvik
