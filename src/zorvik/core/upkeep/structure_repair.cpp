#include "zorvik/core/upkeep/structure_repair.hpp"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "zorvik/core/upkeep/stored_entry.hpp"

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

std::string list_text(const ChunkArray &entries) {
    return std::to_string(entries.length) + " entries in " + std::to_string(entries.chunk_count) +
           " entry chunks of " + std::to_string(entries.per_chunk);
}

// The bytes of `array` as a reader reads them.
std::string chain_bytes(const ChunkArea &area, const ChunkArray &array) {
    std::string bytes(array.length, '\0');
    byte_chain(area, array).copy_to(bytes.data(), array.length);
    return bytes;
}

constexpr const char *kShared = "a link that another chain uses";

// Whether a place of an entry chunk holds an entry: every entry ever written
// has the data chunk size in both arrays' per_chunk bytes (write_array), and
// a place past a list's end reads zero there (a removal clears it, a fresh
// entry chunk is zeroed) or holds a free list's link in its first bytes.
bool holds_an_entry(const MapEntry &entry) { return entry.key.per_chunk != 0 || entry.value.per_chunk != 0; }

}  // namespace

// ---- chunks and chains as walks meet them ----------------------------------------------

StructureRepair::Found StructureRepair::look(Offset data, std::uint8_t size) const {
    const Offset allocated = memory_manager(m_.base)->offset;
    if (data % kChunkGrid != kDataPastGrid || data < kFirstChunk + kDataPastGrid || data >= allocated ||
        allocated - data < size) {
        return Found::not_one;
    }
    const char *header = m_.base + data - kChunkHeaderLength;
    const bool size_right = chunk_size_at(header) == size;
    const bool span_right = chunk_span_at(header) == chunk_span(size);
    if (size_right && span_right) return Found::chunk;
    // One of the two bytes is the kind's: the other one was damaged (a
    // pointer that went astray lands on a chunk of another kind, whose
    // header has neither). Readers never look at a payload's header, and a
    // link's only for its size.
    return size_right || span_right ? Found::damaged_header : Found::not_one;
}

template <class OnStep>
std::uint64_t StructureRepair::walk(Offset head, std::uint64_t count, std::uint8_t piece, bool strays,
                                    std::string &why, OnStep &&on_step) {
    // No chain is longer than the links the area holds: a longer walk meets
    // a chunk twice.
    if (count > m_.area.most_links()) count = m_.area.most_links() + 1;
    std::unordered_set<Offset> own;
    Offset at = head;
    for (std::uint64_t k = 0; k < count; ++k) {
        const Found link = look(at, kLinkChunkSize);
        if (link == Found::not_one) {
            why = "a link that is not one";
            return k;
        }
        const auto *chunk_link = reinterpret_cast<const ChunkLink *>(m_.base + at);
        const Offset payload = chunk_link->chunk;
        const Found found = look(payload, piece);
        // A reader takes a payload's bytes wherever the link says, inside
        // the area: a byte chain's stray payload still reads.
        const bool stray = found == Found::not_one && strays && m_.area.holds(payload, 1);
        if (found == Found::not_one && !stray) {
            why = "a payload chunk that is not one";
            return k;
        }
        if (!own.insert(at).second || (!stray && !own.insert(payload).second)) {
            why = "a chain that meets itself";
            return k;
        }
        if (!on_step(Step{at, payload, link == Found::damaged_header, found == Found::damaged_header, stray})) return k;
        at = chunk_link->next;
    }
    return count;
}

void StructureRepair::mend_header(Offset data, std::uint8_t size) {
    char *header = m_.base + data - kChunkHeaderLength;
    header[0] = static_cast<char>(chunk_span(size));
    header[1] = static_cast<char>(size);
    ++mended_headers_;
}

bool StructureRepair::belongs(std::int64_t hash, std::uint64_t index) const {
    const auto h = static_cast<std::uint64_t>(hash);
    return (h & (table_ - 1)) == index || (split_bit_ != 0 && (h & (2 * split_bit_ - 1)) == index);
}

// ---- the buckets' lists of entries -------------------------------------------------------

void StructureRepair::walk_lists(std::uint64_t buckets) {
    lists_.assign(buckets, ListState{});
    for (std::uint64_t i = 0; i < buckets; ++i) {
        const ChunkArray &entries = m_.bucket_at(i)->entries;
        ListState &list = lists_[i];
        // The links the length needs, walked even when the count says fewer
        // (a damaged count: a reader refuses the list; the repair keeps what
        // its links still hold).
        list.needed = std::max<std::uint64_t>(1, chunks_for(entries.length, kEntriesPerChunk));
        list.sound = walk(entries.head, list.needed, kEntryChunkSize, false, list.why, [&](const Step &step) {
            for (const Offset chunk : {step.link, step.payload}) {
                if (!claimed_.insert(chunk)) contested_[chunk];
            }
            return true;
        });
    }
}

std::uint64_t StructureRepair::entries_placed(Offset payload, const Claim &claim) {
    const ChunkArray &entries = m_.bucket_at(claim.bucket)->entries;
    std::uint64_t placed = 0;
    for (std::uint64_t k = 0; k < kEntriesPerChunk; ++k) {
        const std::uint64_t place = claim.index * kEntriesPerChunk + k;
        if (place >= entries.length) break;
        const auto *entry = reinterpret_cast<const MapEntry *>(m_.base + payload + k * sizeof(MapEntry));
        placed += holds_an_entry(*entry) && belongs(entry->hash, claim.bucket);
    }
    return placed;
}

StructureRepair::Claim StructureRepair::owner_of(Offset chunk, const std::vector<Claim> &claims) {
    // The entry chunk at stake: the chunk itself, or the payload of the link.
    const char *header = m_.base + chunk - kChunkHeaderLength;
    const Offset payload =
        chunk_size_at(header) == kLinkChunkSize ? reinterpret_cast<const ChunkLink *>(m_.base + chunk)->chunk : chunk;
    // The list whose entries it holds; else the one that reaches it in
    // fewer links (the other went astray on its way); else the first walked.
    const Claim *best = nullptr;
    std::uint64_t best_placed = 0;
    for (const Claim &claim : claims) {
        const std::uint64_t placed = entries_placed(payload, claim);
        if (best == nullptr || placed > best_placed || (placed == best_placed && claim.index < best->index)) {
            best = &claim;
            best_placed = placed;
        }
    }
    return *best;
}

void StructureRepair::settle_shared_chunks(std::uint64_t buckets) {
    if (contested_.empty()) return;
    for (std::uint64_t i = 0; i < buckets; ++i) {
        std::uint64_t index = 0;
        std::string ignored;
        walk(m_.bucket_at(i)->entries.head, lists_[i].sound, kEntryChunkSize, false, ignored, [&](const Step &step) {
            for (const Offset chunk : {step.link, step.payload}) {
                if (const auto found = contested_.find(chunk); found != contested_.end()) {
                    found->second.push_back(Claim{i, index});
                }
            }
            ++index;
            return true;
        });
    }
    // A list cut before a chunk gives up every chunk after it too, which may
    // settle other contests: again until nothing changes.
    for (bool changed = true; changed;) {
        changed = false;
        for (const auto &[chunk, claims] : contested_) {
            std::vector<Claim> live;
            for (const Claim &claim : claims) {
                if (claim.index < lists_[claim.bucket].sound) live.push_back(claim);
            }
            if (live.size() < 2) continue;
            const Claim owner = owner_of(chunk, live);
            for (const Claim &claim : live) {
                if (claim.bucket == owner.bucket && claim.index == owner.index) continue;
                lists_[claim.bucket].sound = claim.index;
                lists_[claim.bucket].why = kShared;
                changed = true;
            }
        }
    }
}

void StructureRepair::commit_list(std::uint64_t index, Bucket *bucket) {
    ChunkArray &entries = bucket->entries;
    ListState &list = lists_[index];
    std::string ignored;
    walk(entries.head, list.sound, kEntryChunkSize, false, ignored, [&](const Step &step) {
        reached_.insert(step.link);
        reached_.insert(step.payload);
        if (step.mend_link) mend_header(step.link, kLinkChunkSize);
        if (step.mend_payload) mend_header(step.payload, kEntryChunkSize);
        return true;
    });
    const std::string name = "bucket " + std::to_string(index);
    const std::string shape = list_text(entries);
    const std::uint64_t kept = std::min(entries.length, list.sound * kEntriesPerChunk);
    if (list.sound < list.needed) {
        note(name + ": its list of entries was broken (" + list.why + "; " + shape + "); kept the " +
             std::to_string(kept) + " entries before the break");
    } else if (entries.per_chunk != kEntriesPerChunk || entries.chunk_count < list.needed) {
        note(name + ": its list of entries said " + shape + "; set it to its " + std::to_string(list.needed) +
             " entry chunks");
    }
    list.spare = list.sound == list.needed && entries.chunk_count > list.needed ? entries.chunk_count - list.needed : 0;
    entries.per_chunk = static_cast<std::uint8_t>(kEntriesPerChunk);
    entries.length = kept;
    entries.chunk_count = list.sound;
    if (list.sound == 0) fresh_lists_.push_back(index);
}

void StructureRepair::walk_spare_links(std::uint64_t index, Bucket *bucket) {
    ListState &list = lists_[index];
    if (list.spare == 0) return;
    ChunkArray &entries = bucket->entries;
    // Spare links hold no entry: each lives only as long as no other list
    // reaches it, and the list gives up the rest at the first that does.
    const Offset after = entry_chain(m_.area, entries).last()->next;
    std::string why;
    const std::uint64_t kept = walk(after, list.spare, kEntryChunkSize, false, why, [&](const Step &step) {
        if (reached(step.link) || reached(step.payload)) {
            why = kShared;
            return false;
        }
        reached_.insert(step.link);
        reached_.insert(step.payload);
        if (step.mend_link) mend_header(step.link, kLinkChunkSize);
        if (step.mend_payload) mend_header(step.payload, kEntryChunkSize);
        return true;
    });
    entries.chunk_count += kept;
    if (kept < list.spare) {
        note("bucket " + std::to_string(index) + ": kept " + std::to_string(kept) + " of the " +
             std::to_string(list.spare) + " spare entry chunks its count named (" + why + ")");
    }
}

// ---- entries -------------------------------------------------------------------------------

bool StructureRepair::readable(ChunkArray &array, const std::string &what, std::vector<Step> &steps,
                               std::unordered_set<Offset> &met, bool &copy, std::string &why) {
    if (array.length == 0 && array.chunk_count == 0) return true;
    if (array.per_chunk != m_.data_chunk_size) {
        // Only its piece size damaged: the length and count still agree on
        // the file's data chunk size, the one every chain is written with.
        if (!Chain(m_.area, array.head, array.chunk_count, m_.data_chunk_size).filled_by(array.length)) {
            why = bytes_text(array);
            return false;
        }
        note(what + ": its piece size said " + std::to_string(array.per_chunk) + "; set it to " +
             std::to_string(m_.data_chunk_size));
        array.per_chunk = m_.data_chunk_size;
    }
    if (!byte_chain(m_.area, array).filled_by(array.length)) {
        why = bytes_text(array);
        return false;
    }
    std::uint64_t left = array.length;
    const std::uint64_t sound =
        walk(array.head, array.chunk_count, m_.data_chunk_size, true, why, [&](const Step &step) {
            const std::uint64_t piece = std::min<std::uint64_t>(left, m_.data_chunk_size);
            left -= piece;
            if (step.stray) {
                if (!m_.area.holds(step.payload, piece)) {
                    why = "a payload past the chunk area";
                    return false;
                }
                copy = true;  // its bytes are read into chunks of its own
            }
            // A chunk the entry's other chain, or another entry, uses.
            if (!met.insert(step.link).second || reached(step.link)) copy = true;
            if (!step.stray && (!met.insert(step.payload).second || reached(step.payload))) copy = true;
            steps.push_back(step);
            return true;
        });
    return sound == array.chunk_count;
}

void StructureRepair::mend_entries(std::uint64_t index, Bucket *bucket) {
    ChunkArray &entries = bucket->entries;
    if (entries.chunk_count == 0) return;  // a fresh chunk comes later; no entries
    const std::string name = "bucket " + std::to_string(index);
    std::vector<MapEntry *> places;
    for (ChunkLink *link : entry_chain(m_.area, entries).links()) {
        for (std::uint64_t k = 0; k < kEntriesPerChunk; ++k) places.push_back(entry_slot(m_, link, places.size()));
    }
    std::set<std::pair<std::int64_t, std::string>> keys;
    for (std::uint64_t i = 0; i < entries.length;) {
        MapEntry &entry = *places[i];
        const std::string what = name + " entry " + std::to_string(i);
        std::vector<Step> steps;
        std::unordered_set<Offset> met;
        bool copy_key = false;
        bool copy_value = false;
        std::string why;
        bool keep = holds_an_entry(entry);
        if (!keep) {
            note(what + ": dropped, an empty place inside its list (its length was damaged)");
        } else if (!readable(entry.key, what + "'s key", steps, met, copy_key, why) ||
                   !readable(entry.value, what + "'s value", steps, met, copy_value, why)) {
            note(what + ": dropped, its key or value cannot be read (" + why + ")");
            keep = false;
        }
        if (keep) {
            // Readers read the chains from here on: their damaged headers
            // are written again first (a misplaced entry's too, whose bytes
            // are copied out; its chunks are then reached by nothing).
            for (const Step &step : steps) {
                if (step.mend_link) mend_header(step.link, kLinkChunkSize);
                if (step.mend_payload) mend_header(step.payload, m_.data_chunk_size);
            }
            StoredEntry stored;
            stored.hash = entry.hash;
            stored.key.resize(entry.key.length);
            byte_chain(m_.area, entry.key).copy_to(stored.key.data(), entry.key.length);
            if (!belongs(entry.hash, index)) {
                const std::uint64_t home = static_cast<std::uint64_t>(entry.hash) & (table_ - 1);
                // With its deadline, in a cache: moved, it must expire when
                // it would have where it was.
                if (copy_stored(m_, entry, m_.expiry_clock() / 1000, stored)) {
                    note(what + ": its hash leads to bucket " + std::to_string(home) + "; moved there");
                    misplaced_.push_back(std::move(stored));
                } else {
                    note(what + ": its hash leads to bucket " + std::to_string(home) + "; dropped, it has expired");
                }
                keep = false;
            } else if (!keys.emplace(stored.hash, stored.key).second) {
                note(what + ": dropped, its key is stored twice in the bucket");
                keep = false;
            }
        }
        if (keep) {
            for (const Step &step : steps) {
                reached_.insert(step.link);
                if (!step.stray) reached_.insert(step.payload);
            }
            // Read now, as a reader reads them, before anything the repair
            // writes later (a fresh chunk's bytes) could change them.
            if (copy_key) copies_.push_back(Copy{&entry, false, what + "'s key", chain_bytes(m_.area, entry.key)});
            if (copy_value) copies_.push_back(Copy{&entry, true, what + "'s value", chain_bytes(m_.area, entry.value)});
            ++i;
            continue;
        }
        // The last entry takes the dropped one's place; the chunks only the
        // dropped one reached are reached by nothing now, and go back to the
        // free lists in the reclaim.
        const std::uint64_t last = entries.length - 1;
        if (i != last) std::memcpy(static_cast<void *>(places[i]), places[last], sizeof(MapEntry));
        zero_entry(places[last]);
        entries.length = last;
    }
}

// ---- the free lists, and what needs chunks of its own ----------------------------------

void StructureRepair::mend_free_list(FreeList &list, std::uint8_t size, const char *name) {
    const Offset allocated = memory_manager(m_.base)->offset;
    char *previous = nullptr;  // the data of the chunk before, whose first 8 bytes lead on
    Offset at = list.head;
    for (std::uint64_t n = 0; at != 0; ++n) {
        const Offset data = at + kChunkHeaderLength;
        const bool sound = n <= m_.area.most_links() && at >= kFirstChunk && at % kChunkGrid == 0 &&
                           at < allocated && allocated - at >= chunk_span(size) &&
                           chunk_size_at(m_.base + at) == size && chunk_span_at(m_.base + at) == chunk_span(size) &&
                           !reached(data);
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

void StructureRepair::give_fresh_chunks() {
    // Every bucket owns an entry chunk: a fresh one, its places zero.
    for (const std::uint64_t index : fresh_lists_) {
        ChunkArray &entries = m_.bucket_at(index)->entries;
        const Chain fresh = m_.take_links(m_.entry_pool, 1, ChunkPool::Refill::as_needed);
        entries.head = fresh.head();
        entries.chunk_count = 1;
        entries.length = 0;
    }
    // Chains that reach chunks another chain uses, or bytes that are no
    // chunk: written, as a reader read them, into chunks of their own.
    for (const Copy &copy : copies_) {
        ChunkArray &array = copy.value ? copy.entry->value : copy.entry->key;
        const Chain fresh = m_.take_links(m_.data_pool, array.chunk_count, ChunkPool::Refill::as_needed);
        fresh.fill(copy.bytes.data(), array.length);
        array.head = fresh.head();
        note(copy.what + ": it shared chunks with another chain or read bytes no chunk of its own holds; "
                         "copied into chunks of its own");
    }
}

void StructureRepair::run() {
    MemoryManager *manager = memory_manager(m_.base);
    reached_.reset(manager->offset);
    claimed_.reset(manager->offset);
    reached_.insert(kMapHeaderOffset);
    const std::uint64_t chunks = m_.chunks_in_use();
    table_ = m_.bucket_chunk_size * chunks;
    const bool published = chunks < m_.reachable_chunks && m_.table_entry(chunks) > 1;
    split_bit_ = published ? table_ : 0;
    const std::uint64_t buckets = published ? 2 * table_ : table_;
    // Every list's needed links before any spare one, and shared chunks
    // settled before anything is written.
    walk_lists(buckets);
    settle_shared_chunks(buckets);
    for (std::uint64_t i = 0; i < buckets; ++i) commit_list(i, m_.bucket_at(i));
    for (std::uint64_t i = 0; i < buckets; ++i) walk_spare_links(i, m_.bucket_at(i));
    for (std::uint64_t i = 0; i < buckets; ++i) mend_entries(i, m_.bucket_at(i));
    mend_free_list(manager->entry_list, kEntryChunkSize, "entry chunk");
    mend_free_list(manager->link_list, kLinkChunkSize, "link");
    mend_free_list(manager->data_list, manager->chunk_size, "data chunk");
    // Only now, with the free lists sound, is anything taken from them.
    give_fresh_chunks();
    if (mended_headers_ != 0) {
        note("wrote again the headers of " + std::to_string(mended_headers_) +
             " chunks whose size or span byte was damaged");
    }
}

void StructureRepair::reinsert_misplaced() {
    for (const StoredEntry &entry : misplaced_) {
        NoValue ignored;
        if (m_.get(entry.key.data(), entry.key.size(), entry.hash, ignored)) {
            note("an entry taken out of the wrong bucket was dropped: its key is in the right one");
            continue;
        }
        insert_stored(m_, entry);
    }
    misplaced_.clear();
}

}  // namespace zorvik
