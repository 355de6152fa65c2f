#include "zorvik/core/upkeep/operator_attach.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "zorvik/core/segment/file_errors.hpp"
#include "zorvik/core/segment/file_users.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

// "PATH is in use by process 12 (this one)", or "... by processes 12, 14":
// the refusal of a repair, naming the processes that hold the file open.
FileInUse in_use(const std::string &path, std::vector<int> pids) {
    std::string names;
    for (const int pid : pids) {
        names += (names.empty() ? "" : ", ") + std::to_string(pid) + (pid == host::own_pid() ? " (this one)" : "");
    }
    if (names.empty()) names = "a process this user cannot see";
    const std::string what = path + " is in use by process" + (pids.size() > 1 ? "es " : " ") + names +
                             ": repair it when no process uses the dictionary";
    return FileInUse(path, std::move(pids), what);
}

// The processes that hold the file at `path` open or map it; none when the
// path leads nowhere now.
std::vector<int> holders_of(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return {};
    return processes_holding_file(info.st_dev, info.st_ino);
}

// A process that takes no open lock holds the file without the flock saying
// so: it is told by its views of the file. Before anything is written.
void refuse_unlocked_users(const std::string &path, int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) return;
    const std::vector<int> users = other_processes_mapping_file(info.st_dev, info.st_ino);
    if (!users.empty()) {
        throw FileInUse(path, users,
                        path + " is in use by process " + std::to_string(users.front()) +
                            ", which maps it: repair it when no process uses the dictionary");
    }
}

// An operator's command names its file: a path that leads to no file (or to
// none this user may see) is the system's error with the path, as the
// operator's other failures to open a file are.
[[noreturn]] void refuse_segment(const std::string &path, Segment::Fault fault, int error) {
    if (fault == Segment::Fault::unreachable_path) throw FileError(error, path, "cannot find the dictionary's file");
    refuse_map_segment(path, fault, error);
}

}  // namespace

std::unique_ptr<MapState> open_for_inspection(const std::string &path) {
    Segment::Fault fault = Segment::Fault::none;
    Segment segment = Segment::attach(path.c_str(), kLeastMapFile, &fault, Segment::OpenLock::shared);
    if (fault != Segment::Fault::none) refuse_segment(path, fault, errno);
    return read_map(std::move(segment), path, DamagedExtension::set_aside);
}

std::unique_ptr<MapState> open_for_repair(const std::string &path) {
    Segment::Fault fault = Segment::Fault::none;
    Segment segment = Segment::attach(path.c_str(), kLeastMapFile, &fault, Segment::OpenLock::exclusive);
    if (fault == Segment::Fault::locked) throw in_use(path, holders_of(path));
    if (fault != Segment::Fault::none) refuse_segment(path, fault, errno);
    std::unique_ptr<MapState> state = read_map(std::move(segment), path, DamagedExtension::set_aside);
    refuse_unlocked_users(path, state->segment.file());
    begin_writing(*state);
    return state;
}

std::vector<int> processes_holding_map_file(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) throw FileError(errno, path, "cannot find the dictionary's file");
    return processes_holding_file(info.st_dev, info.st_ino);
}

void refuse_if_in_use(const std::string &path) {
    std::vector<int> pids = processes_holding_map_file(path);
    if (!pids.empty()) throw in_use(path, std::move(pids));
}

}  // namespace zorvik
