// macOS: libproc answers what Linux's /proc does. PROC_PIDTBSDINFO gives a
// process's start time and state; PROC_PIDREGIONPATHINFO walks its mapped
// regions, each with the vnode it maps.
#include <libproc.h>
#include <signal.h>
#include <sys/proc.h>
#include <sys/proc_info.h>

#include <cerrno>

#include "zorvik/core/platform/process_table.hpp"

namespace zorvik::platform {

bool process_exists(int pid) { return !(kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH); }

bool process_start_time(int pid, std::uint64_t &out) {
    proc_bsdinfo info{};
    if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != static_cast<int>(sizeof info)) return false;
    // Hundredths of a second, as Linux's clock ticks: the tag's arithmetic
    // (segment/processes.cpp) is the same on both.
    out = static_cast<std::uint64_t>(info.pbi_start_tvsec) * 100 + info.pbi_start_tvusec / 10000;
    return true;
}

FileMapping process_maps_file(int pid, dev_t device, ino_t inode) {
    proc_bsdinfo bsd{};
    if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd) != static_cast<int>(sizeof bsd)) {
        return FileMapping::unreadable;
    }
    // A zombie maps nothing, as its empty maps say on Linux.
    if (bsd.pbi_status == SZOMB) return FileMapping::maps_other;
    std::uint64_t address = 0;
    for (;;) {
        proc_regionwithpathinfo region{};
        const int got = proc_pidinfo(pid, PROC_PIDREGIONPATHINFO, address, &region, sizeof region);
        if (got != static_cast<int>(sizeof region)) {
            // Past the last region (ESRCH or EINVAL), or not ours to read.
            return address == 0 && errno == EPERM ? FileMapping::unreadable : FileMapping::maps_other;
        }
        const vinfo_stat &file = region.prp_vip.vip_vi.vi_stat;
        if (static_cast<dev_t>(file.vst_dev) == device && static_cast<ino_t>(file.vst_ino) == inode) {
            return FileMapping::maps_file;
        }
        const std::uint64_t next = region.prp_prinfo.pri_address + region.prp_prinfo.pri_size;
        if (next <= address) return FileMapping::maps_other;  // a region list that does not advance
        address = next;
    }
}

}  // namespace zorvik::platform
