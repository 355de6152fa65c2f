#include "zorvik/core/upkeep/operator_attach.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "zorvik/core/segment/file_errors.hpp"
#include "zorvik/core/platform/file_users.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

// "12, 14 (this one)": the processes, as a refusal names them.
std::string listed(const std::vector<int> &pids) {
    std::string names;
    for (const int pid : pids) {
        names += (names.empty() ? "" : ", ") + std::to_string(pid) + (pid == host::own_pid() ? " (this one)" : "");
    }
    return names;
}

}  // namespace

FileInUse in_use(const std::string &path, std::vector<int> pids, const std::vector<int> &readers) {
    std::string names = listed(pids);
    if (names.empty()) names = "a process this user cannot see";
    std::string what = path + " is in use by process" + (pids.size() > 1 ? "es " : " ") + names +
                       ": repair it when no process uses the dictionary";
    if (!readers.empty()) {
        const bool many = readers.size() > 1;
        what += std::string("; of these, process") + (many ? "es " : " ") + listed(readers) + " only read" +
                (many ? "" : "s") + " the file (its user cannot write it) and do" + (many ? "" : "es") +
                " not keep the repair out";
    }
    return FileInUse(path, std::move(pids), what);
}

HolderRights tell_holders_apart(const std::string &path, const std::vector<int> &pids) {
    HolderRights rights;
    struct stat info;
    const bool known = stat(path.c_str(), &info) == 0;
    const bool acl = known && file_has_access_acl(path);
    for (const int pid : pids) {
        // This process holds the file only through a dictionary it uses.
        const bool writer = !known || pid == host::own_pid() || process_may_write_file(pid, info, acl);
        (writer ? rights.writers : rights.readers).push_back(pid);
    }
    if (pids.empty()) rights.writers.push_back(0);  // holders this user cannot see: no reader proven
    return rights;
}

namespace {

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
    return read_map(std::move(segment), path, DamagedExtension::set_aside, MarkedFile::accept);
}

std::unique_ptr<MapState> open_for_repair(const std::string &path) {
    Segment::Fault fault = Segment::Fault::none;
    Segment segment = Segment::attach(path.c_str(), kLeastMapFile, &fault, Segment::OpenLock::exclusive);
    if (fault == Segment::Fault::locked) throw in_use(path, holders_of(path));
    if (fault != Segment::Fault::none) refuse_segment(path, fault, errno);
    std::unique_ptr<MapState> state =
        read_map(std::move(segment), path, DamagedExtension::set_aside, MarkedFile::accept);
    refuse_unlocked_users(path, state->segment.file());
    begin_writing(*state);
    return state;
}

std::vector<int> processes_holding_map_file(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) throw FileError(errno, path, "cannot find the dictionary's file");
    return processes_holding_file(info.st_dev, info.st_ino);
}

std::vector<int> refuse_writers(const std::string &path) {
    std::vector<int> pids = processes_holding_map_file(path);
    if (pids.empty()) return {};
    HolderRights rights = tell_holders_apart(path, pids);
    if (!rights.writers.empty()) throw in_use(path, std::move(pids), rights.readers);
    return rights.readers;
}

}  // namespace zorvik
