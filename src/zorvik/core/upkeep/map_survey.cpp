#include "zorvik/core/upkeep/map_survey.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/processes.hpp"
#include "zorvik/core/segment/spin_lock.hpp"
#include "zorvik/core/upkeep/stored_entry.hpp"
#include "zorvik/core/upkeep/unreached_space.hpp"

namespace zorvik {
namespace {

// Progress is reported once per this many buckets: often enough for a bar
// that moves, rarely enough to cost nothing next to the walk.
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 16;

void copy_entries(MapState &m, const Bucket *bucket, std::vector<StoredEntry> &out) {
    const ChunkArray &entries = bucket->entries;
    const Chain list = bucket_entries(m, entries);
    const std::uint64_t now_ms = m.expiry_clock() / 1000;
    std::uint64_t index = 0;
    for (ChunkLink *link : list.links()) {
        for (std::uint64_t k = 0; k < kEntriesPerChunk && index < entries.length; ++k, ++index) {
            StoredEntry copy;
            if (copy_stored(m, *entry_slot(m, link, index), now_ms, copy)) out.push_back(std::move(copy));
        }
        if (index >= entries.length) break;
    }
}

// The tag a segment lock's holder wrote beside its id (bytes p, p+1).
std::uint16_t segment_tag(const char *word) {
    std::uint16_t tag;
    std::memcpy(&tag, word, sizeof tag);
    return tag;
}

HeldLock judge(std::string name, int pid, std::uint16_t tag, const void *word) {
    HeldLock held{std::move(name), pid, HeldLock::Holder::unnamed};
    if (pid != 0) {
        held.holder = processes::holder_has_ended(pid, tag, word) ? HeldLock::Holder::ended : HeldLock::Holder::alive;
    }
    return held;
}

std::uint64_t free_list_chunks(MapState &m, Offset head, std::uint8_t size) {
    const Offset allocated = memory_manager(m.base)->offset;
    std::uint64_t n = 0;
    for (Offset at = head; at != 0 && n <= m.area.most_links(); ++n) {
        if (at < kFirstChunk || at % kChunkGrid != 0 || at >= allocated || chunk_size_at(m.base + at) != size) break;
        at = read_u64(m.base + at + kChunkHeaderLength);
    }
    return n;
}

// Bytes a block of `length` occupies, as the allocator cuts it.
std::uint64_t block_span(std::uint64_t length) { return ((length + 1) & ~std::uint64_t{7}) + 8; }

// The growth lock (in the extension), when held: from one snapshot, since
// every change of a doubling takes and lets go of it.
void append_growth_lock(MapState &m, std::vector<HeldLock> &held) {
    const char *word = m.growth_lock_word();
    if (word == nullptr) return;
    const SegmentLockSnapshot snapshot = segment_lock_snapshot(word);
    if (snapshot.held) held.push_back(judge("growth lock", snapshot.pid, snapshot.tag, word));
}

// Bytes of the block of new buckets a doubling builds in steps, while no
// chunk table slot names it (a published one is counted with the table's).
std::uint64_t unpublished_build_block(MapState &m) {
    Offset block = 0;
    std::uint64_t length = 0;
    if (!m.named_build_block(block, length)) return 0;
    for (std::uint64_t j = 1; j < m.bucket_chunk_number; j *= 2) {
        if (m.table_entry(j) == static_cast<std::int64_t>(block)) return 0;
        if (j >= m.reachable_chunks) break;
    }
    return block_span(length);
}

}  // namespace

std::uint64_t for_each_entry(MapState &m, const std::function<void(const StoredEntry &)> &visit,
                             const Progress &progress) {
    std::uint64_t visits = 0;
    std::vector<StoredEntry> copied;
    // The table may double during the walk: its size is read again each step.
    for (std::uint64_t i = 0; i < m.bucket_chunk_size * m.chunks_in_use(); ++i) {
        copied.clear();
        {
            const std::uint64_t chunks = m.chunks_in_use();
            const BucketGuard locked = lock_bucket_at(m, m.bucket_at(i));
            copy_entries(m, locked.bucket(), copied);
            if (locked.forward() != 0 && is_current_mark(m, i, chunks, locked.forward())) {
                // The split in progress may have moved some of them already.
                const BucketGuard partner = lock_bucket_at(m, partner_bucket(m, locked.forward()));
                copy_entries(m, partner.bucket(), copied);
            }
        }
        for (const StoredEntry &entry : copied) visit(entry);
        visits += copied.size();
        if (progress && (i + 1) % kProgressStep == 0) progress(i + 1, m.bucket_chunk_size * m.chunks_in_use());
    }
    if (progress) progress(m.bucket_chunk_size * m.chunks_in_use(), m.bucket_chunk_size * m.chunks_in_use());
    return visits;
}

std::vector<HeldLock> held_locks(MapState &m, const Progress &progress) {
    std::vector<HeldLock> held;
    std::uint32_t *allocator = allocator_lock_word(m.base);
    // The loads of this function are a report's snapshot: acquire loads that
    // pair with the holders' stores of their words, and no decision rests
    // on them.
    if (atomics::load32(allocator) != 0) {
        // The tag lies in the 4 bytes after the word (spin_lock.hpp).
        held.push_back(judge("allocator lock", allocator_lock_holder(allocator),
                             static_cast<std::uint16_t>(atomics::load32(allocator + 1)), allocator));
    }
    if (read_u64(m.expansion_lock_word) != 0) {
        held.push_back(judge("expansion lock", segment_lock_holder(m.expansion_lock_word),
                             segment_tag(m.expansion_lock_word), m.expansion_lock_word));
    }
    // A claim marker names the process that builds the new chunks, or that
    // ends the expansion (map_internal.hpp); one that names the phantom is a
    // doubling going on by steps (growth.cpp), held by no process.
    const std::int64_t cursor = atomics::load_field48(m.split_cursor_word);
    for (const auto &[marker, name] : {std::pair{kClaimedBy, "expansion claim"}, std::pair{kEndingBy, "expansion end"}}) {
        const int pid = pid_below(cursor, marker);
        if (pid != 0 && pid != kPhantomPid) held.push_back(judge(name, pid, 0, m.split_cursor_word));
    }
    append_growth_lock(m, held);
    const std::uint64_t chunks = m.chunks_in_use();
    const bool published = chunks < m.reachable_chunks && m.table_entry(chunks) > 1;
    const std::uint64_t buckets = m.bucket_chunk_size * chunks * (published ? 2 : 1);
    for (std::uint64_t i = 0; i < buckets; ++i) {
        char *word = lock_word(m.bucket_at(i));
        if (read_u64(word) != 0) {
            held.push_back(judge("bucket " + std::to_string(i), segment_lock_holder(word), segment_tag(word), word));
        }
        if (progress && (i + 1) % kProgressStep == 0) progress(i + 1, buckets);
    }
    if (progress) progress(buckets, buckets);
    return held;
}

SpaceUse measure_space(MapState &m, const ChunkMarks &reached) {
    const MemoryManager *manager = memory_manager(m.base);
    SpaceUse use;
    use.capacity = manager->capacity - kFirstChunk;
    use.allocated = manager->offset - kFirstChunk;
    std::uint64_t chunk_bytes = 0;
    reached.for_each([&](Offset data) { chunk_bytes += chunk_span_at(m.base + data - kChunkHeaderLength); });
    const std::uint8_t sizes[3] = {kEntryChunkSize, kLinkChunkSize, manager->chunk_size};
    const Offset heads[3] = {manager->entry_list.head, manager->link_list.head, manager->data_list.head};
    for (int k = 0; k < 3; ++k) {
        use.free_chunks[k] = free_list_chunks(m, heads[k], sizes[k]);
        use.free_listed += use.free_chunks[k] * chunk_span(sizes[k]);
    }
    // The blocks: the chunk table, the five shared words, the bucket chunks.
    std::uint64_t blocks = block_span(m.bucket_chunk_number * sizeof(Offset)) + 5 * block_span(sizeof(Offset));
    const std::uint64_t chunks = m.chunks_in_use();
    for (std::uint64_t j = 0; j < m.reachable_chunks && j < m.bucket_chunk_number; j = j == 0 ? 1 : 2 * j) {
        if (m.table_entry(j) > 1) blocks += block_span(m.bucket_chunk_bytes() * std::max<std::uint64_t>(j, 1));
        if (j >= chunks) break;
    }
    blocks += unpublished_build_block(m);
    use.in_use = std::min(use.allocated, blocks + (chunk_bytes > use.free_listed ? chunk_bytes - use.free_listed : 0));
    use.unreachable = use.allocated - std::min(use.allocated, use.in_use + use.free_listed);
    const UnreachedSpace space = find_unreached_space(m, reached);
    use.reclaimable = space.known ? std::min(space.reclaimable, use.unreachable) : 0;
    return use;
}

}  // namespace zorvik
