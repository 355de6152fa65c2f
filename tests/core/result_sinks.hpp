// Sinks for the tests of the operations with a result: a value into a
// string, and a scan's entries into a vector.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "zorvik/core/map/concurrent_hash_map.hpp"

namespace zorvik::testing {

class StringSink final : public ValueSink {
public:
    char *reserve(std::uint64_t length) override {
        called = true;
        bytes.assign(length, '\0');
        return bytes.data();
    }
    void abandon() noexcept override { bytes.clear(); }

    std::string bytes;
    bool called = false;
};

class EntriesSink final : public EntrySink {
public:
    EntriesSink(bool keys, bool values) : EntrySink(keys, values) {}
    char *reserve(Part part, std::uint64_t length) override {
        std::string &out = part == Part::key ? key_ : value_;
        out.assign(length, '\0');
        return out.data();
    }
    void commit() override {
        entries.emplace_back(std::move(key_), std::move(value_));
        key_.clear();
        value_.clear();
    }
    void abandon() noexcept override {
        key_.clear();
        value_.clear();
    }

    std::vector<std::pair<std::string, std::string>> entries;

private:
    std::string key_;
    std::string value_;
};

}  // namespace zorvik::testing
