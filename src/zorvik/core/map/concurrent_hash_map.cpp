// Construction, attachment and destruction of a map.
//
// A new map lives in a new segment file: the header chunk first (so the
// MapHeader is always at Offset 66), then one entry chunk per bucket of the
// first bucket chunk (each bucket owns one from its creation, so the first
// entry of a bucket needs no allocation), the chunk table, bucket chunk 0 and
// the five shared words. Nobody else can reach the map before the constructor
// returns its path, so creation takes no map lock.
//
// An attach trusts nothing in the file until it has checked it: the checks
// below run before the first byte is written, and a file that fails them is
// refused with std::invalid_argument naming the path and the fault, and left
// exactly as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

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

std::uint64_t largest_power_of_two_at_most(std::uint64_t n) { return n == 0 ? 0 : std::bit_floor(n); }

void check_arguments(std::uint8_t bucket_chunk_size_exponent, std::uint64_t bucket_chunk_number, std::uint64_t size,
                     std::uint8_t string_chunk_size_exponent) {
    if (size == 0) throw size_exception();
    if (string_chunk_size_exponent < 3) throw string_chunk_size_exponent_exception();
    if (bucket_chunk_number == 0) throw bucket_chunk_number_exception();
    if (string_chunk_size_exponent > kMaxStringChunkSizeExponent) {
        throw std::invalid_argument("string_chunk_size_exponent should be less than 8!");
    }
    if (bucket_chunk_number > UINT64_MAX / sizeof(Offset)) {
        throw std::invalid_argument("bucket chunk number is too large!");
    }
    std::uint64_t bucket_chunk_size = std::uint64_t{1} << (bucket_chunk_size_exponent % 64);
    if (bucket_chunk_size > UINT64_MAX / sizeof(Bucket)) {
        throw std::invalid_argument("bucket chunk size exponent is too large!");
    }
}

[[noreturn]] void throw_allocator_failure() {
    const char *text = last_error();
    throw std::runtime_error(text ? text : "mm:alloc: out of memory");
}

char *allocate_block_or_throw(Allocator base, std::uint64_t length) {
    char *block = allocate_block(base, length);
    if (!block) throw_allocator_failure();
    return block;
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

    // capacity: the end of the allocatable area, inside the file.
    Offset check_allocator_record() const {
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
        if (word % 8 != 2 || word < kFirstChunk || word > allocated || allocated - word < sizeof(std::uint64_t)) {
            refuse(std::string("the map's ") + name + " word lies outside the allocated area");
        }
    }

private:
    const std::string &path_;
    Allocator base_;
    std::uint64_t file_length_;
};

}  // namespace

const std::out_of_range &offset_overflow_exception() {
    static const std::out_of_range e("offset overflow!");
    return e;
}

const std::runtime_error &empty_chunks_exception() {
    static const std::runtime_error e("operation on empty chunks!");
    return e;
}

ConcurrentHashMap_string::Impl::~Impl() { host::free(chunk_cache); }

char *ConcurrentHashMap_string::Impl::bucket_chunk(std::uint64_t j) {
    if (j >= reachable_chunks) throw offset_overflow_exception();
    // Acquire/release on the cache: a slot filled by another thread of this
    // process carries that thread's view of the chunk's initialisation.
    char *chunk = __atomic_load_n(&chunk_cache[j], __ATOMIC_ACQUIRE);
    if (chunk) return chunk;
    // The table entry is published by the claimer's exchange after the chunk
    // was initialised (expansion.cpp); this acquire load pairs with it.
    std::int64_t entry = table_entry(j);
    if (entry <= 1 || entry % 8 != 2) throw offset_overflow_exception();
    chunk = checked(static_cast<Offset>(entry), bucket_chunk_size * sizeof(Bucket));
    __atomic_store_n(&chunk_cache[j], chunk, __ATOMIC_RELEASE);
    return chunk;
}

ConcurrentHashMap_string::ConcurrentHashMap_string(std::string &name, std::uint8_t bucket_chunk_size_exponent,
                                                   std::uint64_t bucket_chunk_number, std::uint64_t size,
                                                   std::uint8_t string_chunk_size_exponent) {
    check_arguments(bucket_chunk_size_exponent, bucket_chunk_number, size, string_chunk_size_exponent);
    if (name.empty()) {
        create(name, bucket_chunk_size_exponent, bucket_chunk_number, size, string_chunk_size_exponent);
    } else {
        attach(name);
    }
}

ConcurrentHashMap_string::~ConcurrentHashMap_string() {
    if (!segment_.base) return;
    impl_.reset();  // the pools give every cached chunk back; the cache is freed
    segment_close(segment_);
}

void ConcurrentHashMap_string::create(std::string &name, std::uint8_t bucket_chunk_size_exponent,
                                      std::uint64_t bucket_chunk_number, std::uint64_t size,
                                      std::uint8_t string_chunk_size_exponent) {
    const std::uint8_t data_chunk_size = data_chunk_size_for(string_chunk_size_exponent);
    std::string path;
    if (!segment_open(size, nullptr, data_chunk_size, segment_, &path)) throw bad_alloc_exception();
    try {
        lay_out_new_map(bucket_chunk_size_exponent, bucket_chunk_number, data_chunk_size);
        name = path;
    } catch (...) {
        impl_.reset();
        segment_close(segment_);
        segment_.base = nullptr;
        std::error_code removed;
        if (!std::filesystem::remove(path, removed) && removed) {
            throw std::filesystem::filesystem_error("cannot remove the new segment file", path, removed);
        }
        throw;
    }
}

void ConcurrentHashMap_string::lay_out_new_map(std::uint8_t bucket_chunk_size_exponent,
                                               std::uint64_t bucket_chunk_number, std::uint8_t data_chunk_size) {
    Allocator base = segment_.base;
    const std::uint64_t bucket_chunk_size = std::uint64_t{1} << (bucket_chunk_size_exponent % 64);

    // The first chunk carved in a new segment lands at Offset 64: the header.
    char *header_chunk = allocate_chunks(base, 1, kHeaderChunkSize);
    impl_ = std::make_unique<Impl>(base, data_chunk_size);
    Impl &m = *impl_;
    m.base = base;
    m.capacity = memory_manager(base)->capacity;
    m.bucket_chunk_size = bucket_chunk_size;
    m.bucket_shift = bucket_chunk_size_exponent % 64;
    m.bucket_chunk_number = bucket_chunk_number;
    m.reachable_chunks = largest_power_of_two_at_most(bucket_chunk_number);
    m.data_chunk_size = data_chunk_size;

    // One entry chunk per bucket, carved in groups of 100 before anything else,
    // so that a segment too small for them fails here (with the pool's error).
    char *last_link = nullptr;
    char *entry_link = m.entry_pool.refill_entry_links(bucket_chunk_size, &last_link);
    if (!header_chunk) throw_allocator_failure();  // unreachable: the refill needs more room

    m.chunk_cache = static_cast<char **>(host::calloc(m.reachable_chunks, sizeof(char *)));
    if (!m.chunk_cache) throw std::runtime_error("PyMem_Malloc failed!");

    m.chunk_table = allocate_block_or_throw(base, bucket_chunk_number * sizeof(Offset));
    char *chunk0 = allocate_block_or_throw(base, bucket_chunk_size * sizeof(Bucket));
    // Fresh blocks come from never-used space of a new file, which reads zero:
    // every other chunk table entry is already 0.
    write_u64(m.chunk_table, to_offset(base, chunk0));
    m.chunk_cache[0] = chunk0;

    Bucket *buckets = reinterpret_cast<Bucket *>(chunk0);
    for (std::uint64_t i = 0; i < bucket_chunk_size; ++i) {
        write_empty_bucket(&buckets[i], to_offset(base, entry_link));
        entry_link = base + reinterpret_cast<ChunkLink *>(entry_link)->next;
    }

    m.chunks_in_use_word = allocate_block_or_throw(base, 8);
    m.expansion_workers_word = allocate_block_or_throw(base, 8);
    m.expansion_lock_word = allocate_block_or_throw(base, 8);
    m.split_cursor_word = allocate_block_or_throw(base, 8);
    m.entry_count_word = allocate_block_or_throw(base, 8);
    write_u64(m.chunks_in_use_word, 1);  // the others start at 0, as fresh space reads

    MapHeader *header = reinterpret_cast<MapHeader *>(chunk_data(header_chunk));
    header->reserved0 = static_cast<std::uint64_t>(host::own_pid());
    header->reserved1 = reinterpret_cast<std::uint64_t>(base);
    header->bucket_chunk_number = bucket_chunk_number;
    header->bucket_chunk_size = bucket_chunk_size;
    header->chunk_table = to_offset(base, m.chunk_table);
    header->chunks_in_use = to_offset(base, m.chunks_in_use_word);
    header->expansion_workers = to_offset(base, m.expansion_workers_word);
    header->expansion_lock = to_offset(base, m.expansion_lock_word);
    header->split_cursor = to_offset(base, m.split_cursor_word);
    header->entry_count = to_offset(base, m.entry_count_word);
    header->data_chunk_size = data_chunk_size;
}

void ConcurrentHashMap_string::attach(const std::string &name) {
    struct stat status;
    if (::stat(name.c_str(), &status) != 0) {
        throw std::runtime_error("file status wrong with errno: " + std::to_string(errno));
    }
    FileCheck by_path(name, nullptr, 0);
    by_path.require(S_ISREG(status.st_mode), "not a regular file");
    by_path.require(static_cast<std::uint64_t>(status.st_size) >=
                        kFileOverhead + chunk_span(kHeaderChunkSize),
                    "the file is too short to hold a map header");

    if (!segment_open(0, name.c_str(), 0, segment_)) throw bad_alloc_exception();
    try {
        check_and_adopt(name);
    } catch (...) {
        impl_.reset();
        segment_close(segment_);
        segment_.base = nullptr;
        throw;
    }
    segment_mark_attached(segment_, segment_.mapped_length);
}

void ConcurrentHashMap_string::check_and_adopt(const std::string &name) {
    Allocator base = segment_.base;
    const std::uint64_t file_length = segment_.mapped_length;
    FileCheck check(name, base, file_length);
    check.require(file_length >= kFileOverhead + chunk_span(kHeaderChunkSize),
                  "the file is too short to hold a map header");
    const Offset allocated = check.check_allocator_record();
    const Offset capacity = memory_manager(base)->capacity;

    const MapHeader header = *reinterpret_cast<const MapHeader *>(base + kMapHeaderOffset);
    check.require(is_creatable_data_chunk_size(header.data_chunk_size) &&
                      header.data_chunk_size == memory_manager(base)->chunk_size,
                  "its data chunk size is not one a map can have");
    check.require(header.bucket_chunk_size != 0 && std::has_single_bit(header.bucket_chunk_size) &&
                      header.bucket_chunk_size <= UINT64_MAX / sizeof(Bucket),
                  "its bucket chunk size is not a power of two");
    check.require(header.bucket_chunk_number != 0 && header.bucket_chunk_number <= UINT64_MAX / sizeof(Offset),
                  "its bucket chunk number is out of range");
    const std::uint64_t table_length = header.bucket_chunk_number * sizeof(Offset);
    check.require(header.chunk_table % 8 == 2 && header.chunk_table >= kFirstChunk &&
                      header.chunk_table <= allocated && table_length <= allocated - header.chunk_table,
                  "its chunk table lies outside the allocated area");
    check.check_word(header.chunks_in_use, allocated, "chunks_in_use");
    check.check_word(header.expansion_workers, allocated, "expansion_workers");
    check.check_word(header.expansion_lock, allocated, "expansion_lock");
    check.check_word(header.split_cursor, allocated, "split_cursor");
    check.check_word(header.entry_count, allocated, "entry_count");
    const std::uint64_t chunks = read_u64(base + header.chunks_in_use);
    check.require(chunks != 0 && std::has_single_bit(chunks) && chunks <= header.bucket_chunk_number,
                  "its chunks_in_use is not a power of two within the bucket chunk number");
    check.require(read_u64(base + header.entry_count) < (std::uint64_t{1} << 47), "its entry count is out of range");

    impl_ = std::make_unique<Impl>(base, header.data_chunk_size);
    Impl &m = *impl_;
    m.base = base;
    m.capacity = capacity;
    m.bucket_chunk_size = header.bucket_chunk_size;
    m.bucket_shift = static_cast<unsigned>(std::countr_zero(header.bucket_chunk_size));
    m.bucket_chunk_number = header.bucket_chunk_number;
    m.reachable_chunks = largest_power_of_two_at_most(header.bucket_chunk_number);
    m.data_chunk_size = header.data_chunk_size;
    m.chunk_table = base + header.chunk_table;
    m.chunks_in_use_word = base + header.chunks_in_use;
    m.expansion_workers_word = base + header.expansion_workers;
    m.expansion_lock_word = base + header.expansion_lock;
    m.split_cursor_word = base + header.split_cursor;
    m.entry_count_word = base + header.entry_count;

    m.chunk_cache = static_cast<char **>(host::calloc(m.reachable_chunks, sizeof(char *)));
    if (!m.chunk_cache) throw std::runtime_error("PyMem_Malloc failed!");
    // Resolve the chunks in force now (re-reading the count, which may grow
    // meanwhile); later ones are resolved on first use.
    for (std::uint64_t j = 0; j < m.chunks_in_use() && j < m.reachable_chunks; ++j) {
        try {
            m.bucket_chunk(j);
        } catch (const std::out_of_range &) {
            check.refuse("its chunk table does not lead to the bucket chunks in use");
        }
    }
}

std::uint64_t ConcurrentHashMap_string::bucket_chunk_size() const { return impl_ ? impl_->bucket_chunk_size : 0; }
std::uint64_t ConcurrentHashMap_string::bucket_chunk_number() const { return impl_ ? impl_->bucket_chunk_number : 0; }
std::uint8_t ConcurrentHashMap_string::data_chunk_size() const { return impl_ ? impl_->data_chunk_size : 0; }
std::uint64_t ConcurrentHashMap_string::chunks_in_use() const { return impl_ ? impl_->chunks_in_use() : 0; }
std::uint64_t ConcurrentHashMap_string::entry_count() const { return impl_ ? impl_->entry_count() : 0; }

void ConcurrentHashMap_string::prefetch_bucket(std::int64_t hash) const noexcept {
    if (impl_) impl_->prefetch_bucket(hash);
}

void ConcurrentHashMap_string::prefetch_entries(std::int64_t hash) const noexcept {
    if (impl_) impl_->prefetch_entries(hash);
}

void ConcurrentHashMap_string::insert(const signed char *key, const signed char *value, std::uint64_t key_length,
                                      std::uint64_t value_length, std::int64_t hash) {
    if (!impl_) throw empty_chunks_exception();
    impl_->insert(key, value, key_length, value_length, hash);
}

namespace {

// The buffer the plain get hands out: from the host's allocator, one byte
// longer than the value (at least one byte), owned by the caller.
class HostBufferSink final : public ValueSink {
public:
    HostBufferSink(signed char *&buffer, std::int64_t &length) : buffer_(buffer), length_(length) {}
    char *reserve(std::uint64_t length) override {
        auto *out = static_cast<char *>(host::malloc(length + 1));
        if (out) {
            buffer_ = reinterpret_cast<signed char *>(out);
            length_ = static_cast<std::int64_t>(length);
        }
        return out;
    }
    void abandon() noexcept override {
        host::free(buffer_);
        buffer_ = nullptr;
    }

private:
    signed char *&buffer_;
    std::int64_t &length_;
};

}  // namespace

bool ConcurrentHashMap_string::get(const signed char *key, std::uint64_t key_length, std::int64_t hash,
                                   signed char *&buffer, std::int64_t &length) {
    if (!impl_) throw empty_chunks_exception();
    // Out-parameters stay untouched unless the key is found.
    signed char *found_buffer = nullptr;
    std::int64_t found_length = 0;
    HostBufferSink sink(found_buffer, found_length);
    if (!impl_->get(key, key_length, hash, sink)) return false;
    buffer = found_buffer;
    length = found_length;
    return true;
}

bool ConcurrentHashMap_string::get(const signed char *key, std::uint64_t key_length, std::int64_t hash,
                                   ValueSink &sink) {
    if (!impl_) throw empty_chunks_exception();
    return impl_->get(key, key_length, hash, sink);
}

bool ConcurrentHashMap_string::remove(const signed char *key, std::uint64_t key_length, std::int64_t hash) {
    if (!impl_) throw empty_chunks_exception();
    return impl_->remove(key, key_length, hash);
}

}  // namespace zorvik
