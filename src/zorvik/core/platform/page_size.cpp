#include "zorvik/core/platform/page_size.hpp"

#include <unistd.h>

#include <atomic>

namespace zorvik::platform {

std::uint32_t page_size() {
    // Several threads may fill it at once; each stores the same value.
    static std::atomic<std::uint32_t> size{0};
    std::uint32_t known = size.load(std::memory_order_relaxed);
    if (known == 0) {
        const long asked = sysconf(_SC_PAGESIZE);
        // 4096: the smallest page of any platform, should sysconf not answer.
        known = asked > 0 ? static_cast<std::uint32_t>(asked) : 4096u;
        size.store(known, std::memory_order_relaxed);
    }
    return known;
}

}  // namespace zorvik::platform
