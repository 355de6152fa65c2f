#include "zorvik/core/segment/file_errors.hpp"

#include <cerrno>
#include <utility>

namespace zorvik {

FileError::FileError(int error, std::string path, const char *what)
    : std::system_error(error, std::generic_category(), what), path_(std::move(path)) {}

FileError::FileError(int error, std::string path, const char *what, std::string reason)
    : std::system_error(error, std::generic_category(), what), path_(std::move(path)), reason_(std::move(reason)) {}

FileBeingRepaired::FileBeingRepaired(const std::string &path)
    : std::runtime_error(path + " is being repaired by another process: open it when the repair has ended"),
      path_(path) {}

FileInUse::FileInUse(const std::string &path, std::vector<int> pids, const std::string &what)
    : std::runtime_error(what), path_(path), pids_(std::move(pids)) {}

void throw_allocation_failure(int error, const std::string &what) {
    if (error == ENOMEM) throw SpaceExhausted(SpaceExhausted::Where::segment, error, what);
    if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
        throw SpaceExhausted(SpaceExhausted::Where::file_system, error, what);
    }
    throw std::runtime_error(what);
}

}  // namespace zorvik
