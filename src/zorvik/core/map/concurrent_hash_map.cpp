// The public class: construction by creation or attach, and the operations,
// each handing over to the process-local state (map_internal.hpp) after the
// one check every entry point makes: a map object without state (the state of
// a failed construction is never kept) refuses with "operation on empty
// chunks!".
#include "zorvik/core/map/concurrent_hash_map.hpp"

#include "zorvik/core/map/map_creation.hpp"
#include "zorvik/core/map/map_internal.hpp"
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

}  // namespace zorvik
