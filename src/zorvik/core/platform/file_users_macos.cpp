// macOS: the users of a file from libproc (see file_users.hpp for what this
// sees and what it does not).
#include <libproc.h>
#include <sys/acl.h>
#include <sys/fcntl.h>
#include <sys/proc_info.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "zorvik/core/platform/file_users.hpp"
#include "zorvik/core/platform/process_table.hpp"

namespace zorvik {
namespace {

// Every process id the system lists (those of other users included; their
// descriptors cannot be read).
std::vector<int> all_processes() {
    std::vector<int> pids;
    const int wanted = proc_listpids(PROC_ALL_PIDS, 0, nullptr, 0);
    if (wanted <= 0) return pids;
    // Room for processes started between the two calls.
    pids.resize(static_cast<std::size_t>(wanted) / sizeof(int) + 64);
    const int got = proc_listpids(PROC_ALL_PIDS, 0, pids.data(), static_cast<int>(pids.size() * sizeof(int)));
    pids.resize(got > 0 ? static_cast<std::size_t>(got) / sizeof(int) : 0);
    pids.erase(std::remove_if(pids.begin(), pids.end(), [](int pid) { return pid <= 0; }), pids.end());
    return pids;
}

// The vnode descriptors of `pid` that reach the file, each with its open
// flags (FREAD, FWRITE); empty when they cannot be read.
std::vector<std::uint32_t> descriptors_of(int pid, dev_t device, ino_t inode) {
    std::vector<std::uint32_t> flags;
    const int bytes = proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
    if (bytes <= 0) return flags;
    std::vector<proc_fdinfo> fds(static_cast<std::size_t>(bytes) / sizeof(proc_fdinfo) + 16);
    const int got = proc_pidinfo(pid, PROC_PIDLISTFDS, 0, fds.data(), static_cast<int>(fds.size() * sizeof(proc_fdinfo)));
    if (got <= 0) return flags;
    fds.resize(static_cast<std::size_t>(got) / sizeof(proc_fdinfo));
    for (const proc_fdinfo &fd : fds) {
        if (fd.proc_fdtype != PROX_FDTYPE_VNODE) continue;
        vnode_fdinfowithpath info{};
        if (proc_pidfdinfo(pid, fd.proc_fd, PROC_PIDFDVNODEPATHINFO, &info, sizeof info) != static_cast<int>(sizeof info)) {
            continue;
        }
        const vinfo_stat &file = info.pvip.vip_vi.vi_stat;
        if (static_cast<dev_t>(file.vst_dev) == device && static_cast<ino_t>(file.vst_ino) == inode) {
            flags.push_back(info.pfi.fi_openflags);
        }
    }
    return flags;
}

bool maps_file(int pid, dev_t device, ino_t inode) {
    return platform::process_maps_file(pid, device, inode) == platform::FileMapping::maps_file;
}

}  // namespace

std::vector<int> processes_holding_file(dev_t device, ino_t inode) {
    std::vector<int> pids;
    for (const int pid : all_processes()) {
        if (!descriptors_of(pid, device, inode).empty() || maps_file(pid, device, inode)) pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    return pids;
}

std::vector<int> other_processes_mapping_file(dev_t device, ino_t inode) {
    std::vector<int> pids;
    const int self = static_cast<int>(getpid());
    for (const int pid : all_processes()) {
        if (pid != self && maps_file(pid, device, inode)) pids.push_back(pid);
    }
    return pids;
}

// The cautious reading: a process may write unless it is known that the
// mode denies its user and every group, that it holds no descriptor of the
// file opened for writing and that it maps no view of it. libproc gives the
// user and the primary group, not the supplementary groups, so a file
// writable by its group counts as writable by everyone.
bool process_may_write_file(int pid, const struct stat &info, bool has_acl) {
    if (has_acl) return true;
    proc_bsdinfo bsd{};
    if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd) != static_cast<int>(sizeof bsd)) return true;
    if (bsd.pbi_uid == 0) return true;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return true;
    if (bsd.pbi_uid == info.st_uid && (info.st_mode & S_IWUSR) != 0) return true;
    for (const std::uint32_t flags : descriptors_of(pid, info.st_dev, info.st_ino)) {
        if ((flags & FWRITE) != 0) return true;
    }
    return maps_file(pid, info.st_dev, info.st_ino);
}

bool file_has_access_acl(const std::string &path) {
    acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_EXTENDED);
    if (acl == nullptr) return errno != ENOENT;  // none (ENOENT), or it cannot be told
    acl_entry_t entry;
    const bool has_entry = acl_get_entry(acl, ACL_FIRST_ENTRY, &entry) == 0;
    acl_free(acl);
    return has_entry;
}

int own_descriptors_of_file(dev_t device, ino_t inode) {
    return static_cast<int>(descriptors_of(static_cast<int>(getpid()), device, inode).size());
}

}  // namespace zorvik
