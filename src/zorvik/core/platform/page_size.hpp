// The size of a page of memory, the unit a file's view is mapped in: 4 KiB on
// x86-64, 4, 16 or 64 KiB on aarch64 Linux as the kernel was built, 16 KiB on
// macOS on arm64. Asked of the system once per process.
#pragma once

#include <cstdint>

namespace zorvik::platform {

std::uint32_t page_size();

}  // namespace zorvik::platform
