#include "zorvik/core/platform/file_users.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "zorvik/core/platform/process_table.hpp"

namespace zorvik {
namespace {

// Calls `visit(pid)` for every process listed in /proc.
template <class Visit>
void for_each_process(Visit &&visit) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return;
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && pid > 0) visit(static_cast<int>(pid));
    }
    closedir(proc);
}

bool holds_descriptor(int pid, dev_t device, ino_t inode) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr) return false;  // ended meanwhile, or another user's
    bool found = false;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat info;
        if (stat((fds + "/" + entry->d_name).c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

bool maps_file(int pid, dev_t device, ino_t inode) {
    return platform::process_maps_file(pid, device, inode) == platform::FileMapping::maps_file;
}

// The processes /proc/locks names as holders of a flock on the file (not the
// waiters, whose lines read "-> FLOCK").
void flock_holders(dev_t device, ino_t inode, std::vector<int> &out) {
    FILE *locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return;
    char *line = nullptr;
    std::size_t room = 0;
    while (getline(&line, &room, locks) > 0) {
        char kind[16] = {};
        int pid = 0;
        unsigned dev_major = 0, dev_minor = 0;
        unsigned long long node = 0;
        if (std::strstr(line, "->") == nullptr &&
            std::sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%llu", kind, &pid, &dev_major, &dev_minor, &node) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && dev_major == major(device) && dev_minor == minor(device) &&
            node == inode && pid > 0) {
            out.push_back(pid);
        }
    }
    std::free(line);
    std::fclose(locks);
}

// capability(7): the capability that bypasses a file's permission bits.
constexpr unsigned kCapDacOverride = 1;

// The rights /proc/<pid>/status shows: the file-system user and group, the
// supplementary groups and the effective capabilities.
struct ProcessRights {
    uid_t fs_uid = 0;
    gid_t fs_gid = 0;
    std::set<gid_t> groups;
    std::uint64_t capabilities = 0;
};

// False when the status cannot be read or parsed (another user's process
// hides nothing of it, but it may have ended).
bool read_rights(int pid, ProcessRights &out) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status) return false;
    bool uid = false, gid = false, caps = false;
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line.substr(line.find(':') == std::string::npos ? line.size() : line.find(':') + 1));
        const std::string name = line.substr(0, line.find(':'));
        unsigned long long a = 0, b = 0, c = 0, d = 0;
        if (name == "Uid" && (fields >> a >> b >> c >> d)) {
            out.fs_uid = static_cast<uid_t>(d);
            uid = true;
        } else if (name == "Gid" && (fields >> a >> b >> c >> d)) {
            out.fs_gid = static_cast<gid_t>(d);
            gid = true;
        } else if (name == "Groups") {
            while (fields >> a) out.groups.insert(static_cast<gid_t>(a));
        } else if (name == "CapEff" && (fields >> std::hex >> a)) {
            out.capabilities = a;
            caps = true;
        }
    }
    return uid && gid && caps;
}

// Whether the mode lets a process of these rights write the file.
bool mode_allows_writing(const ProcessRights &rights, const struct stat &info) {
    if (rights.fs_uid == 0 || (rights.capabilities >> kCapDacOverride & 1) != 0) return true;
    if (rights.fs_uid == info.st_uid) return (info.st_mode & S_IWUSR) != 0;
    if (rights.fs_gid == info.st_gid || rights.groups.count(info.st_gid) != 0) return (info.st_mode & S_IWGRP) != 0;
    return (info.st_mode & S_IWOTH) != 0;
}

// Whether `pid` holds a descriptor of the file opened for writing, or a
// writable shared view of it; true too when this cannot be looked at.
bool holds_file_for_writing(int pid, const struct stat &info) {
    const std::string proc = "/proc/" + std::to_string(pid);
    DIR *dir = opendir((proc + "/fd").c_str());
    if (dir == nullptr) return true;
    bool writing = false;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat held;
        if (stat((proc + "/fd/" + entry->d_name).c_str(), &held) != 0 || held.st_dev != info.st_dev ||
            held.st_ino != info.st_ino) {
            continue;
        }
        std::ifstream fdinfo(proc + "/fdinfo/" + entry->d_name);
        std::string key;
        unsigned long flags = O_RDWR;  // unread: counted as written
        while (fdinfo >> key) {
            if (key == "flags:") {
                fdinfo >> std::oct >> flags;
                break;
            }
        }
        if ((flags & O_ACCMODE) != O_RDONLY) writing = true;
    }
    closedir(dir);
    if (writing) return true;
    std::ifstream maps(proc + "/maps");
    if (!maps) return true;
    std::string line;
    while (std::getline(maps, line)) {
        char permissions[8] = {};
        unsigned dev_major = 0, dev_minor = 0;
        unsigned long long node = 0;
        if (std::sscanf(line.c_str(), "%*s %7s %*s %x:%x %llu", permissions, &dev_major, &dev_minor, &node) == 4 &&
            dev_major == major(info.st_dev) && dev_minor == minor(info.st_dev) && node == info.st_ino &&
            permissions[0] == 'r' && permissions[1] == 'w' && permissions[3] == 's') {
            return true;
        }
    }
    return false;
}

}  // namespace

bool process_may_write_file(int pid, const struct stat &info, bool has_acl) {
    if (has_acl) return true;
    ProcessRights rights;
    if (!read_rights(pid, rights)) return true;
    return mode_allows_writing(rights, info) || holds_file_for_writing(pid, info);
}

bool file_has_access_acl(const std::string &path) {
    if (getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) >= 0) return true;
    return errno != ENODATA && errno != ENOTSUP;
}

int own_descriptors_of_file(dev_t device, ino_t inode) {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat info;
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (stat(link.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode) ++count;
    }
    closedir(dir);
    return count;
}

std::vector<int> processes_holding_file(dev_t device, ino_t inode) {
    std::vector<int> pids;
    flock_holders(device, inode, pids);
    for_each_process([&](int pid) {
        if (holds_descriptor(pid, device, inode) || maps_file(pid, device, inode)) pids.push_back(pid);
    });
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    return pids;
}

std::vector<int> other_processes_mapping_file(dev_t device, ino_t inode) {
    std::vector<int> pids;
    const int self = static_cast<int>(getpid());
    for_each_process([&](int pid) {
        if (pid != self && maps_file(pid, device, inode)) pids.push_back(pid);
    });
    return pids;
}

}  // namespace zorvik
