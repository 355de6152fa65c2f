// Test fixtures shared by the core tests: a segment that removes its file, a
// private temporary directory, and an audit of the allocator's whole state.
#pragma once

#include <dirent.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/alloc/chain.hpp"
#include "zorvik/core/segment/error_text.hpp"
#include "zorvik/core/segment/layout.hpp"
#include "zorvik/core/segment/segment.hpp"

namespace zorvik::testing {

// A new segment with its allocator set up, whose file is removed when the
// fixture goes (it is never kept).
class ScratchSegment {
public:
    explicit ScratchSegment(std::uint64_t size, std::uint8_t chunk_size = 32) : segment_(Segment::create(size)) {
        if (!segment_) {
            const char *text = last_error();
            throw std::runtime_error(text ? text : "Segment::create failed");
        }
        path_ = segment_.path();
        initialise_allocator(segment_.base(), size, chunk_size);
        area_ = ChunkArea(segment_.base());
    }
    ScratchSegment(const ScratchSegment &) = delete;
    ScratchSegment &operator=(const ScratchSegment &) = delete;

    Allocator base() const { return segment_.base(); }
    MemoryManager *manager() const { return memory_manager(segment_.base()); }
    const ChunkArea &area() const { return area_; }
    const std::string &path() const { return path_; }
    Segment &segment() { return segment_; }

    Offset offset_of(const void *address) const { return to_offset(segment_.base(), address); }
    std::uint64_t allocated_offset() const { return manager()->offset; }

private:
    Segment segment_;
    std::string path_;
    ChunkArea area_;
};

// A private directory installed as $TMPDIR while the fixture lives: made in
// the $TMPDIR it stands in for (/tmp when unset), and removed with everything
// a test left in it, directories included.
class ScratchTmpdir {
public:
    ScratchTmpdir() {
        const char *old = std::getenv("TMPDIR");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        std::string pattern = (had_old_ && !old_.empty() ? old_ : std::string("/tmp")) + "/zorvik-test-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        setenv("TMPDIR", path_.c_str(), 1);
    }
    ~ScratchTmpdir() {
        std::error_code ignored;  // a destructor must not throw; nothing to do about a leftover
        std::filesystem::remove_all(path_, ignored);
        if (had_old_) {
            setenv("TMPDIR", old_.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }
    ScratchTmpdir(const ScratchTmpdir &) = delete;
    ScratchTmpdir &operator=(const ScratchTmpdir &) = delete;

    const std::string &path() const { return path_; }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR *dir = opendir(path_.c_str())) {
            while (dirent *entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            closedir(dir);
        }
        return names;
    }

private:
    std::string path_;
    std::string old_;
    bool had_old_ = false;
};

// Open file descriptors of this process (for leak checks).
inline int open_descriptor_count() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(dir);
    }
    return count;
}

// Header Offsets on a free list, in list order; stops (and reports a cycle)
// after `limit` entries.
inline std::vector<Offset> list_members(Allocator base, const FreeList &list, std::size_t limit = 1u << 22) {
    std::vector<Offset> members;
    for (Offset at = list.head; at != 0; at = read_u64(base + at + kChunkHeaderLength)) {
        if (members.size() == limit) throw std::runtime_error("free list does not end");
        members.push_back(at);
    }
    return members;
}

// Header Offset of a chunk from its data address.
inline Offset header_of_data(Allocator base, const char *data) { return to_offset(base, data) - kChunkHeaderLength; }

// The whole allocator state of a segment that holds chunks only (no blocks):
// every chunk carved so far, in address order, and what became of it.
struct Audit {
    std::map<Offset, std::uint8_t> carved;  // header Offset -> size
    std::set<Offset> free;                  // on some free list
    std::vector<std::string> faults;        // empty when the state is sound
};

// Walks the chunk area by span and the three free lists. A chunk listed twice,
// a listed chunk that was never carved or sits on the wrong list, and a walk
// that does not end exactly at `offset` are faults.
inline Audit audit_chunks(Allocator base) {
    Audit audit;
    const MemoryManager *manager = memory_manager(base);
    Offset at = kFirstChunk;
    while (at < manager->offset) {
        std::uint8_t span = chunk_span_at(base + at);
        if (span == 0) {
            audit.faults.push_back("zero span at " + std::to_string(at));
            return audit;
        }
        audit.carved[at] = chunk_size_at(base + at);
        at += span;
    }
    if (at != manager->offset) audit.faults.push_back("chunk walk overruns offset");
    auto check_list = [&](const FreeList &list, const char *name, std::set<std::uint8_t> sizes) {
        for (Offset member : list_members(base, list)) {
            auto found = audit.carved.find(member);
            if (found == audit.carved.end()) {
                audit.faults.push_back(std::string(name) + " holds uncarved " + std::to_string(member));
            } else if (!sizes.count(found->second)) {
                audit.faults.push_back(std::string(name) + " holds a chunk of size " + std::to_string(found->second));
            }
            if (!audit.free.insert(member).second) {
                audit.faults.push_back("chunk " + std::to_string(member) + " listed twice");
            }
        }
    };
    const std::uint8_t data_size = manager->chunk_size;
    check_list(manager->data_list, "data list", {data_size});
    check_list(manager->link_list, "link list", {kLinkChunkSize});
    check_list(manager->entry_list, "entry list", {kEntryChunkSize});
    return audit;
}

// A start line in memory shared with forked children, so that they begin
// their work together instead of one after the other.
class StartGate {
public:
    StartGate() {
        void *shared = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) throw std::runtime_error("mmap failed");
        open_ = static_cast<int *>(shared);
    }
    ~StartGate() { munmap(open_, 4096); }
    StartGate(const StartGate &) = delete;
    StartGate &operator=(const StartGate &) = delete;

    void open() { __atomic_store_n(open_, 1, __ATOMIC_RELEASE); }
    void wait() const {
        while (__atomic_load_n(open_, __ATOMIC_ACQUIRE) == 0) sched_yield();
    }

private:
    int *open_ = nullptr;
};

// Waits for a forked child; returns its exit status, or -1 when it did not
// exit normally.
inline int wait_exit_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zorvik::testing
