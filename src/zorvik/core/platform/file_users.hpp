// Which processes hold a segment file open: for the refusals of an offline
// repair, which must name them.
//
// Every process that holds a segment open keeps a shared flock on the file
// (segment/segment.hpp), so that a repair proves it is alone by taking the
// flock exclusive. When it cannot, the names come from the system. On Linux
// (file_users_linux.cpp) from /proc, read three ways, since none sees
// everything:
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
//
// On macOS (file_users_macos.cpp) libproc lists each process's descriptors
// (PROC_PIDLISTFDS, each file's vnode by PROC_PIDFDVNODEPATHINFO) and mapped
// regions (process_table.hpp); a flock's holder is not listed apart, and
// processes of other users are not seen.
//
// Which of them can only read it: a process whose file-system user and groups
// the file's mode denies writing (not root, no CAP_DAC_OVERRIDE), holding no
// descriptor of it opened for writing and no writable shared view of it
// (such a view or descriptor, made while its rights allowed, outlives a
// chmod). Told on Linux from /proc/<pid>/status, fdinfo and maps; a process
// this user cannot look at, or that ended meanwhile, counts as one that may
// write, and so does every process on macOS, which does not tell a
// descriptor's open mode as simply.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include <vector>

namespace zorvik {

// The ids of the processes that hold the file `device`/`inode` open or map it
// (this process included), in increasing order, each once.
std::vector<int> processes_holding_file(dev_t device, ino_t inode);

// The processes other than this one that map the file `device`/`inode`: the
// one sign of use of a process that takes no flock (a version without the
// open lock).
std::vector<int> other_processes_mapping_file(dev_t device, ino_t inode);

// Whether process `pid` may write the file whose status is `info` (see the
// top of this file). Always true for a file with an access ACL, whose
// entries the mode does not show (file_has_access_acl).
bool process_may_write_file(int pid, const struct stat &info, bool has_acl);

// Whether the file at `path` carries an access ACL (or whether it does
// cannot be told).
bool file_has_access_acl(const std::string &path);

// How many descriptors this process holds on the file `device`/`inode`.
int own_descriptors_of_file(dev_t device, ino_t inode);

}  // namespace zorvik
