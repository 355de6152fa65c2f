// What the operating system tells about another process: whether a process
// has an id, when it started, and whether it maps a given file. A lock's
// waiter asks these to judge a holder (segment/processes.hpp); the operator's
// commands ask them to name a file's users (file_users.hpp).
//
// Linux reads /proc (process_table_linux.cpp); macOS asks libproc
// (process_table_macos.cpp). Each answer that cannot be had says so, and the
// caller takes the cautious reading (a process it cannot look at is alive).
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace zorvik::platform {

// False only when no process has the id (kill(pid, 0) fails with ESRCH); a
// process of another user, which may not be signalled, exists.
bool process_exists(int pid);

// The start time of process `pid` in hundredths of a second since a point
// fixed for the machine's uptime (Linux: clock ticks since boot, 100 a second
// on every kernel this runs on; macOS: the start's wall-clock time), the same
// figure whichever process reads it. False when it cannot be read.
bool process_start_time(int pid, std::uint64_t &out);

// Whether process `pid` maps a view of the file `device`/`inode`.
enum class FileMapping { unreadable, maps_file, maps_other };
FileMapping process_maps_file(int pid, dev_t device, ino_t inode);

}  // namespace zorvik::platform
