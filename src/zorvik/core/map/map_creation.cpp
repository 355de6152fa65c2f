// Creation of a new map and attachment to an existing one.
//
// A new map lives in a new segment file: the header chunk first (so the
// MapHeader is always at Offset 66), then one entry chunk per bucket of the
// first bucket chunk (each bucket owns one from its creation, so the first
// entry of a bucket needs no allocation), the chunk table, bucket chunk 0 and
// the five shared words. Nobody else can reach the map before its path is
// handed out, so creation takes no map lock; a creation that fails at any
// step leaves no file (the Segment removes the file it made unless kept).
//
// An attach trusts nothing in the file until it has checked it: the segment
// refuses anything but a regular file long enough for a map header before it
// opens it, and the checks below run before the first byte is written. A file
// that fails them is refused with std::invalid_argument naming the path and
// the fault, and left exactly as it was.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/map/cache.hpp"
#include "zorvik/core/map/map_creation.hpp"
#include "zorvik/core/segment/atomics.hpp"
#include "zorvik/core/segment/error_text.hpp"
#include "zorvik/core/segment/file_errors.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

const std::invalid_argument &size_exception() {
    static const std::invalid_argument e("size should be greater than zero!");
    return e;
}
const std::invalid_argument &string_chunk_size_exponent_exception() {
    static const std::invalid_argument e("string_chunk_size_exponent should be greater than 2!");
    return e;
}
const std::invalid_argument &bucket_chunk_number_exception() {
    static const std::invalid_argument e("bucket chunk number should be greater than zero!");
    return e;
}
// A segment that cannot be opened: std::bad_alloc with the system's own text.
class BadAllocation : public std::bad_alloc {
public:
    const char *what() const noexcept override { return "bad allocation"; }
};

const BadAllocation &bad_alloc_exception() {
    static const BadAllocation e;
    return e;
}

// The largest exponent whose data chunk size fits the header's one byte.
constexpr std::uint8_t kMaxStringChunkSizeExponent = 7;

// (2^exponent - 2) rounded up to a multiple of 8: 8, 16, 32, 64, 128 for 3..7.
std::uint8_t data_chunk_size_for(std::uint8_t exponent) {
    std::uint64_t size = ((std::uint64_t{1} << exponent) - 2 + 7) & ~std::uint64_t{7};
    return static_cast<std::uint8_t>(size);
}

bool is_creatable_data_chunk_size(std::uint64_t size) {
    return size == 8 || size == 16 || size == 32 || size == 64 || size == 128;
}

// The exponent is taken modulo 64, as a shift of a 64-bit one would.
std::uint64_t bucket_chunk_size_for(std::uint8_t exponent) { return std::uint64_t{1} << (exponent % 64); }

[[noreturn]] void throw_allocator_failure() {
    const int error = errno;
    const char *text = last_error();
    throw_allocation_failure(error, text ? text : "mm:alloc: out of memory");
}

char *allocate_block_or_throw(Allocator base, std::uint64_t length, Backing backing = Backing::now) {
    char *block = allocate_block(base, length, backing);
    if (!block) throw_allocator_failure();
    return block;
}

// ---- a new map ------------------------------------------------------------------

void lay_out_new_map(MapState &m, char *header_chunk) {
    Allocator base = m.base;

    // One entry chunk per bucket, cut in groups of 100 before anything else,
    // so that a segment too small for them fails here (with the pool's error).
    // A refill takes no pool lock: no other thread can reach this map yet.
    const Chain entry_links = m.entry_pool.refill(m.bucket_chunk_size, nullptr);
    if (!header_chunk) throw_allocator_failure();  // unreachable: the refill needs more room

    // The chunk table gets a slot written per new chunk over the map's life
    // (one page of 512 slots at a time): its blocks are reserved page by page,
    // slot 0's here and the others' by the expansion that writes them
    // (reserve_table_slots), so that a table of 2^18 slots costs 2 MiB of
    // storage only once the map has that many chunks.
    m.chunk_table = allocate_block_or_throw(base, m.bucket_chunk_number * sizeof(Offset), Backing::on_first_write);
    if (!reserve_pages(base, m.chunk_table, sizeof(Offset))) throw_allocator_failure();
    char *chunk0 = allocate_block_or_throw(base, m.bucket_chunk_bytes());
    // Fresh blocks come from never-used space of a new file, which reads zero:
    // every other chunk table entry is already 0.
    write_u64(m.chunk_table, to_offset(base, chunk0));
    m.chunk_cache.store(0, chunk0);
    Bucket *bucket = reinterpret_cast<Bucket *>(chunk0);
    for (ChunkLink *link : entry_links.links()) write_empty_bucket(bucket++, m.area.offset_of(link));

    m.chunks_in_use_word = allocate_block_or_throw(base, sizeof(Offset));
    m.expansion_workers_word = allocate_block_or_throw(base, sizeof(Offset));
    m.expansion_lock_word = allocate_block_or_throw(base, sizeof(Offset));
    m.split_cursor_word = allocate_block_or_throw(base, sizeof(Offset));
    m.entry_count_word = allocate_block_or_throw(base, sizeof(Offset));
    write_u64(m.chunks_in_use_word, 1);  // the others start at 0, as fresh space reads

    // The extension (map_layout.hpp): its growth fields start at 0, as fresh
    // space reads once the chunk's chain link is cleared.
    char *extension_chunk = allocate_chunks(base, 1, kExtensionChunkSize);
    if (!extension_chunk) throw_allocator_failure();
    char *extension = chunk_data(extension_chunk);
    std::memset(extension, 0, kExtensionChunkSize);
    std::memcpy(extension, kExtensionMagic, sizeof kExtensionMagic);
    m.set_extension(extension);

    MapHeader *header = reinterpret_cast<MapHeader *>(chunk_data(header_chunk));
    header->creator_pid = static_cast<std::uint64_t>(host::own_pid());
    header->creator_base = reinterpret_cast<std::uint64_t>(base);
    header->bucket_chunk_number = m.bucket_chunk_number;
    header->bucket_chunk_size = m.bucket_chunk_size;
    header->chunk_table = to_offset(base, m.chunk_table);
    header->chunks_in_use = to_offset(base, m.chunks_in_use_word);
    header->expansion_workers = to_offset(base, m.expansion_workers_word);
    header->expansion_lock = to_offset(base, m.expansion_lock_word);
    header->split_cursor = to_offset(base, m.split_cursor_word);
    header->entry_count = to_offset(base, m.entry_count_word);
    header->extension = to_offset(base, extension);
    header->data_chunk_size = m.data_chunk_size;
}

// ---- attach checks ------------------------------------------------------------

class FileCheck {
public:
    FileCheck(const std::string &path, Allocator base, std::uint64_t file_length)
        : path_(path), base_(base), file_length_(file_length) {}

    [[noreturn]] void refuse(const std::string &fault) const {
        throw std::invalid_argument(path_ + " does not hold a zorvik dictionary: " + fault);
    }
    void require(bool condition, const char *fault) const {
        if (!condition) refuse(fault);
    }

    // The first unallocated Offset, after checking the allocator's record: its
    // capacity inside the file, its offset inside its capacity, and the map
    // header chunk at the start of the chunk area.
    Offset check_allocator_record() const {
        require(file_length_ >= kLeastMapFile, "the file is too short to hold a map header");
        const MemoryManager *manager = memory_manager(base_);
        Offset capacity = manager->capacity;
        Offset offset = manager->offset;
        require(capacity <= file_length_ - kSegmentHeaderLength, "the allocator's capacity passes the end of the file");
        require(offset <= capacity, "the allocator's offset passes its capacity");
        require(offset >= kFirstChunk + chunk_span(kHeaderChunkSize), "the segment holds no map header");
        const char *header_chunk = base_ + kFirstChunk;
        require(chunk_span_at(header_chunk) == chunk_span(kHeaderChunkSize) &&
                    chunk_size_at(header_chunk) == kHeaderChunkSize,
                "no map header chunk at the start of the chunk area");
        return offset;
    }

    // A shared word: an 8-byte block's data, inside the allocated area.
    void check_word(Offset word, Offset allocated, const char *name) const {
        if (word % kChunkGrid != kDataPastGrid || word < kFirstChunk || word > allocated ||
            allocated - word < sizeof(std::uint64_t)) {
            refuse(std::string("the map's ") + name + " word lies outside the allocated area");
        }
    }

    // The shape the header gives, after checking it and every Offset it holds
    // against the allocated area.
    MapShape check_header(const MapHeader &header, Offset allocated) const {
        require(is_creatable_data_chunk_size(header.data_chunk_size) &&
                    header.data_chunk_size == memory_manager(base_)->chunk_size,
                "its data chunk size is not one a map can have");
        require(header.bucket_chunk_size != 0 && std::has_single_bit(header.bucket_chunk_size) &&
                    header.bucket_chunk_size <= kMaxU64 / sizeof(Bucket),
                "its bucket chunk size is not a power of two");
        require(header.bucket_chunk_number != 0 && header.bucket_chunk_number <= kMaxU64 / sizeof(Offset),
                "its bucket chunk number is out of range");
        const std::uint64_t table_length = header.bucket_chunk_number * sizeof(Offset);
        require(header.chunk_table % kChunkGrid == kDataPastGrid && header.chunk_table >= kFirstChunk &&
                    header.chunk_table <= allocated && table_length <= allocated - header.chunk_table,
                "its chunk table lies outside the allocated area");
        check_word(header.chunks_in_use, allocated, "chunks_in_use");
        check_word(header.expansion_workers, allocated, "expansion_workers");
        check_word(header.expansion_lock, allocated, "expansion_lock");
        check_word(header.split_cursor, allocated, "split_cursor");
        check_word(header.entry_count, allocated, "entry_count");
        const std::uint64_t chunks = read_u64(base_ + header.chunks_in_use);
        require(chunks != 0 && std::has_single_bit(chunks) && chunks <= header.bucket_chunk_number,
                "its chunks_in_use is not a power of two within the bucket chunk number");
        require(read_u64(base_ + header.entry_count) < (std::uint64_t{1} << 47), "its entry count is out of range");
        return MapShape{header.bucket_chunk_size, header.bucket_chunk_number, header.data_chunk_size};
    }

    // True when the header's `extension` is 0 or names a MapExtension: a
    // chunk of its size on the grid inside the allocated area, with its magic.
    bool extension_sound(const MapHeader &header, Offset allocated) const {
        const Offset record = header.extension;
        if (record == 0) return true;
        if (record % kChunkGrid != kDataPastGrid || record < kFirstChunk + kChunkHeaderLength || record > allocated ||
            allocated - record < kExtensionChunkSize) {
            return false;
        }
        const char *chunk = base_ + record - kChunkHeaderLength;
        return chunk_size_at(chunk) == kExtensionChunkSize && chunk_span_at(chunk) == chunk_span(kExtensionChunkSize) &&
               std::memcmp(base_ + record, kExtensionMagic, sizeof kExtensionMagic) == 0;
    }

    // The cache record the extension names, when it names one: a chunk of
    // its size on the grid inside the allocated area; null otherwise.
    const CacheRecord *cache_record(const MapExtension &extension, Offset allocated) const {
        const Offset record = extension.cache;
        if (record % kChunkGrid != kDataPastGrid || record < kFirstChunk + kChunkHeaderLength || record > allocated ||
            allocated - record < kCacheChunkSize) {
            return nullptr;
        }
        const char *chunk = base_ + record - kChunkHeaderLength;
        if (chunk_size_at(chunk) != kCacheChunkSize || chunk_span_at(chunk) != chunk_span(kCacheChunkSize)) {
            return nullptr;
        }
        return reinterpret_cast<const CacheRecord *>(base_ + record);
    }

private:
    const std::string &path_;
    Allocator base_;
    std::uint64_t file_length_;
};

// How open_map reports a file at `path` it cannot use (`fault` and the
// errno the attach left).
[[noreturn]] void throw_open_fault(const std::string &path, Segment::Fault fault, int error) {
    const FileCheck by_path(path, nullptr, 0);
    switch (fault) {
        case Segment::Fault::not_regular_file:
            if (error == EISDIR) throw FileError(EISDIR, path, "cannot open a directory as a dictionary");
            by_path.refuse("not a regular file");
        case Segment::Fault::too_short:
            by_path.refuse("the file is too short to hold a map header");
        case Segment::Fault::locked:
            // A repair holds the file: said as an errno, as this constructor says every refusal.
            throw FileError(EBUSY, path, "cannot open the dictionary's file",
                            "the file is being repaired by another process: open it when the repair has ended");
        case Segment::Fault::none:
        case Segment::Fault::unreachable_path:
        case Segment::Fault::refused:
            break;
    }
    throw FileError(error, path, "cannot open the dictionary's file");
}

// A file at `path` that holds a map, opened for open_map: a missing file is
// reported through `fault` (and errno); a file that is there but cannot be
// used throws. Directories and files that cannot be opened throw FileError
// with the system's errno; anything else that is no map, std::invalid_argument
// naming the path.
Segment open_file_at(const std::string &path, Segment::Fault &fault) {
    Segment segment = Segment::attach(path.c_str(), kLeastMapFile, &fault);
    if (fault == Segment::Fault::unreachable_path && errno == ENOENT) return segment;
    if (fault != Segment::Fault::none) throw_open_fault(path, fault, errno);
    return segment;
}

// A new map in `segment`, a new file not handed out yet: nobody else can
// reach it, so plain writes suffice and no map lock is taken.
std::unique_ptr<MapState> build_map(Segment segment, const MapArguments &arguments) {
    const std::uint8_t data_chunk_size = data_chunk_size_for(arguments.string_chunk_size_exponent);
    initialise_allocator(segment.base(), arguments.size, data_chunk_size);
    // The first chunk carved in a new segment lands at Offset 64: the header.
    char *header_chunk = allocate_chunks(segment.base(), 1, kHeaderChunkSize);
    const MapShape shape{bucket_chunk_size_for(arguments.bucket_chunk_size_exponent), arguments.bucket_chunk_number,
                         data_chunk_size};
    auto state = std::make_unique<MapState>(std::move(segment), shape);
    lay_out_new_map(*state, header_chunk);
    if (arguments.cache && !create_cache_record(*state, *arguments.cache)) throw_allocator_failure();
    // check_arguments bounded the name by the record's length.
    MapHeader *header = reinterpret_cast<MapHeader *>(chunk_data(header_chunk));
    if (!arguments.serializer.empty()) {
        std::memcpy(header->serializer, arguments.serializer.data(), arguments.serializer.size());
    }
    return state;
}

// A cache's record, when the extension says the file is a cache: checked,
// and its settings taken. A record that fails the checks refuses the file,
// or, for the operator's check and repair, leaves the map plain (the record
// then counts as a later version's, whose space no repair frees).
void take_cache_record(MapState &m, const FileCheck &check, Offset allocated, DamagedExtension damaged) {
    const auto *extension = reinterpret_cast<const MapExtension *>(m.extension());
    if ((extension->features & kFeatureCache) == 0) return;
    const CacheRecord *record = check.cache_record(*extension, allocated);
    CacheSettings settings;
    if (record == nullptr || !read_cache_settings(*record, settings)) {
        if (damaged == DamagedExtension::refuse) check.refuse("its cache record is damaged");
        m.cache_damaged = true;
        return;
    }
    m.take_cache(const_cast<CacheRecord *>(record), settings);
}

// open_or_create looks for the file again after losing a race to create it;
// a file that keeps vanishing between the two is reported after this many.
constexpr int kOpenAttempts = 100;

}  // namespace

void check_arguments(const MapArguments &arguments) {
    if (arguments.size == 0) throw size_exception();
    if (arguments.string_chunk_size_exponent < 3) throw string_chunk_size_exponent_exception();
    if (arguments.bucket_chunk_number == 0) throw bucket_chunk_number_exception();
    if (arguments.serializer.size() > sizeof MapHeader::serializer) {
        throw std::invalid_argument("a serializer's name is at most 8 bytes");
    }
    if (arguments.string_chunk_size_exponent > kMaxStringChunkSizeExponent) {
        throw std::invalid_argument("string_chunk_size_exponent should be less than 8!");
    }
    if (arguments.bucket_chunk_number > kMaxU64 / sizeof(Offset)) {
        throw std::invalid_argument("bucket chunk number is too large!");
    }
    if (bucket_chunk_size_for(arguments.bucket_chunk_size_exponent) > kMaxU64 / sizeof(Bucket)) {
        throw std::invalid_argument("bucket chunk size exponent is too large!");
    }
    if (arguments.cache) check_cache_settings(*arguments.cache);
}

std::unique_ptr<MapState> create_map(const MapArguments &arguments, std::string &path_out, const char *directory) {
    Segment segment = Segment::create(arguments.size, directory);
    if (!segment) throw bad_alloc_exception();
    auto state = build_map(std::move(segment), arguments);
    state->segment.keep_file();
    path_out = state->segment.path();
    return state;
}

std::unique_ptr<MapState> attach_map(const std::string &path) {
    std::unique_ptr<MapState> state = read_map(open_map_segment(path), path);
    begin_writing(*state);
    return state;
}

Segment open_map_segment(const std::string &path) {
    Segment::Fault fault = Segment::Fault::none;
    Segment segment = Segment::attach(path.c_str(), kLeastMapFile, &fault, Segment::OpenLock::shared);
    if (fault != Segment::Fault::none) refuse_map_segment(path, fault, errno);
    return segment;
}

void refuse_map_segment(const std::string &path, Segment::Fault fault, int error) {
    const FileCheck by_path(path, nullptr, 0);
    switch (fault) {
        case Segment::Fault::unreachable_path:
            throw std::runtime_error("file status wrong with errno: " + std::to_string(error));
        case Segment::Fault::not_regular_file:
            by_path.refuse("not a regular file");
        case Segment::Fault::too_short:
            by_path.refuse("the file is too short to hold a map header");
        case Segment::Fault::locked:
            throw FileBeingRepaired(path);
        case Segment::Fault::none:
        case Segment::Fault::refused:
            break;
    }
    throw bad_alloc_exception();
}

std::unique_ptr<MapState> read_map(Segment segment, const std::string &path, DamagedExtension damaged,
                                   MarkedFile marked) {
    Allocator base = segment.base();
    const FileCheck check(path, base, segment.mapped_length());
    const Offset allocated = check.check_allocator_record();
    MapHeader header = *reinterpret_cast<const MapHeader *>(base + kMapHeaderOffset);
    const bool repair_marked = header.data_chunk_size == kRepairMark;
    if (repair_marked) {
        if (marked == MarkedFile::refuse) throw FileBeingRepaired(path);
        // The mark stands in for the chunk size, which the allocator's record keeps.
        header.data_chunk_size = memory_manager(base)->chunk_size;
    }
    const MapShape shape = check.check_header(header, allocated);
    const bool extension_sound = check.extension_sound(header, allocated);
    if (!extension_sound && damaged == DamagedExtension::refuse) {
        check.refuse("its extension record is damaged (a repair sets it aside)");
    }

    auto state = std::make_unique<MapState>(std::move(segment), shape);
    MapState &m = *state;
    m.chunk_table = base + header.chunk_table;
    m.chunks_in_use_word = base + header.chunks_in_use;
    m.expansion_workers_word = base + header.expansion_workers;
    m.expansion_lock_word = base + header.expansion_lock;
    m.split_cursor_word = base + header.split_cursor;
    m.entry_count_word = base + header.entry_count;
    if (header.extension != 0 && extension_sound) m.set_extension(base + header.extension);
    m.extension_damaged = !extension_sound;
    if (m.extension() != nullptr) take_cache_record(m, check, allocated, damaged);
    m.repair_marked = repair_marked;
    // Resolve the chunks in force now (re-reading the count, which may grow
    // meanwhile); later ones are resolved on first use.
    for (std::uint64_t j = 0; j < m.chunks_in_use() && j < m.reachable_chunks; ++j) {
        try {
            m.bucket_chunk(j);
        } catch (const std::out_of_range &) {
            check.refuse("its chunk table does not lead to the bucket chunks in use");
        }
    }
    return state;
}

namespace {

// Swaps the header's chunk-size byte from `from` to `to` through the aligned
// word that holds it (map_layout.hpp), keeping the word's other bytes (the
// header's zero bytes, which a later version may use). False when the byte
// is not `from`. Pairs with the plain read of the header by every attach
// (read_map): an attach that reads after the swap finds the new byte.
bool swap_chunk_size_byte(Allocator base, std::uint8_t from, std::uint8_t to) {
    char *word = base + kRepairMarkWord;
    constexpr unsigned kShift = 16;  // the byte is byte 2 of the little-endian word
    for (;;) {
        const std::uint32_t found = atomics::load32(word);
        if (static_cast<std::uint8_t>(found >> kShift) != from) return false;
        const std::uint32_t desired = (found & ~(std::uint32_t{0xFF} << kShift)) | std::uint32_t{to} << kShift;
        if (atomics::cas32(word, found, desired) == found) return true;
    }
}

}  // namespace

bool take_repair_mark(MapState &m) {
    const bool taken = swap_chunk_size_byte(m.base, memory_manager(m.base)->chunk_size, kRepairMark);
    m.repair_marked = true;
    return taken;
}

void clear_repair_mark(MapState &m) {
    swap_chunk_size_byte(m.base, kRepairMark, memory_manager(m.base)->chunk_size);
    m.repair_marked = false;
}

void begin_writing(MapState &m) {
    // The file holds a map (read_map checked it). A file that a version which
    // did not reserve space wrote may have holes in its allocated area; they
    // are backed now, before this process stores into them (the allocator
    // backs what it hands out from here on). The chunk table is left as it
    // is: its slots in use were written, and an expansion reserves the slots
    // it writes (blocks that exist already are skipped, so a file without
    // holes costs two look-ups). So is the block of new buckets a doubling
    // builds in steps: each step reserves the pages it writes, and a file
    // system that is full leaves the rest a hole that no one writes.
    const Allocator base = m.base;
    const Offset allocated = memory_manager(base)->offset;
    const Offset table = to_offset(base, m.chunk_table);
    std::vector<std::pair<Offset, Offset>> skipped{{table, table + m.bucket_chunk_number * sizeof(Offset)}};
    Offset build_block = 0;
    std::uint64_t build_length = 0;
    if (m.named_build_block(build_block, build_length)) skipped.emplace_back(build_block, build_block + build_length);
    std::sort(skipped.begin(), skipped.end());
    Offset from = 0;
    for (const auto &[start, end] : skipped) {
        if (start > from && !reserve_pages(base, base + from, start - from)) throw_allocator_failure();
        from = std::max(from, end);
    }
    if (allocated > from && !reserve_pages(base, base + from, allocated - from)) throw_allocator_failure();
    // This is the first byte the attach writes.
    m.segment.mark_attached(m.segment.mapped_length());
}

std::unique_ptr<MapState> open_map(const std::string &path, OpenMode mode, const MapArguments &arguments,
                                   bool &created) {
    created = false;
    for (int attempt = 0;; ++attempt) {
        if (mode != OpenMode::create) {
            Segment::Fault fault = Segment::Fault::none;
            Segment segment = open_file_at(path, fault);
            if (segment) {
                std::unique_ptr<MapState> state;
                try {
                    state = read_map(std::move(segment), path);
                } catch (const FileBeingRepaired &) {
                    throw_open_fault(path, Segment::Fault::locked, EBUSY);  // as when a repair holds the lock
                }
                begin_writing(*state);
                return state;
            }
            if (mode == OpenMode::open || attempt == kOpenAttempts) throw_open_fault(path, fault, errno);
        }
        // The file would be visible at `path` half made if it were made
        // there: it is made beside it and linked into place once complete.
        Segment segment = Segment::create_beside(path.c_str(), arguments.size);
        if (!segment) throw FileError(errno, path, "cannot create the dictionary's file");
        auto state = build_map(std::move(segment), arguments);
        const int error = state->segment.publish(path.c_str());
        if (error == 0) {
            created = true;
            return state;
        }
        // `state` goes with its file, which never had the name `path`.
        if (error != EEXIST || mode == OpenMode::create) {
            throw FileError(error, path, "cannot create the dictionary's file");
        }
        // Another process created it meanwhile: open that one.
    }
}

}  // namespace zorvik
