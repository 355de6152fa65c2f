#include <signal.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zorvik/core/platform/process_table.hpp"

namespace zorvik::platform {

bool process_exists(int pid) { return !(kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH); }

// The 22nd field of /proc/<pid>/stat: the start time in clock ticks since
// boot. The second field (the command) is in parentheses and may hold spaces
// and parentheses itself, so the count starts after the last ')'.
bool process_start_time(int pid, std::uint64_t &out) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *file = std::fopen(path, "re");
    if (file == nullptr) return false;
    char text[1024];
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    const char *at = std::strrchr(text, ')');
    if (at == nullptr) return false;
    ++at;
    // Fields 3 to 21 come first: 19 of them.
    for (int field = 3; field < 22; ++field) {
        while (*at == ' ') ++at;
        while (*at != ' ' && *at != '\0') ++at;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long ticks = std::strtoull(at, &end, 10);
    if (end == at || errno != 0) return false;
    out = ticks;
    return true;
}

// /proc/<pid>/maps lines read "start-end perms offset major:minor inode
// path", the device numbers in hexadecimal. A zombie's maps are empty.
FileMapping process_maps_file(int pid, dev_t device, ino_t inode) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/maps", pid);
    FILE *maps = std::fopen(path, "re");
    if (maps == nullptr) return FileMapping::unreadable;
    const unsigned want_major = major(device);
    const unsigned want_minor = minor(device);
    FileMapping found = FileMapping::maps_other;
    char *line = nullptr;
    std::size_t room = 0;
    while (getline(&line, &room, maps) > 0) {
        unsigned dev_major = 0, dev_minor = 0;
        unsigned long long node = 0;
        if (std::sscanf(line, "%*s %*s %*s %x:%x %llu", &dev_major, &dev_minor, &node) == 3 &&
            dev_major == want_major && dev_minor == want_minor && node == static_cast<unsigned long long>(inode)) {
            found = FileMapping::maps_file;
            break;
        }
    }
    std::free(line);
    std::fclose(maps);
    return found;
}

}  // namespace zorvik::platform
