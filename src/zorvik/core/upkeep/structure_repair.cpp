#include "zorvik/core/upkeep/structure_repair.hpp"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace zorvik {
namespace {

// A ValueSink that keeps nothing: for asking whether a key is present.
class NoValue final : public ValueSink {
public:
    char *reserve(std::uint64_t length) override {
        buffer_.resize(length);
        return buffer_.data();
    }
    void abandon() noexcept override {}

private:
    std::string buffer_;
};

std::string bytes_text(const ChunkArray &array) {
    return std::to_string(array.length) + " bytes in " + std::to_string(array.chunk_count) + " chunks of " +
           std::to_string(array.per_chunk);
}

}  // namespace

void StructureRepair::commit(const std::vector<Offset> &staged) {
    for (const Offset data : staged) reached_.insert(data);
}

std::uint64_t StructureRepair::sound_links(Offset head, std::uint64_t count, std::uint64_t piece_size,
                                           std::vector<Offset> &staged, std::string &why) {
    const ChunkArea &area = m_.area;
    const Offset allocated = memory_manager(m_.base)->offset;
    // What this walk has met (with what `staged` held before it): a chain
    // that meets a chunk twice loops.
    std::unordered_set<Offset> in_chain(staged.begin(), staged.end());
    // A chunk's data (of `size` bytes) on the grid inside the allocated area,
    // reached by nothing before and not twice by this chain.
    auto fresh_chunk = [&](Offset data, std::uint64_t size, const char *what) {
        if (data % kChunkGrid != kDataPastGrid || data < kFirstChunk + kDataPastGrid || data > allocated ||
            allocated - data < size || chunk_size_at(m_.base + data - kChunkHeaderLength) != size) {
            why = std::string("a ") + what + " that is not one";
            return false;
        }
        if (reached(data) || !in_chain.insert(data).second) {
            why = std::string("a ") + what + " that another chain uses";
            return false;
        }
        staged.push_back(data);
        return true;
    };
    if (count > area.most_links()) count = area.most_links() + 1;  // a loop: the walk meets a chunk twice
    Offset at = head;
    for (std::uint64_t k = 0; k < count; ++k) {
        if (!fresh_chunk(at, kLinkChunkSize, "link")) return k;
        const auto *link = reinterpret_cast<const ChunkLink *>(m_.base + at);
        if (!fresh_chunk(link->chunk, piece_size, "payload chunk")) {
            staged.pop_back();
            return k;
        }
        at = link->next;
    }
    return count;
}

bool StructureRepair::readable(const ChunkArray &array, std::vector<Offset> &staged, std::string &why) {
    if (array.length == 0 && array.chunk_count == 0) return true;
    if (array.per_chunk != m_.data_chunk_size || !byte_chain(m_.area, array).filled_by(array.length)) {
        why = bytes_text(array);
        return false;
    }
    return sound_links(array.head, array.chunk_count, m_.data_chunk_size, staged, why) == array.chunk_count;
}

void StructureRepair::mend_list(std::uint64_t index, Bucket *bucket) {
    ChunkArray &entries = bucket->entries;
    std::vector<Offset> staged;
    std::string why;
    const bool shaped = entries.per_chunk == kEntriesPerChunk && entries.chunk_count != 0 &&
                        entries.chunk_count >= chunks_for(entries.length, kEntriesPerChunk);
    const std::uint64_t sound = sound_links(entries.head, entries.chunk_count, kEntryChunkSize, staged, why);
    if (shaped && sound == entries.chunk_count) {
        commit(staged);
        return;
    }
    const std::string name = "bucket " + std::to_string(index);
    if (why.empty()) {
        why = std::to_string(entries.length) + " entries in " + std::to_string(entries.chunk_count) +
              " entry chunks of " + std::to_string(entries.per_chunk);
    }
    const std::uint64_t kept = std::min(entries.length, sound * kEntriesPerChunk);
    if (sound == 0) {
        // Every bucket owns an entry chunk: a fresh one, its places zero.
        const Chain fresh = m_.entry_pool.take(1);
        entries.head = fresh.head();
        staged.assign({fresh.head(), (*fresh.links().begin())->chunk});
    }
    commit(staged);
    entries.chunk_count = std::max<std::uint64_t>(sound, 1);
    entries.per_chunk = static_cast<std::uint8_t>(kEntriesPerChunk);
    entries.length = kept;
    note(name + ": its list of entries was broken (" + why + "); kept the " + std::to_string(kept) +
         " entries before the break");
}

void StructureRepair::mend_entries(std::uint64_t index, Bucket *bucket, std::uint64_t table, std::uint64_t split_bit) {
    ChunkArray &entries = bucket->entries;
    const std::string name = "bucket " + std::to_string(index);
    std::vector<MapEntry *> places;
    for (ChunkLink *link : entry_chain(m_.area, entries).links()) {
        for (std::uint64_t k = 0; k < kEntriesPerChunk; ++k) places.push_back(entry_slot(m_, link, places.size()));
    }
    std::set<std::pair<std::int64_t, std::string>> keys;
    std::vector<Offset> staged;
    for (std::uint64_t i = 0; i < entries.length;) {
        MapEntry &entry = *places[i];
        staged.clear();
        std::string why;
        bool keep = readable(entry.key, staged, why) && readable(entry.value, staged, why);
        StoredEntry stored;
        if (keep) {
            stored.hash = entry.hash;
            stored.key.resize(entry.key.length);
            byte_chain(m_.area, entry.key).copy_to(stored.key.data(), entry.key.length);
            const auto hash = static_cast<std::uint64_t>(entry.hash);
            const bool placed = (hash & (table - 1)) == index || (split_bit != 0 && (hash & (2 * split_bit - 1)) == index);
            if (!placed) {
                stored.value.resize(entry.value.length);
                byte_chain(m_.area, entry.value).copy_to(stored.value.data(), entry.value.length);
                note(name + " entry " + std::to_string(i) + ": its hash leads to bucket " +
                     std::to_string(hash & (table - 1)) + "; moved there");
                misplaced_.push_back(std::move(stored));
                keep = false;
            } else if (!keys.emplace(stored.hash, stored.key).second) {
                note(name + " entry " + std::to_string(i) + ": dropped, its key is stored twice in the bucket");
                keep = false;
            }
        } else {
            note(name + " entry " + std::to_string(i) + ": dropped, its key or value cannot be read (" + why + ")");
        }
        if (keep) {
            commit(staged);
            ++i;
            continue;
        }
        // The last entry takes the dropped one's place; its chunks, reached
        // by nothing now, go back to the free lists in the reclaim.
        const std::uint64_t last = entries.length - 1;
        if (i != last) std::memcpy(static_cast<void *>(places[i]), places[last], sizeof(MapEntry));
        zero_entry(places[last]);
        entries.length = last;
    }
}

void StructureRepair::mend_free_list(FreeList &list, std::uint8_t size, const char *name) {
    const Offset allocated = memory_manager(m_.base)->offset;
    char *previous = nullptr;  // the data of the chunk before, whose first 8 bytes lead on
    Offset at = list.head;
    for (std::uint64_t n = 0; at != 0; ++n) {
        const Offset data = at + kChunkHeaderLength;
        const bool sound = n <= m_.area.most_links() && at >= kFirstChunk && at % kChunkGrid == 0 &&
                           at < allocated && allocated - at >= chunk_span(size) &&
                           chunk_size_at(m_.base + at) == size && !reached(data);
        if (!sound) {
            if (previous == nullptr) {
                list.head = 0;
            } else {
                write_u64(previous, 0);
            }
            note(std::string("the free ") + name + " list led to a chunk in use or to no free chunk; cut after " +
                 std::to_string(n) + " chunks");
            return;
        }
        reached_.insert(data);
        previous = m_.base + data;
        at = read_u64(previous);
    }
}

void StructureRepair::run() {
    MemoryManager *manager = memory_manager(m_.base);
    reached_.reset(manager->offset);
    reached_.insert(kMapHeaderOffset);
    const std::uint64_t chunks = m_.chunks_in_use();
    const std::uint64_t table = m_.bucket_chunk_size * chunks;
    const bool published = chunks < m_.reachable_chunks && m_.table_entry(chunks) > 1;
    const std::uint64_t buckets = published ? 2 * table : table;
    for (std::uint64_t i = 0; i < buckets; ++i) {
        Bucket *bucket = m_.bucket_at(i);
        mend_list(i, bucket);
        mend_entries(i, bucket, table, published ? table : 0);
    }
    mend_free_list(manager->entry_list, kEntryChunkSize, "entry chunk");
    mend_free_list(manager->link_list, kLinkChunkSize, "link");
    mend_free_list(manager->data_list, manager->chunk_size, "data chunk");
}

void StructureRepair::reinsert_misplaced() {
    for (const StoredEntry &entry : misplaced_) {
        NoValue ignored;
        if (m_.get(entry.key.data(), entry.key.size(), entry.hash, ignored)) {
            note("an entry taken out of the wrong bucket was dropped: its key is in the right one");
            continue;
        }
        m_.insert(entry.key.data(), entry.value.data(), entry.key.size(), entry.value.size(), entry.hash);
    }
    misplaced_.clear();
}

}  // namespace zorvik
