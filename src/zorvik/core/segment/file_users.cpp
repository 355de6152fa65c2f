#include "zorvik/core/segment/file_users.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zorvik/core/segment/host.hpp"

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
    const std::string path = "/proc/" + std::to_string(pid) + "/maps";
    FILE *maps = std::fopen(path.c_str(), "re");
    if (maps == nullptr) return false;
    bool found = false;
    char *line = nullptr;
    std::size_t room = 0;
    while (!found && getline(&line, &room, maps) > 0) {
        unsigned dev_major = 0, dev_minor = 0;
        unsigned long long node = 0;
        found = std::sscanf(line, "%*s %*s %*s %x:%x %llu", &dev_major, &dev_minor, &node) == 3 &&
                dev_major == major(device) && dev_minor == minor(device) && node == inode;
    }
    std::free(line);
    std::fclose(maps);
    return found;
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

}  // namespace

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
    const int self = host::own_pid();
    for_each_process([&](int pid) {
        if (pid != self && maps_file(pid, device, inode)) pids.push_back(pid);
    });
    return pids;
}

}  // namespace zorvik
