// Repairing a map's file offline, when no process uses it: what no online
// operation does, because it cannot tell a dead holder from a live one or
// cannot know where the dead left off.
//
//   - lock words that name no process (a damaged file, or a process of a
//     version that does not record its id): freed, with every other held word;
//   - changes left in progress in buckets no operation has touched since:
//     repaired as the next holder would (repair_bucket);
//   - a damaged structure: mended, keeping every entry that can still be read
//     whole (structure_repair.hpp);
//   - an expansion left unfinished: a claim that never published is undone
//     (the new buckets an incremental build wrote are forgotten, their block
//     kept for the next build), a published one is finished (every bucket
//     split, the table doubled, the marks cleared), and the count of
//     participants cleared; a header whose extension names no record is made
//     to name none;
//   - the count of entries: recounted (after a death between a list's commit
//     and the count, online repairs can only take the count as changed);
//   - the space nothing reaches (the dead's pools' caches, a change's chunks,
//     fresh space claimed and never written, a doubling's block cut and never
//     published, what the repair itself dropped): given back to the free
//     lists, or to the unallocated area when it ends there
//     (unreached_space.hpp);
//   - the repair mark of a repair stopped before its end: taken off last.
//
// The repair needs the file alone; where only processes that cannot write it
// hold it, it works on a copy beside it (repair_beside_readers).
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/atomics.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/file_errors.hpp"
#include "zorvik/core/platform/file_users.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/replacement_file.hpp"
#include "zorvik/core/upkeep/map_check.hpp"
#include "zorvik/core/upkeep/operator_attach.hpp"
#include "zorvik/core/upkeep/structure_repair.hpp"
#include "zorvik/core/upkeep/unreached_space.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik {
namespace {

// ---- the repair's steps ---------------------------------------------------------

class OfflineRepair {
public:
    explicit OfflineRepair(MapState &m, RepairReport &report) : m_(m), report_(report) {}

    void free_locks() {
        std::uint32_t *allocator = allocator_lock_word(m_.base);
        if (atomics::load64(allocator) != 0) {
            atomics::store64(allocator, 0);  // the word and its tag
            note("freed the allocator lock");
        }
        if (read_u64(m_.expansion_lock_word) != 0) {
            clear_word(m_.expansion_lock_word);
            note("freed the expansion lock");
        }
        free_growth_lock();
    }

    // The incremental doubling's lock, in the extension; and an extension the
    // header names but that is none.
    void free_growth_lock() {
        if (m_.extension_damaged) {
            m_.forget_damaged_extension();
            note("the map header named no extension record: it names none now");
        }
        char *word = m_.growth_lock_word();
        if (word != nullptr && read_u64(word) != 0) {
            clear_word(word);
            note("freed the growth lock");
        }
    }

    // Every bucket of the table in force and of a published new half: its
    // lock freed, its change in progress repaired.
    void repair_buckets() {
        const std::uint64_t chunks = m_.chunks_in_use();
        const std::uint64_t buckets = m_.bucket_chunk_size * chunks * (published(chunks) ? 2 : 1);
        std::uint64_t freed = 0, repaired = 0;
        for (std::uint64_t i = 0; i < buckets; ++i) {
            Bucket *bucket = m_.bucket_at(i);
            if (read_u64(lock_word(bucket)) != 0) {
                clear_word(lock_word(bucket));
                ++freed;
            }
            if (intent_pending(bucket)) {
                try {
                    repair_bucket(m_, bucket);
                    ++repaired;
                } catch (const std::out_of_range &) {
                    // An intent the bucket's lists disagree with (a damaged
                    // file): cleared, so that the bucket is as its lists say.
                    write_intent(bucket, Intent::none, 0, read_intent(bucket).split_done);
                    note("bucket " + std::to_string(i) + ": cleared a change in progress that its lists disagree with");
                }
            }
        }
        if (freed != 0) note("freed " + std::to_string(freed) + " bucket locks");
        if (repaired != 0) note("finished or undid " + std::to_string(repaired) + " changes left in progress");
    }

    // An expansion left unfinished: finished when its chunks are published,
    // undone when they are not; no participant is left counted, no claim or
    // ender marker stands, and no bucket stays marked.
    void settle_expansion() {
        const std::uint64_t chunks = m_.chunks_in_use();
        if (m_.expansion_workers() != 0) {
            atomics::exchange_field48(m_.expansion_workers_word, 0);
            note("cleared the count of expansion participants");
        }
        if (published(chunks)) {
            try {
                if (m_.drive_to_end(chunks) != MapState::Part::split) throw std::runtime_error("no room to end it");
                note("finished the expansion in progress: the table has " + std::to_string(m_.chunks_in_use()) +
                     " bucket chunks");
            } catch (const std::exception &e) {
                // What could not be split stays as it is, sound: an expansion
                // in progress, which the next participant goes on with.
                note(std::string("left the expansion in progress unfinished: ") + e.what());
                return;
            }
        }
        forget_unpublished_build();
        const std::uint64_t now = m_.chunks_in_use();
        if (now < m_.bucket_chunk_number && m_.table_entry(now) == 1) {
            atomics::exchange_field48(m_.table_slot(now), 0);
            note("removed the marker of an expansion that never published its chunks");
        }
        atomics::store_field64(m_.split_cursor_word, -1);
        std::uint64_t cleared = 0;
        for (std::uint64_t i = 0; i < m_.bucket_chunk_size * now; ++i) {
            Bucket *bucket = m_.bucket_at(i);
            if (bucket->forward != 0 || read_intent(bucket).split_done) {
                clear_split_mark(bucket);
                clear_word(forward_word(bucket));  // its two upper bytes too
                ++cleared;
            }
        }
        if (cleared != 0) note("cleared " + std::to_string(cleared) + " marks of ended expansions");
    }

    // New buckets an incremental doubling wrote and never published: no
    // structure reaches their entry chunks (the reclaim gives them back), so
    // the build is made to start again from its first bucket.
    void forget_unpublished_build() {
        if (m_.forget_unpublished_build()) note("forgot the new buckets of a doubling that never published them");
    }

    void recount(std::uint64_t entries, std::uint64_t entry_bytes) {
        const std::uint64_t counted = m_.entry_count();
        if (counted != entries) {
            atomics::store_field64(m_.entry_count_word, static_cast<std::int64_t>(entries));
            note("set the count of entries to " + std::to_string(entries) + " (it said " + std::to_string(counted) +
                 ")");
        }
        const std::uint64_t bytes_counted = m_.cache_bytes();
        if (m_.cache != nullptr && bytes_counted != entry_bytes) {
            atomics::store_field64(&m_.cache->bytes_in_use, static_cast<std::int64_t>(entry_bytes));
            note("set the cache's count of bytes to " + std::to_string(entry_bytes) + " (it said " +
                 std::to_string(bytes_counted) + ")");
        }
    }

    // The space no structure reaches goes back: each gap between what the
    // map names and what its structures reach, whole (unreached_space.hpp),
    // or, in a file that names records of a later version, the chunks of the
    // list sizes a walk by span reads in it.
    void reclaim(const ChunkMarks &reached) {
        const UnreachedSpace space = find_unreached_space(m_, reached);
        if (!space.known) return skip(space.why);
        SpaceGiven given;
        for (const UnreachedSpace::Gap &gap : space.gaps) {
            if (!space.later_records) {
                const SpaceGiven here = give_back_space(m_.base, gap.from, gap.to);
                given.listed += here.listed;
                given.chunks += here.chunks;
                given.unallocated += here.unallocated;
                continue;
            }
            for (const Offset header : listed_chunks_in(m_, gap)) {
                // Cleared as the pools keep them: an entry chunk's places read zero.
                if (chunk_size_at(m_.base + header) == kEntryChunkSize) {
                    std::memset(m_.base + header + kChunkHeaderLength, 0, kEntryChunkSize);
                }
                if (!free_chunk(m_.base, m_.base + header + kChunkHeaderLength)) return skip("a chunk the allocator refused");
                given.listed += chunk_span_at(m_.base + header);
                ++given.chunks;
            }
        }
        report_.reclaimed_chunks = given.chunks;
        report_.reclaimed_bytes = given.listed + given.unallocated;
        if (report_.reclaimed_bytes != 0) {
            std::string line = "gave back " + std::to_string(report_.reclaimed_bytes) + " bytes that nothing reached";
            if (given.chunks != 0) line += ", " + std::to_string(given.chunks) + " chunks on the free lists";
            if (given.unallocated != 0) line += ", " + std::to_string(given.unallocated) + " bytes unallocated again";
            if (space.unnamed_blocks != 0) {
                line += " (among them " + std::to_string(space.unnamed_blocks) + " blocks no structure names)";
            }
            note(line);
        }
    }

private:
    bool published(std::uint64_t chunks) const { return chunks < m_.reachable_chunks && m_.table_entry(chunks) > 1; }

    // A lock or mark word cleared whole, its bytes beyond what a holder
    // writes too (a damaged file may have set them; no process uses it now).
    static void clear_word(char *word) { write_u64(word, 0); }

    void note(const std::string &line) { report_.done.push_back(line); }
    void skip(const std::string &why) { note("gave back nothing that nothing reached: the chunk area holds " + why); }

    MapState &m_;
    RepairReport &report_;
};

// The repair of the map `m`, attached alone (its open lock exclusive). The
// repair mark, when the file carries one, comes off last, once everything
// the repair writes is written: a repair killed before leaves the file
// refused by every process, and the next repair does the work again.
RepairReport repair_attached(MapState &m, const Progress &progress) {
    RepairReport report;
    report.before = check_map(m, nullptr, progress);
    OfflineRepair repair(m, report);
    repair.free_locks();
    repair.repair_buckets();
    // A damaged structure is mended before the expansion is settled, whose
    // splits walk every chain of the buckets they split.
    StructureRepair structure(m, report.done);
    if (!report.before.faults.empty()) structure.run();
    repair.settle_expansion();
    structure.reinsert_misplaced();
    // What the repair's own splits left in this process's pools goes back
    // first: from here on every chunk is reached (in use or on a free list)
    // or lost.
    m.entry_pool.return_all();
    m.data_pool.return_all();
    ChunkMarks reached;
    const MapCheck settled = check_map(m, &reached, progress);
    repair.recount(settled.entries, settled.entry_bytes);
    if (settled.faults.empty()) repair.reclaim(reached);
    // Every list walked whole: the free-listed count set right.
    recount_free_listed(m.base);
    if (m.repair_marked) clear_repair_mark(m);
    report.after = check_map(m, nullptr, progress);
    return report;
}

// "process 12, which only reads the file, ... it goes", or the plural.
std::string readers_named(const std::vector<int> &readers) {
    std::string names;
    for (const int pid : readers) names += (names.empty() ? "" : ", ") + std::to_string(pid);
    const bool many = readers.size() > 1;
    return std::string("repaired a copy beside process") + (many ? "es " : " ") + names + ", which only read" +
           (many ? "" : "s") + " the file, and put it in the file's place: " + (many ? "they go" : "it goes") +
           " on reading the file as it was until " + (many ? "they close" : "it closes") + " it";
}

// The holders of the file `info` after the mark that may write it: an opener
// that read the header before the mark was set holds the file by now. This
// process holds it once, by the repair's own attach; a second hold is a
// dictionary it uses.
std::vector<int> writers_after_the_mark(const std::string &path, const struct stat &info) {
    const bool acl = file_has_access_acl(path);
    std::vector<int> writers;
    for (const int pid : processes_holding_file(info.st_dev, info.st_ino)) {
        const bool writer = pid == host::own_pid() ? own_descriptors_of_file(info.st_dev, info.st_ino) != 1
                                                   : process_may_write_file(pid, info, acl);
        if (writer) writers.push_back(pid);
    }
    return writers;
}

// The repair of the file at `path` while the processes `readers`, which can
// only read it, hold it: on a copy that takes the file's place.
//
// The steps, and what a repair killed after each leaves:
//   1. the copy made beside the file (the file as it was; the next repair
//      removes the copy);
//   2. the mark set in the file by a compare-and-swap: from here on every
//      attach of every version refuses the file (the file marked; the next
//      repair finds no live repair holding it and carries on from here);
//   3. the holders listed again: one that may write (it met the header
//      before the mark) makes the repair take the mark off and refuse;
//   4. the file copied, the copy repaired alone and its mark taken off;
//   5. the copy synced, given the file's owner, group and mode, and renamed
//      over the path (a repair killed after it has done its work: the file
//      its readers hold stays marked, for a process that opened it before
//      the rename finds the mark and must not write there).
// A failure after the mark takes it off again: the file is as it was.
//
// Two repairs of one file: each holds the file from step 2 to its end and
// counts as a writer (it may write the file), so the one that lists the
// holders second refuses, and a repair that carries on from a mark found set
// knows that no repair holding it is alive. One that began on the file
// before another replaced it finds, at step 5, that the path leads to
// another file, and leaves it.
RepairReport repair_beside_readers(const std::string &path, const std::vector<int> &readers,
                                   const Progress &progress) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) throw FileError(errno, path, "cannot find the dictionary's file");
    if (info.st_nlink != 1) {
        throw FileInUse(path, readers,
                        path + " is held open by processes that only read it, and has " +
                            std::to_string(info.st_nlink) +
                            " names: a repair beside them would part them; repair it when no process uses the "
                            "dictionary");
    }
    std::unique_ptr<MapState> original = open_for_inspection(path);
    struct stat opened;
    if (fstat(original->segment.file(), &opened) != 0 || opened.st_dev != info.st_dev ||
        opened.st_ino != info.st_ino) {
        throw FileError(ESTALE, path, "the path was given another file as the repair began");
    }
    ReplacementFile copy = ReplacementFile::make_beside(path, info);
    crash_points::step("repair beside readers: copy made");
    const bool marked_here = take_repair_mark(*original);
    crash_points::step("repair beside readers: file marked");
    const std::vector<int> writers = writers_after_the_mark(path, info);
    if (!writers.empty()) {
        // A mark found set stays: it may be another repair's, which holds the file.
        if (marked_here) clear_repair_mark(*original);
        throw in_use(path, writers);
    }
    remove_leftover_replacements(path, info, copy.path());
    RepairReport report;
    try {
        copy.copy_from(original->segment.file(), original->segment.file_length());
        crash_points::step("repair beside readers: file copied");
        std::unique_ptr<MapState> repaired = open_for_repair(copy.path());
        report = repair_attached(*repaired, progress);
        repaired.reset();
        crash_points::step("repair beside readers: copy repaired");
        copy.take_place_of(path, info);
    } catch (...) {
        clear_repair_mark(*original);
        throw;
    }
    crash_points::step("repair beside readers: copy in place");
    report.done.push_back(readers_named(readers));
    return report;
}

}  // namespace

RepairReport repair_map_file(const std::string &path, const Progress &progress) {
    // The open lock, exclusive, proves that no process holds the file open
    // (this one included: a dictionary object it holds would keep chunks the
    // repair reclaims); the refusal says who does.
    std::unique_ptr<MapState> state;
    try {
        state = open_for_repair(path);
    } catch (const FileInUse &refused) {
        const HolderRights rights = tell_holders_apart(path, refused.pids());
        if (!rights.writers.empty()) throw in_use(path, refused.pids(), rights.readers);
        return repair_beside_readers(path, rights.readers, progress);
    }
    MapState &m = *state;
    // Alone with the file: no repair beside readers of it is alive, and what
    // a killed one left beside it goes.
    struct stat info;
    if (fstat(m.segment.file(), &info) == 0) remove_leftover_replacements(path, info, "");
    const bool was_marked = m.repair_marked;
    RepairReport report = repair_attached(m, progress);
    if (was_marked) {
        report.done.push_back("took off the mark of a repair that was stopped before its end: processes open the "
                              "file again");
    }
    return report;
}

}  // namespace zorvik
