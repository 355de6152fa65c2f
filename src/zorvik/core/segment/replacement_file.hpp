// A file made beside an existing one to take its place: the repair of a file
// that processes hold open for reading works on such a copy and renames it
// over the original, which those processes go on reading until they close it.
//
//   make_beside   a new empty file in the original's directory, mode 0600,
//                 named ".zorvik-repair-<inode>-XXXXXX" after the original's
//                 inode, so that a later repair of the same file finds what
//                 one that was killed left (remove_leftover_replacements);
//   copy_from     the original's bytes, its holes kept holes;
//   take_place_of synced, given the original's owner, group and mode, and
//                 renamed over the original's path, the directory synced.
// A replacement that never took the original's place is removed with it.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>

namespace zorvik {

class ReplacementFile {
public:
    // Throws FileError (the errno, naming `path`) when the file cannot be made.
    static ReplacementFile make_beside(const std::string &path, const struct stat &original);

    ReplacementFile(ReplacementFile &&other) noexcept;
    ReplacementFile &operator=(ReplacementFile &&) = delete;
    ReplacementFile(const ReplacementFile &) = delete;
    ReplacementFile &operator=(const ReplacementFile &) = delete;
    // Removes the file unless it took the original's place.
    ~ReplacementFile();

    const std::string &path() const { return path_; }

    // Copies the `length` bytes of `source` (a descriptor open for reading)
    // into this file, leaving the source's holes holes. Throws FileError
    // (ENOSPC for a full file system, naming this file).
    void copy_from(int source, std::uint64_t length);

    // Syncs this file, gives it the owner, group and mode of `original` and
    // renames it over `target`, which must still be `original` (ESTALE
    // otherwise: the path was given another file meanwhile, which stays);
    // then syncs the directory. Throws FileError naming `target`.
    void take_place_of(const std::string &target, const struct stat &original);

private:
    ReplacementFile(std::string path, int file) : path_(std::move(path)), file_(file) {}

    std::string path_;
    int file_ = -1;
    bool placed_ = false;
};

// Removes the replacements of the file `original` (at `path`) in its
// directory that repairs killed before their end left, all but `keep`.
// Call only while no other repair of that file can run.
void remove_leftover_replacements(const std::string &path, const struct stat &original, const std::string &keep);

}  // namespace zorvik
