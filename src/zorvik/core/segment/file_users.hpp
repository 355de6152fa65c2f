// Which processes hold a segment file open: for the refusals of an offline
// repair, which must name them.
//
// Every process that holds a segment open keeps a shared flock on the file
// (segment.hpp), so that a repair proves it is alone by taking the flock
// exclusive. When it cannot, the names come from /proc, read three ways,
// since none sees everything:
//   - /proc/locks lists each flock with the process that took it, as
//     "1: FLOCK  ADVISORY  READ  <pid> <major>:<minor>:<inode> 0 EOF" (device
//     numbers in hexadecimal). A flock belongs to the open file description,
//     which a child made by fork shares: only the process that took it is
//     listed, even once it has ended while its child goes on;
//   - /proc/<pid>/fd/<n>: the descriptors each process holds; stat() of such
//     a link reaches the file itself (even one removed since), so every
//     process holding the description, forked children too, is found;
//   - /proc/<pid>/maps: views of the file, for a process of a version that
//     takes no flock (it keeps no descriptor either).
// Processes of other users show only in /proc/locks.
#pragma once

#include <sys/types.h>

#include <vector>

namespace zorvik {

// The ids of the processes that hold the file `device`/`inode` open or map it
// (this process included), in increasing order, each once.
std::vector<int> processes_holding_file(dev_t device, ino_t inode);

// The processes other than this one that map the file `device`/`inode`: the
// one sign of use of a process that takes no flock (a version without the
// open lock).
std::vector<int> other_processes_mapping_file(dev_t device, ino_t inode);

}  // namespace zorvik
