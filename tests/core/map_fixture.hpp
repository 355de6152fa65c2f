// Fixtures for the map tests: small maps in a private temporary directory,
// byte-string helpers, and a peek at a bucket's structure.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "scratch_segment.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/map/map_internal.hpp"
#include "zorvik/core/segment/host.hpp"

namespace zorvik::testing {

// prefix followed by the decimal number; built by appending, as g++ 12 warns
// falsely (-Wrestrict) on literal + std::string temporaries.
inline std::string numbered(const char *prefix, std::uint64_t n) {
    std::string s = prefix;
    s += std::to_string(n);
    return s;
}

inline const signed char *bytes_of(const std::string &s) { return reinterpret_cast<const signed char *>(s.data()); }

// Shape of a map made by a test: small enough to fill or expand quickly.
struct MapShape {
    std::uint8_t bucket_chunk_size_exponent = 2;
    std::uint64_t bucket_chunk_number = 1;
    std::uint64_t size = 1 << 20;
    std::uint8_t string_chunk_size_exponent = 3;  // 8-byte data chunks: strings span many
};

class MapTest : public ::testing::Test {
protected:
    ScratchTmpdir tmpdir;

    std::unique_ptr<ConcurrentHashMap_string> create(const MapShape &shape = {}) {
        std::string name;
        auto map = std::make_unique<ConcurrentHashMap_string>(name, shape.bucket_chunk_size_exponent,
                                                              shape.bucket_chunk_number, shape.size,
                                                              shape.string_chunk_size_exponent);
        path = name;
        return map;
    }
    std::unique_ptr<ConcurrentHashMap_string> attach(std::string name) {
        return std::make_unique<ConcurrentHashMap_string>(name, kAttachArguments.bucket_chunk_size_exponent,
                                                          kAttachArguments.bucket_chunk_number, kAttachArguments.size,
                                                          kAttachArguments.string_chunk_size_exponent);
    }

    std::string path;
};

// Runs `body` in a forked child that exits with the status it returns (1 when
// it throws); returns the child's pid for wait_exit_status.
template <class Body>
pid_t fork_child(Body body) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int status = 1;
    try {
        status = body();
    } catch (...) {
    }
    _exit(status);
}

inline void put(ConcurrentHashMap_string &map, const std::string &key, const std::string &value, std::int64_t hash) {
    map.insert(bytes_of(key), bytes_of(value), key.size(), value.size(), hash);
}

inline std::optional<std::string> fetch(ConcurrentHashMap_string &map, const std::string &key, std::int64_t hash) {
    signed char *buffer = nullptr;
    std::int64_t length = -1;
    if (!map.get(bytes_of(key), key.size(), hash, buffer, length)) return std::nullopt;
    std::string value(reinterpret_cast<char *>(buffer), static_cast<std::size_t>(length));
    host::free(buffer);
    return value;
}

inline bool erase(ConcurrentHashMap_string &map, const std::string &key, std::int64_t hash) {
    return map.remove(bytes_of(key), key.size(), hash);
}

// The bucket `hash` leads to in the table in force.
inline Bucket *bucket_for(ConcurrentHashMap_string &map, std::int64_t hash) {
    auto *m = map.internals();
    return m->bucket_at(m->bucket_index(hash, m->chunks_in_use()));
}

inline std::string file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zorvik::testing
