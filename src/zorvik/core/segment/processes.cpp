#include "zorvik/core/segment/processes.hpp"

#include <atomic>

#include "zorvik/core/platform/fork_handlers.hpp"
#include "zorvik/core/platform/process_table.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/mapped_files.hpp"

namespace zorvik::processes {
namespace {

// Tags are the start time modulo this prime, plus one, so that 0 stays free
// for "no tag".
constexpr std::uint64_t kTagModulus = 65521;

// This process's tag with bit 16 set once read, 0 until then; a forked child
// (another process, another start time) reads its own.
constexpr std::uint32_t kTagRead = 1u << 16;
std::atomic<std::uint32_t> own_tag_cache{0};

bool install_fork_handler() {
    return platform::on_fork(nullptr, nullptr, [] { own_tag_cache.store(0, std::memory_order_relaxed); });
}
[[maybe_unused]] const bool fork_handler_installed = install_fork_handler();

}  // namespace

std::uint16_t start_tag(int pid) {
    std::uint64_t ticks = 0;
    if (!platform::process_start_time(pid, ticks)) return 0;
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
    if (!platform::process_exists(pid)) return true;
    if (tag != 0) {
        const std::uint16_t now = start_tag(pid);
        if (now != 0 && now != tag) return true;
    }
    FileIdentity file;
    return mapped_file_of(word, file) &&
           platform::process_maps_file(pid, file.device, file.inode) == platform::FileMapping::maps_other;
}

}  // namespace zorvik::processes
