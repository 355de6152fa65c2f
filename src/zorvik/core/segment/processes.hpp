// What a waiter can find out about the process that holds a lock: whether it
// still exists, and whether the process that now has its id is the one that
// took the lock.
//
// A lock word names its holder by process id (spin_lock.hpp). Process ids are
// reused, so a holder counts as ended when any of these holds:
//   - no process has the id (kill(pid, 0) fails with ESRCH);
//   - the process with the id started at another time than the one that took
//     the lock, which wrote a tag of its start time beside its id (the start
//     time in hundredths of a second, platform/process_table.hpp; a tag
//     covers 65,521 of them, about 11 minutes, so two processes with one id
//     would have to start a multiple of that apart to be mistaken for each
//     other);
//   - the process with the id maps no view of the lock's file (by device and
//     inode): it never took a lock there, or it is a zombie, which maps
//     nothing.
// What cannot be read (no /proc, another user's process) counts as alive.
#pragma once

#include <cstdint>

namespace zorvik::processes {

// The start-time tag of process `pid` (1 to 65,521), or 0 when it cannot be read.
std::uint16_t start_tag(int pid);
// This process's tag, read once per process id (a forked child reads its own).
std::uint16_t own_start_tag();

// Whether the process `pid`, which took a lock in the segment whose view holds
// `word` and wrote `tag` (0 when it wrote none), has ended. For this process's
// own id: whether `tag` names an earlier process that had the same id.
bool holder_has_ended(int pid, std::uint16_t tag, const void *word);

}  // namespace zorvik::processes
