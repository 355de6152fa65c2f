#include "zorvik/core/segment/processes.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/mapped_files.hpp"

namespace zorvik::processes {
namespace {

// Tags are the start time modulo this prime, plus one, so that 0 stays free
// for "no tag".
constexpr std::uint64_t kTagModulus = 65521;

// The 22nd field of /proc/<pid>/stat: the start time in clock ticks since
// boot. The second field (the command) is in parentheses and may hold spaces
// and parentheses itself, so the count starts after the last ')'.
bool read_start_time(int pid, std::uint64_t &out) {
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

// What /proc/<pid>/maps says about the file `file`: unreadable, or whether a
// mapping of it is listed. Lines read "start-end perms offset major:minor
// inode path", the device numbers in hexadecimal.
enum class Maps { unreadable, maps_file, maps_other };

Maps look_for_file(int pid, const FileIdentity &file) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/maps", pid);
    FILE *maps = std::fopen(path, "re");
    if (maps == nullptr) return Maps::unreadable;
    const unsigned want_major = major(file.device);
    const unsigned want_minor = minor(file.device);
    Maps found = Maps::maps_other;
    char *line = nullptr;
    std::size_t room = 0;
    while (getline(&line, &room, maps) > 0) {
        unsigned dev_major = 0, dev_minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%*s %*s %*s %x:%x %llu", &dev_major, &dev_minor, &inode) == 3 &&
            dev_major == want_major && dev_minor == want_minor && inode == static_cast<unsigned long long>(file.inode)) {
            found = Maps::maps_file;
            break;
        }
    }
    std::free(line);
    std::fclose(maps);
    return found;
}

// This process's tag with bit 16 set once read, 0 until then; a forked child
// (another process, another start time) reads its own.
constexpr std::uint32_t kTagRead = 1u << 16;
std::atomic<std::uint32_t> own_tag_cache{0};

bool install_fork_handler() {
    return pthread_atfork(nullptr, nullptr, [] { own_tag_cache.store(0, std::memory_order_relaxed); }) == 0;
}
[[maybe_unused]] const bool fork_handler_installed = install_fork_handler();

}  // namespace

std::uint16_t start_tag(int pid) {
    std::uint64_t ticks = 0;
    if (!read_start_time(pid, ticks)) return 0;
    return static_cast<std::uint16_t>(ticks % kTagModulus + 1);
}

std::uint16_t own_start_tag() {
    // On every lock taken: one load once the tag is read. Threads that read
    // it at once store the same value.
    const std::uint32_t cached = own_tag_cache.load(std::memory_order_relaxed);
    if (cached != 0) return static_cast<std::uint16_t>(cached);
    const std::uint16_t tag = start_tag(host::own_pid());
    own_tag_cache.store(kTagRead | tag, std::memory_order_relaxed);
    return tag;
}

bool holder_has_ended(int pid, std::uint16_t tag, const void *word) {
    if (pid <= 0) return false;
    if (pid == host::own_pid()) {
        // A thread of this process holds it, unless the tag is an earlier
        // process's that had this id.
        const std::uint16_t own = own_start_tag();
        return tag != 0 && own != 0 && tag != own;
    }
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return true;
    if (tag != 0) {
        const std::uint16_t now = start_tag(pid);
        if (now != 0 && now != tag) return true;
    }
    FileIdentity file;
    return mapped_file_of(word, file) && look_for_file(pid, file) == Maps::maps_other;
}

}  // namespace zorvik::processes
