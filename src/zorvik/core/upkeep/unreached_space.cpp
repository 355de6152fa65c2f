#include "zorvik/core/upkeep/unreached_space.hpp"

#include <algorithm>
#include <cstring>

#include "zorvik/core/alloc/allocator.hpp"

namespace zorvik {
namespace {

// Bytes a block of `length` occupies, as the allocator cuts it.
std::uint64_t block_span(std::uint64_t length) { return ((length + 1) & ~std::uint64_t{7}) + 8; }

// What a walk by span reads at `at`, below `end`.
enum class Place : std::uint8_t { chunk, zero_word, unreadable };

Place read_place(const MapState &m, Offset at, Offset end, std::uint8_t &span) {
    const char *header = m.base + at;
    span = chunk_span_at(header);
    if (span == 0) {
        // Space claimed and never written reads zero; anything else with
        // span 0 is a block's header.
        return end - at >= kChunkGrid && read_u64(header) == 0 ? Place::zero_word : Place::unreadable;
    }
    return span == chunk_span(chunk_size_at(header)) && end - at >= span ? Place::chunk : Place::unreadable;
}

// Whether the bytes this version keeps zero, in the map header and in the
// extension record, hold anything: a later version's anchors of its own
// records (feature bits it does not know, a cache record it did not take,
// the reserved bytes).
bool names_later_records(const MapState &m) {
    const auto *header = reinterpret_cast<const MapHeader *>(m.base + kMapHeaderOffset);
    auto zero = [](const std::uint8_t *bytes, std::size_t n) {
        return std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0; });
    };
    if (!zero(header->zero0, sizeof header->zero0) || !zero(header->zero1, sizeof header->zero1) ||
        !zero(header->zero2, sizeof header->zero2)) {
        return true;
    }
    const char *record = m.extension();
    if (record == nullptr) return false;
    const auto *extension = reinterpret_cast<const MapExtension *>(record);
    // A cache record this version found sound is walked as the map's own;
    // one it set aside (or a feature it does not know) is a later version's.
    const bool own_cache = m.cache != nullptr;
    const std::uint64_t known_features = own_cache ? kFeatureCache : 0;
    return (extension->features & ~known_features) != 0 || (extension->cache != 0 && !own_cache) ||
           !zero(extension->reserved, sizeof extension->reserved);
}

}  // namespace

UnreachedSpace find_unreached_space(MapState &m, const ChunkMarks &reached) {
    UnreachedSpace space;
    const MemoryManager *manager = memory_manager(m.base);
    const Offset end = manager->offset;
    space.later_records = names_later_records(m);

    // What is known to lie where: the blocks the map names (the chunk table,
    // the five shared words, bucket chunk 0 on its own and chunks L .. 2L-1
    // as one block for each doubling, a published one's too, and the block
    // the extension names for a doubling built in steps) and the chunks
    // reached.
    std::vector<UnreachedSpace::Gap> known;
    auto block = [&](Offset data, std::uint64_t length) {
        known.push_back({data - kChunkHeaderLength, data - kChunkHeaderLength + block_span(length)});
    };
    block(m.area.offset_of(m.chunk_table), m.bucket_chunk_number * sizeof(Offset));
    for (char *word : {m.chunks_in_use_word, m.expansion_workers_word, m.expansion_lock_word, m.split_cursor_word,
                       m.entry_count_word}) {
        block(m.area.offset_of(word), sizeof(Offset));
    }
    block(static_cast<Offset>(m.table_entry(0)), m.bucket_chunk_bytes());
    const std::uint64_t chunks = m.chunks_in_use();
    const bool published = chunks < m.reachable_chunks && m.table_entry(chunks) > 1;
    std::vector<Offset> table_blocks;
    for (std::uint64_t l = 1; l < chunks || (l == chunks && published); l *= 2) {
        table_blocks.push_back(static_cast<Offset>(m.table_entry(l)));
        block(table_blocks.back(), m.bucket_chunk_bytes() * l);
    }
    // The extension names the block of new buckets a doubling builds in
    // steps, from the moment it is cut: while it is built (its slots above L
    // published from the top, slot L last) nothing else names all of it, and
    // the next build step writes on into it. Once published it is the
    // table's block, named above, and it stays named by the extension after
    // (not twice here: the same block). A block the extension no longer
    // names (one a later build replaced) is a gap like any other.
    Offset build_block = 0;
    std::uint64_t build_length = 0;
    if (m.named_build_block(build_block, build_length) &&
        std::find(table_blocks.begin(), table_blocks.end(), build_block) == table_blocks.end()) {
        block(build_block, build_length);
    }
    bool stray = false;
    reached.for_each([&](Offset data) {
        const Offset header = data - kChunkHeaderLength;
        std::uint8_t span = 0;
        if (header < kFirstChunk || header >= end || read_place(m, header, end, span) != Place::chunk) {
            stray = true;
            return;
        }
        known.push_back({header, header + span});
    });
    if (stray) {
        space.why = "a chunk the structures reach whose header does not add up";
        return space;
    }
    std::sort(known.begin(), known.end(), [](const auto &a, const auto &b) { return a.from < b.from; });
    Offset at = kFirstChunk;
    for (const UnreachedSpace::Gap &piece : known) {
        if (piece.from < at || piece.to > end) {
            space.why = piece.to > end ? "a block or chunk past the allocator's offset"
                                       : "blocks or chunks the structures reach that overlap";
            return space;
        }
        if (piece.from > at) space.gaps.push_back({at, piece.from});
        at = piece.to;
    }
    if (at < end) space.gaps.push_back({at, end});
    space.known = true;

    for (const UnreachedSpace::Gap &gap : space.gaps) {
        space.bytes += gap.to - gap.from;
        // What a walk by span cannot read in it: a block no structure names,
        // or a header a damage made unreadable (a later version's record
        // reads as a chunk).
        for (Offset place = gap.from; place < gap.to;) {
            std::uint8_t span = 0;
            const Place found = read_place(m, place, gap.to, span);
            if (found == Place::unreadable) {
                ++space.unnamed_blocks;
                space.unnamed_bytes += gap.to - place;
                break;
            }
            place += found == Place::zero_word ? kChunkGrid : span;
        }
        // A gap that ends at the offset goes back whole, unless the repair
        // claims fresh space behind it first (an expansion it finishes):
        // counted as one that does not, so that what is promised is given.
        if (space.later_records) {
            for (const Offset header : listed_chunks_in(m, gap)) space.reclaimable += chunk_span_at(m.base + header);
        } else {
            space.reclaimable += listable_bytes(gap.to - gap.from, manager->chunk_size);
        }
    }
    return space;
}

std::vector<Offset> listed_chunks_in(MapState &m, const UnreachedSpace::Gap &gap) {
    std::vector<Offset> listed;
    const std::uint8_t data = memory_manager(m.base)->chunk_size;
    for (Offset place = gap.from; place < gap.to;) {
        std::uint8_t span = 0;
        const Place found = read_place(m, place, gap.to, span);
        if (found == Place::unreadable) break;
        if (found == Place::zero_word) {
            place += kChunkGrid;
            continue;
        }
        const std::uint8_t size = chunk_size_at(m.base + place);
        if (size == kLinkChunkSize || size == kEntryChunkSize || size == data) listed.push_back(place);
        place += span;
    }
    return listed;
}

}  // namespace zorvik
