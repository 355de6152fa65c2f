// The operator's view of a dictionary's file: its check and offline repair,
// its shape and space, its held locks, and its entries as stored (the raw
// dump and its load, a copy into another file). The one header of core/upkeep
// that code outside the room includes (the module zorvik._upkeep behind
// `python -m zorvik`); the live path never includes it.
//
// Everything works on the file format, through the map's operator interface
// (map/operator_access.hpp), never through a serializer or a hash function,
// so every dictionary class's files are served alike. A read (check, survey,
// locks, entries, dump) holds the open lock shared and writes nothing; a
// repair holds it exclusive, proving that no process uses the file.
//
// Failures: what an attach by name throws (map/map_creation.hpp: "file status
// wrong with errno: N", std::invalid_argument for a file that holds no map,
// FileBeingRepaired while a repair holds it), FileInUse (segment/
// file_errors.hpp) for a repair refused by the file's users, and what the
// map's operations throw.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include "zorvik/core/map/concurrent_hash_map.hpp"

namespace zorvik {

// Told how far a walk of the whole file has come: `done` of `total` buckets
// (or entries, with a total of 0 where it is not known). Called from the
// walking thread, now and then (never for each bucket); what it throws stops
// the walk.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// ---- reports -------------------------------------------------------------------

// What a check found (check_map_file).
struct MapCheck {
    // What is wrong with the structure: a link or chunk outside the area or of
    // the wrong kind, a count that disagrees with a length, a chunk reached
    // twice, an entry in a bucket its hash does not lead to, a key stored
    // twice. (Not the count of entries, which is reported beside.)
    std::vector<std::string> faults;
    std::uint64_t entries = 0;      // the buckets' lengths summed (partners of an expansion in progress too)
    std::uint64_t entry_count = 0;  // the shared word
    // A cache's entries that carry metadata, the bytes they take summed
    // (what max_bytes bounds), and the cache record's count of them; 0 and
    // 0 for a plain map. (Entries an older version appended count once a
    // newer process adopts them.)
    std::uint64_t entry_bytes = 0;
    std::uint64_t entry_bytes_count = 0;
    // Held lock words, as "bucket 12 (process 345)", "allocator lock (process 1)".
    std::vector<std::string> held_locks;
    std::uint64_t pending_intents = 0;   // buckets whose intent word names a change in progress
    std::uint64_t marked_buckets = 0;    // buckets with `forward` or the split-done bit set
    std::uint64_t expansion_workers = 0;
    bool expansion_in_progress = false;  // chunk_table[chunks_in_use] is not 0
    // Where the table's doubling stands: "idle", or its phase ("building",
    // "splitting", "verifying", "clearing"; "named" while a process the
    // cursor names holds it, "stale marker", "unknown"). The first four go on
    // by steps: every operation of this version carries them on, so a file
    // left in one of them is at rest, its marks and marker included.
    std::string doubling = "idle";
    bool doubling_goes_on = false;
    std::uint64_t chunks_reached = 0;    // from the header, the table, the buckets and the free lists
    // Places of the chunk area no structure reaches that hold no chunk a walk
    // by span can read (a block no structure names, such as a doubling's new
    // chunks cut by a process that died before it published them, or a
    // header a damage made unreadable), and the bytes from each to the next
    // thing a structure reaches; a repair gives them back. Judged only when
    // no process uses the file and the structure has no fault.
    std::uint64_t unnamed_blocks = 0;
    std::uint64_t unnamed_bytes = 0;
    // The header carries the repair mark (map/map_layout.hpp): every process
    // refuses to open the file until the repair that set it ends, or, when
    // that repair was stopped before its end, until the next repair.
    bool repair_marked = false;

    // Sound, repaired and at rest: no fault, no lock held, no change in
    // progress, no expansion in progress but one that goes on by steps, no
    // block no structure names, the counts of entries and bytes right, and
    // no mark.
    bool clean() const {
        const bool expansion_at_rest = doubling_goes_on || (marked_buckets == 0 && !expansion_in_progress);
        return faults.empty() && held_locks.empty() && pending_intents == 0 && expansion_at_rest &&
               expansion_workers == 0 && unnamed_blocks == 0 && entries == entry_count &&
               entry_bytes == entry_bytes_count && !repair_marked;
    }
    ZORVIK_EXPORT std::string describe() const;
};

// What a repair found and did (repair_map_file).
struct RepairReport {
    MapCheck before;
    MapCheck after;
    std::vector<std::string> done;  // what the repair changed, one line each
    std::uint64_t reclaimed_chunks = 0;  // chunks it gave back to the free lists
    std::uint64_t reclaimed_bytes = 0;   // bytes it gave back, to the free lists or the unallocated area
};

// Bytes of the chunk area, by what holds them.
struct SpaceUse {
    std::uint64_t capacity = 0;     // the chunk area: the allocator's capacity less its record
    std::uint64_t allocated = 0;    // cut from the chunk area so far
    std::uint64_t in_use = 0;       // the map's blocks and the chunks its structures reach
    std::uint64_t free_listed = 0;  // chunks on the free lists
    std::uint64_t free_chunks[3] = {0, 0, 0};  // on the entry, link and data chunk lists
    std::uint64_t unreachable = 0;  // the rest: cached by live processes, or lost by dead ones
    // What an offline repair gives back at least of the unreachable bytes
    // (all but the 8 or 16 bytes here and there no chunk fits), when no
    // process uses the file; 0 when the structure must be mended first.
    std::uint64_t reclaimable = 0;
};

// A file's shape, its check and its space, from one walk (survey_map_file).
struct MapSurvey {
    std::uint64_t bucket_chunk_size = 0;
    std::uint64_t bucket_chunk_number = 0;
    std::uint64_t chunks_in_use = 0;
    std::uint64_t reachable_chunks = 0;  // the largest power of two <= bucket_chunk_number
    std::uint8_t data_chunk_size = 0;
    MapCheck check;
    SpaceUse space;
    // A cache's rules and counts (its record's counters), none for a plain map.
    std::optional<CacheSettings> cache_settings;
    CacheStats cache_stats;
};

// A held lock word and its holder, judged as a waiter would judge it.
struct HeldLock {
    std::string name;  // "bucket 12", "allocator lock", "expansion lock", "expansion claim"
    int pid = 0;       // 0: the word names no process
    enum class Holder { alive, ended, unnamed } holder = Holder::unnamed;
};

// An entry as stored: its hash and the bytes of its key and value, and in a
// cache its deadline (wall-clock milliseconds since the epoch; 0: none).
struct StoredEntry {
    std::int64_t hash = 0;
    std::string key;
    std::string value;
    std::uint64_t deadline_ms = 0;
};

// A file's shape as a raw dump's header carries it, for a load into a new
// file, and a cache's rules, which the dump of a cache carries after it.
struct DumpShape {
    std::uint64_t bucket_chunk_size = 0;
    std::uint64_t bucket_chunk_number = 0;
    std::uint64_t usable_size = 0;
    std::uint8_t data_chunk_size = 0;
    std::optional<CacheSettings> cache{};
};

// ---- reads: the open lock shared, nothing written ----------------------------

// Every bucket, entry and chain inside the segment, every hash in its bucket,
// no chunk used twice, the free lists, the count of entries, the locks and
// the expansion's state; read without taking any lock. `live`: for a file
// that other processes change meanwhile, each bucket judged on its own (see
// upkeep/map_check.hpp); a change met half way can look like a fault, so the
// caller checks again before it believes one.
ZORVIK_EXPORT MapCheck check_map_file(const std::string &path, const Progress &progress = nullptr,
                                      bool live = false);

// The shape, the check (not live) and the space use, in one walk. Counts are
// exact for a file no process changes; while processes work they are a
// snapshot that may be a little off.
ZORVIK_EXPORT MapSurvey survey_map_file(const std::string &path, const Progress &progress = nullptr);

// The lock words held now, with their holders judged as a waiter would judge
// them; read without taking any lock.
ZORVIK_EXPORT std::vector<HeldLock> held_locks_in_map_file(const std::string &path,
                                                           const Progress &progress = nullptr);

// Calls `visit` with every entry as stored, bucket by bucket, until it
// returns true (enough): each bucket's entries are copied under its lock and
// visited once the lock is let go, so a visit may take as long as it likes.
// An entry that an expansion moves meanwhile may be visited twice, never with
// other bytes. Returns the number of visits.
ZORVIK_EXPORT std::uint64_t visit_map_file(const std::string &path,
                                           const std::function<bool(const StoredEntry &)> &visit,
                                           const Progress &progress = nullptr);

// The raw dump of every entry (upkeep/entry_stream.hpp: a header with the
// file's shape, a cache's rules, a record per entry, an end record), handed
// to `sink` in pieces of about a mebibyte; a cache's expired entries are
// left out, the others keep their deadlines. Returns the number of entries
// written.
ZORVIK_EXPORT std::uint64_t dump_map_file(const std::string &path,
                                          const std::function<void(const char *, std::size_t)> &sink,
                                          const Progress &progress = nullptr);

// The processes that hold the file at `path` open or map it (this one
// included), in increasing order. Throws FileError when the path leads nowhere.
ZORVIK_EXPORT std::vector<int> processes_holding_map_file(const std::string &path);

// Throws FileInUse, naming them, when processes that may write the file at
// `path` hold it open or map it: the refusal of a repair, for a caller that
// asks what a repair would do. Returns the holders that only read it, which
// a repair works beside (repair_map_file); none when no process holds it.
// Throws FileError when the path leads nowhere.
ZORVIK_EXPORT std::vector<int> refuse_writers(const std::string &path);

// ---- writes ----------------------------------------------------------------------

// Repairs the map file at `path`: frees lock words that name no process,
// finishes or undoes changes and expansions left in progress, mends a
// damaged structure, recounts the entries and gives back the chunks nothing
// reaches (upkeep/offline_repair.cpp). `progress` follows each of its walks
// of the whole file.
//
// The repair needs the file to itself. While processes that may write it
// hold it open or map it (this process's own dictionaries count), it is
// refused (FileInUse, naming them). While every holder can only read it
// (platform/file_users.hpp), the file is closed to new openers by the repair
// mark, the repair works on a copy beside it, and the copy takes the file's
// place by a rename: those readers go on reading the file as it was, and
// new openers get the repaired one. A repair killed at any step leaves the
// file marked (every version refuses to open it) or already replaced; the
// next repair finishes the work and removes what the killed one left.
ZORVIK_EXPORT RepairReport repair_map_file(const std::string &path, const Progress &progress = nullptr);

// A new, empty map file shaped by `arguments` in `directory`, under a fresh
// name, kept; returns its path. Throws std::invalid_argument for arguments no
// map can be made of.
ZORVIK_EXPORT std::string create_map_file(const std::string &directory, const MapArguments &arguments);

// The shape a raw dump's header names, read through `source` (which fills up
// to the given number of bytes and returns how many it filled, 0 at the end).
// Throws std::runtime_error naming the fault for what is not a dump's header.
ZORVIK_EXPORT DumpShape read_dump_shape(const std::function<std::size_t(char *, std::size_t)> &source);

// A raw dump read through `source` into the map file at `path`, each entry
// inserted as stored (replacing an entry with the same key and hash). A
// damaged or cut stream throws std::invalid_argument at the record where it
// breaks, a full file std::runtime_error; both say how many entries were
// loaded before. Returns the number of entries loaded. Entries with a
// deadline (a cache's dump) keep it in a cache and become plain entries in
// a plain map; ones whose deadline has passed are left out, uncounted.
// `progress` counts entries, with a total of 0.
ZORVIK_EXPORT std::uint64_t load_map_file(const std::string &path,
                                          const std::function<std::size_t(char *, std::size_t)> &source,
                                          const Progress &progress = nullptr);

// Every entry of the map file at `source`, as stored, inserted into the one
// at `target`, a cache's with their deadlines (expired ones left out).
// Returns the number of entries copied.
ZORVIK_EXPORT std::uint64_t copy_map_file(const std::string &source, const std::string &target,
                                          const Progress &progress = nullptr);

// ---- the fault tests' hook -------------------------------------------------------

// For the fault tests: from now on this process kills itself (SIGKILL) at the
// `steps`-th crash point it passes (segment/crash_points.hpp), whichever
// dictionary passes it; 0 disarms. With `signal` SIGSTOP it stops there
// until continued. Set in a child made by fork before its first operation.
// Never throws.
ZORVIK_EXPORT void arm_crash_points(std::uint64_t steps, int signal = SIGKILL);

}  // namespace zorvik
