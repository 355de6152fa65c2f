// The public class: construction by creation or attach, and the operations,
// each handing over to the process-local state (map_internal.hpp) after the
// one check every entry point makes: a map object without state (the state of
// a failed construction is never kept) refuses with "operation on empty
// chunks!".
#include "zorvik/core/map/concurrent_hash_map.hpp"

#include <cstring>

#include "zorvik/core/map/map_creation.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik {
namespace {

const char *chars(const signed char *bytes) { return reinterpret_cast<const char *>(bytes); }

// The buffer the plain get hands out: from the host's allocator, one byte
// longer than the value (at least one byte), owned by the caller.
class HostBufferSink final : public ValueSink {
public:
    char *reserve(std::uint64_t length) override {
        buffer_ = static_cast<char *>(host::malloc(length + 1));
        if (buffer_) length_ = static_cast<std::int64_t>(length);
        return buffer_;
    }
    void abandon() noexcept override {
        host::free(buffer_);
        buffer_ = nullptr;
    }
    char *buffer() const { return buffer_; }
    std::int64_t length() const { return length_; }

private:
    char *buffer_ = nullptr;
    std::int64_t length_ = 0;
};

}  // namespace

ConcurrentHashMap_string::ConcurrentHashMap_string(std::string &name, std::uint8_t bucket_chunk_size_exponent,
                                                   std::uint64_t bucket_chunk_number, std::uint64_t size,
                                                   std::uint8_t string_chunk_size_exponent) {
    const MapArguments arguments{bucket_chunk_size_exponent, bucket_chunk_number, size, string_chunk_size_exponent};
    check_arguments(arguments);
    state_ = name.empty() ? create_map(arguments, name) : attach_map(name);
}

ConcurrentHashMap_string::ConcurrentHashMap_string(const std::string &path, OpenMode mode,
                                                   const MapArguments &arguments) {
    check_arguments(arguments);
    state_ = open_map(path, mode, arguments, created_);
}

// The pools give every cached chunk back, then the segment is unmapped and
// closed (MapState's member order); the file and its entries stay.
ConcurrentHashMap_string::~ConcurrentHashMap_string() = default;

MapState &ConcurrentHashMap_string::state() const {
    if (!state_) throw empty_chunks_exception();
    return *state_;
}

char *ConcurrentHashMap_string::base() const { return state_ ? state_->base : nullptr; }
std::uint64_t ConcurrentHashMap_string::bucket_chunk_size() const { return state_ ? state_->bucket_chunk_size : 0; }
std::uint64_t ConcurrentHashMap_string::bucket_chunk_number() const {
    return state_ ? state_->bucket_chunk_number : 0;
}
std::uint8_t ConcurrentHashMap_string::data_chunk_size() const { return state_ ? state_->data_chunk_size : 0; }
int ConcurrentHashMap_string::file_descriptor() const { return state_ ? state_->segment.file() : -1; }
std::string ConcurrentHashMap_string::recorded_serializer() const {
    if (!state_) return {};
    // Written before the file was handed out and never after: a plain read.
    const MapHeader *header = reinterpret_cast<const MapHeader *>(state_->base + kMapHeaderOffset);
    const char *name = header->serializer;
    return std::string(name, strnlen(name, sizeof header->serializer));
}
std::uint64_t ConcurrentHashMap_string::chunks_in_use() const { return state_ ? state_->chunks_in_use() : 0; }
std::uint64_t ConcurrentHashMap_string::entry_count() const { return state_ ? state_->entry_count() : 0; }

void ConcurrentHashMap_string::prefetch_bucket(std::int64_t hash) const noexcept {
    if (state_) state_->prefetch_bucket(hash);
}

void ConcurrentHashMap_string::prefetch_entries(std::int64_t hash) const noexcept {
    if (state_) state_->prefetch_entries(hash);
}

void ConcurrentHashMap_string::insert(const signed char *key, const signed char *value, std::uint64_t key_length,
                                      std::uint64_t value_length, std::int64_t hash) {
    state().insert(chars(key), chars(value), key_length, value_length, hash);
}

bool ConcurrentHashMap_string::get(const signed char *key, std::uint64_t key_length, std::int64_t hash,
                                   signed char *&buffer, std::int64_t &length) {
    // Out-parameters stay untouched unless the key is found.
    HostBufferSink sink;
    if (!state().get(chars(key), key_length, hash, sink)) return false;
    buffer = reinterpret_cast<signed char *>(sink.buffer());
    length = sink.length();
    return true;
}

bool ConcurrentHashMap_string::get(const signed char *key, std::uint64_t key_length, std::int64_t hash,
                                   ValueSink &sink) {
    return state().get(chars(key), key_length, hash, sink);
}

bool ConcurrentHashMap_string::remove(const signed char *key, std::uint64_t key_length, std::int64_t hash) {
    return state().remove(chars(key), key_length, hash);
}

// ---- operations with a result -----------------------------------------------------

namespace {

// The pointer the state's operations take for an optional value: null for
// none, and never null for an empty one.
const char *data_or_null(const std::optional<std::string_view> &bytes) {
    if (!bytes) return nullptr;
    return bytes->data() != nullptr ? bytes->data() : "";
}

}  // namespace

bool ConcurrentHashMap_string::contains(std::string_view key, std::int64_t hash) {
    return state().contains(key.data(), key.size(), hash);
}

bool ConcurrentHashMap_string::compare_and_set(std::string_view key, std::int64_t hash,
                                               std::optional<std::string_view> expected,
                                               std::optional<std::string_view> desired) {
    return state().compare_and_set(key.data(), key.size(), hash, data_or_null(expected),
                                   expected ? expected->size() : 0, data_or_null(desired),
                                   desired ? desired->size() : 0);
}

bool ConcurrentHashMap_string::insert_if_absent(std::string_view key, std::string_view value, std::int64_t hash,
                                                ValueSink &existing) {
    return state().insert_if_absent(key.data(), value.data(), key.size(), value.size(), hash, existing);
}

bool ConcurrentHashMap_string::take(std::string_view key, std::int64_t hash, ValueSink &value) {
    return state().take(key.data(), key.size(), hash, value);
}

void ConcurrentHashMap_string::insert_with_ttl(std::string_view key, std::string_view value, std::int64_t hash,
                                               std::optional<std::uint64_t> ttl_ms) {
    state().insert(key.data(), value.data(), key.size(), value.size(), hash, ttl_ms);
}

bool ConcurrentHashMap_string::ttl_left(std::string_view key, std::int64_t hash,
                                        std::optional<std::uint64_t> &left_ms) {
    return state().ttl_left(key.data(), key.size(), hash, left_ms);
}

bool ConcurrentHashMap_string::expire(std::string_view key, std::int64_t hash, std::optional<std::uint64_t> ttl_ms) {
    return state().expire(key.data(), key.size(), hash, ttl_ms);
}

bool ConcurrentHashMap_string::touch(std::string_view key, std::int64_t hash) {
    return state().touch(key.data(), key.size(), hash);
}

std::optional<CacheSettings> ConcurrentHashMap_string::cache_settings() const {
    const MapState &m = state();
    if (m.cache == nullptr) return std::nullopt;
    return m.cache_settings;
}

std::optional<CacheStats> ConcurrentHashMap_string::cache_stats() const {
    const MapState &m = state();
    if (m.cache == nullptr) return std::nullopt;
    return m.cache_stats();
}

std::uint64_t ConcurrentHashMap_string::scan(std::uint64_t cursor, EntrySink &sink, std::uint64_t buckets) {
    return state().scan(cursor, sink, buckets);
}

bool ConcurrentHashMap_string::take_any(std::uint64_t &cursor, EntrySink &sink) {
    return state().take_any(cursor, sink);
}

void ConcurrentHashMap_string::clear() { state().clear(); }

MapStats ConcurrentHashMap_string::stats() const {
    MapState &m = state();
    const MemoryManager *manager = memory_manager(m.base);
    // Written once at creation: read without the allocator's lock.
    const std::uint64_t capacity = manager->capacity - kFirstChunk;
    const std::uint64_t unallocated = unallocated_bytes(m.base);
    return MapStats{
        m.entry_count(),
        m.bucket_chunk_size * m.chunks_in_use(),
        m.bucket_chunk_size * m.reachable_chunks,
        capacity,
        capacity > unallocated ? capacity - unallocated : 0,
        m.segment.file_length(),
        m.data_chunk_size,
        free_listed_bytes(m.base),
    };
}

void ConcurrentHashMap_string::flush() const {
    const int error = state().segment.flush();
    if (error != 0) throw FileError(error, std::string(), "cannot write the dictionary's pages to its file");
}

}  // namespace zorvik
