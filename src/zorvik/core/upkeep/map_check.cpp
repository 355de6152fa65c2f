#include "zorvik/core/upkeep/map_check.hpp"

#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/spin_lock.hpp"
#include "zorvik/core/upkeep/unreached_space.hpp"

namespace zorvik {
namespace {

class Walk {
public:
    Walk(MapState &m, bool each_bucket) : m_(m), each_bucket_(each_bucket) {
        reached_.reset(memory_manager(m.base)->offset);
    }

    MapCheck report;

    void fault(const std::string &what) { report.faults.push_back(what); }

    // Records the chunk whose data lies at `data`; false (with a fault) when
    // it was reached before.
    bool reach(Offset data, const std::string &what) {
        if (each_bucket_ ? !bucket_reached_.insert(data).second : !reached_.insert(data)) {
            fault("a chunk reached twice, the second time as " + what);
            return false;
        }
        return true;
    }

    // Walks `chain`, recording every link and payload; false at the first fault.
    bool chain(const Chain &chain, const std::string &what) {
        try {
            for (ChunkLink *link : chain.links()) {
                if (!reach(m_.area.offset_of(link), what + " (a link)")) return false;
                m_.area.bytes(link->chunk, chain.piece_size());
                if (link->chunk % kChunkGrid != kDataPastGrid ||
                    chunk_size_at(m_.base + link->chunk - kChunkHeaderLength) != chain.piece_size()) {
                    fault(what + ": a link whose payload is not a chunk of " + std::to_string(chain.piece_size()) +
                          " bytes");
                    return false;
                }
                if (!reach(link->chunk, what + " (a payload)")) return false;
            }
        } catch (const std::out_of_range &) {
            fault(what + ": a link outside the area or not a link");
            return false;
        }
        return true;
    }

    // A key's or value's bytes; empty on a fault.
    bool array(const ChunkArray &array, const std::string &what, std::string *bytes) {
        if (array.length == 0 && array.chunk_count == 0) return true;
        const Chain chain = byte_chain(m_.area, array);
        if (array.per_chunk != m_.data_chunk_size || !chain.filled_by(array.length)) {
            fault(what + ": " + std::to_string(array.length) + " bytes in " + std::to_string(array.chunk_count) +
                  " chunks of " + std::to_string(array.per_chunk));
            return false;
        }
        if (!this->chain(chain, what)) return false;
        if (bytes != nullptr) {
            bytes->resize(array.length);
            chain.copy_to(bytes->data(), array.length);
        }
        return true;
    }

    // Bucket `index` of a table of `table` buckets (`split_bit`: the bit that
    // moves an entry in an expansion in progress, 0 when none runs).
    void bucket(std::uint64_t index, std::uint64_t table, std::uint64_t split_bit) {
        Bucket *bucket = m_.bucket_at(index);
        const std::string name = "bucket " + std::to_string(index);
        if (each_bucket_) bucket_reached_.clear();
        if (const int pid = segment_lock_holder(lock_word(bucket))) {
            report.held_locks.push_back(name + " (process " + std::to_string(pid) + ")");
        } else if (read_u64(lock_word(bucket)) != 0) {
            report.held_locks.push_back(name + " (no process named)");
        }
        const IntentWord intent = read_intent(bucket);
        if (intent.intent != Intent::none) ++report.pending_intents;
        if (bucket->forward != 0 || intent.split_done) ++report.marked_buckets;
        const ChunkArray &entries = bucket->entries;
        if (entries.per_chunk != kEntriesPerChunk || entries.chunk_count == 0 ||
            entries.chunk_count < chunks_for(entries.length, kEntriesPerChunk)) {
            fault(name + ": " + std::to_string(entries.length) + " entries in " +
                  std::to_string(entries.chunk_count) + " entry chunks of " + std::to_string(entries.per_chunk));
            return;
        }
        const Chain list = entry_chain(m_.area, entries);
        if (!chain(list, name + "'s entries")) return;
        report.entries += entries.length;
        std::set<std::pair<std::int64_t, std::string>> keys;
        for (std::uint64_t i = 0; i < entries.length; ++i) {
            const MapEntry &entry = *entry_place(m_, entries, i);
            const std::string what = name + " entry " + std::to_string(i);
            const auto hash = static_cast<std::uint64_t>(entry.hash);
            // An entry lies in the bucket its hash leads to in the table in
            // force, or (while an expansion runs) in its new half.
            const std::uint64_t home = hash & (table - 1);
            const bool placed = home == index || (split_bit != 0 && (hash & (2 * split_bit - 1)) == index);
            if (!placed) fault(what + ": its hash leads to bucket " + std::to_string(home));
            std::string key;
            if (array(entry.key, what + "'s key", &key) && !keys.emplace(entry.hash, key).second) {
                fault(what + ": its key is stored twice in the bucket");
            }
            const bool value_sound = array(entry.value, what + "'s value", nullptr);
            if (m_.cache != nullptr && value_sound && read_metadata(&entry).present) {
                report.entry_bytes += static_cast<std::uint64_t>(
                    m_.entry_bytes(entry.key.chunk_count + entry.value.chunk_count));
            }
        }
        if (split_bit != 0 && index < table) {
            // Keys the split moved and keys it has yet to move must not meet.
            pending_keys_[index] = std::move(keys);
        } else if (split_bit != 0) {
            const auto stayed = pending_keys_.find(index - table);
            for (const auto &key : keys) {
                if (stayed != pending_keys_.end() && stayed->second.count(key)) {
                    fault(name + ": a key its partner also holds");
                }
            }
        }
    }

    std::uint64_t reached() const { return reached_.size(); }
    ChunkMarks take_reached() { return std::move(reached_); }

    void free_list(const FreeList &list, std::uint8_t size, const char *name) {
        const MemoryManager *manager = memory_manager(m_.base);
        const std::uint64_t limit = m_.area.most_links() + 1;
        Offset at = list.head;
        for (std::uint64_t n = 0; at != 0; ++n) {
            if (n > limit || at < kFirstChunk || at % kChunkGrid != 0 || at >= manager->offset ||
                chunk_size_at(m_.base + at) != size) {
                fault(std::string("the free ") + name + " list leads outside the allocated area or to a wrong chunk");
                return;
            }
            if (!reach(at + kChunkHeaderLength, std::string("a chunk on the free ") + name + " list")) return;
            at = read_u64(m_.base + at + kChunkHeaderLength);
        }
    }

private:
    MapState &m_;
    const bool each_bucket_;
    ChunkMarks reached_;
    std::unordered_set<Offset> bucket_reached_;  // each bucket on its own (a live check)
    std::map<std::uint64_t, std::set<std::pair<std::int64_t, std::string>>> pending_keys_;
};

// The doubling's records: the extension (a chunk in use), its growth lock,
// and the phase the shared words show.
void check_growth_records(MapState &m, Walk &walk, MapCheck &report) {
    if (m.extension_damaged) walk.fault("the map header's extension names no extension record");
    if (char *record = m.extension()) walk.reach(m.area.offset_of(record), "the extension record");
    if (m.cache != nullptr) walk.reach(m.area.offset_of(m.cache), "the cache record");
    if (m.cache_damaged) walk.fault("the extension names a cache record that is damaged");
    if (char *lock = m.growth_lock_word(); lock != nullptr && read_u64(lock) != 0) {
        report.held_locks.push_back("growth lock (process " + std::to_string(segment_lock_holder(lock)) + ")");
    }
    const GrowthPhase phase = m.growth_phase();
    report.doubling = growth_phase_name(phase);
    report.doubling_goes_on = goes_on_by_steps(phase);
}

}  // namespace

std::string MapCheck::describe() const {
    std::ostringstream text;
    text << entries << " entries (count word " << entry_count << "), " << chunks_reached << " chunks reached";
    if (doubling_goes_on) {
        text << ", a doubling in progress (" << doubling << ", going on by steps)";
    } else if (expansion_in_progress) {
        text << ", an expansion in progress (" << doubling << ")";
    }
    if (entry_bytes != entry_bytes_count) {
        text << ", entries of " << entry_bytes << " bytes (the cache's count says " << entry_bytes_count << ")";
    }
    if (expansion_workers != 0) text << ", " << expansion_workers << " expansion participants counted";
    if (marked_buckets != 0) text << ", " << marked_buckets << " buckets marked";
    if (pending_intents != 0) text << ", " << pending_intents << " changes in progress";
    if (unnamed_blocks != 0) {
        text << ", " << unnamed_blocks << " blocks no structure names (" << unnamed_bytes << " bytes)";
    }
    for (const std::string &lock : held_locks) text << "\n  held: " << lock;
    for (const std::string &fault : faults) text << "\n  fault: " << fault;
    return text.str();
}

MapCheck check_map(MapState &m, ChunkMarks *reached, const Progress &progress, bool live) {
    Walk walk(m, live);
    MapCheck &report = walk.report;
    const MemoryManager *manager = memory_manager(m.base);
    if (allocator_lock_holder(allocator_lock_word(m.base)) != 0 || *allocator_lock_word(m.base) != 0) {
        report.held_locks.push_back("allocator lock (process " +
                                    std::to_string(allocator_lock_holder(allocator_lock_word(m.base))) + ")");
    }
    if (read_u64(m.expansion_lock_word) != 0) {
        report.held_locks.push_back("expansion lock (process " + std::to_string(segment_lock_holder(m.expansion_lock_word)) +
                                    ")");
    }
    report.repair_marked = m.repair_marked;
    walk.reach(kMapHeaderOffset, "the map header");
    check_growth_records(m, walk, report);
    const std::uint64_t chunks = m.chunks_in_use();
    report.entry_count = m.entry_count();
    report.entry_bytes_count = m.cache_bytes();
    report.expansion_workers = m.expansion_workers();
    const std::uint64_t table = m.bucket_chunk_size * chunks;
    // An expansion whose new chunks are published has partners to walk too.
    const bool published = chunks < m.reachable_chunks && m.table_entry(chunks) > 1;
    report.expansion_in_progress = chunks < m.bucket_chunk_number && m.table_entry(chunks) != 0;
    // Progress once per 2^16 buckets: a bar that moves, at no cost to the walk.
    const std::uint64_t buckets = published ? 2 * table : table;
    auto advance = [&](std::uint64_t i) {
        if (progress && (i + 1) % (std::uint64_t{1} << 16) == 0) progress(i + 1, buckets);
    };
    try {
        for (std::uint64_t i = 0; i < table; ++i) {
            walk.bucket(i, table, published ? table : 0);
            advance(i);
        }
        if (published) {
            for (std::uint64_t i = table; i < 2 * table; ++i) {
                walk.bucket(i, table, table);
                advance(i);
            }
        }
    } catch (const std::out_of_range &) {
        walk.fault("the chunk table does not lead to the bucket chunks in use");
    }
    if (!live) {
        walk.free_list(manager->entry_list, kEntryChunkSize, "entry chunk");
        walk.free_list(manager->link_list, kLinkChunkSize, "link");
        walk.free_list(manager->data_list, manager->chunk_size, "data chunk");
    }
    if (progress) progress(buckets, buckets);
    report.chunks_reached = walk.reached();
    ChunkMarks marks = walk.take_reached();
    if (!live && report.faults.empty()) {
        const UnreachedSpace space = find_unreached_space(m, marks);
        if (!space.later_records) {
            report.unnamed_blocks = space.unnamed_blocks;
            report.unnamed_bytes = space.unnamed_bytes;
        }
    }
    if (reached != nullptr) *reached = std::move(marks);
    return report;
}

}  // namespace zorvik
