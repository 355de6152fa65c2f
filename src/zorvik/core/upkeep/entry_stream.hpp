// The raw dump: a map's entries as a stream of bytes, each entry's stored
// hash, key bytes and value bytes exactly as the file holds them, so that a
// load reproduces the entries bit for bit without the serializer or the hash
// function that made them. All integers little-endian.
//
//   header  48 bytes: the magic "\x89ZVKDMP\n" (8; the high byte and the
//           newline show a stream mangled by a 7-bit or text transfer),
//           u16 version (1, or 2 for a cache), u8 data chunk size, 5 zero
//           bytes, u64 bucket chunk size, u64 bucket chunk number, u64
//           usable size (the source file's shape, for a load into a new
//           file), 4 zero bytes, u32 CRC-32 of the 44 bytes before it
//   rules   (version 2 only, right after the header) 36 bytes: u8 'C', u8
//           eviction policy (1 lru, 2 lfu, 3 random, 4 ttl), 6 zero bytes,
//           u64 max_entries, u64 max_bytes, u64 default TTL in ms (0 for
//           none each), u32 CRC-32 of the 32 bytes before it
//   entry   u8 'E', i64 hash, u64 key length, u64 value length, the key's
//           bytes, the value's bytes, u32 CRC-32 of the record before it
//   expiring (version 2 only) u8 'X', i64 hash, u64 deadline (wall-clock
//           ms since the Unix epoch), then as an entry from the key length
//   end     u8 'Z', u64 the number of entries before it, u32 CRC-32 of the 9
//           bytes before it; nothing may follow
//
// A plain dictionary's dump is version 1, which every version reads. A
// cache's is version 2, so that a reader that knows no deadlines refuses it
// whole at its header instead of loading entries that should expire as
// entries that never do.
//
// CRC-32 is the one of zlib and gzip (reflected polynomial 0xEDB88320). A
// stream that ends before its end record, or holds a record whose CRC or
// form is wrong, is refused at that record: a reader hands out every entry
// before it, and none from it on.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "zorvik/core/upkeep/upkeep.hpp"

namespace zorvik {

inline constexpr char kDumpMagic[8] = {'\x89', 'Z', 'V', 'K', 'D', 'M', 'P', '\n'};
inline constexpr std::uint16_t kDumpVersion = 1;
inline constexpr std::uint16_t kCacheDumpVersion = 2;
// The header and, in a cache's dump, the rules record after it: the most a
// reader needs to know what file a load into a new one makes.
inline constexpr std::size_t kDumpHeaderSize = 48;
inline constexpr std::size_t kDumpRulesSize = 36;

// A stream that cannot be read further: `entries_before` entries were handed
// out before the fault, and the record at byte `position` is where it lies.
class DumpStreamError : public std::runtime_error {
public:
    DumpStreamError(const std::string &what, std::uint64_t entries_before, std::uint64_t position)
        : std::runtime_error(what), entries_before(entries_before), position(position) {}
    std::uint64_t entries_before;
    std::uint64_t position;
};

std::uint32_t crc32(std::uint32_t crc, const char *bytes, std::size_t length);

// Writes a dump to `sink`, which receives the bytes in pieces of any size.
class DumpWriter {
public:
    DumpWriter(std::function<void(const char *, std::size_t)> sink, const DumpShape &shape);
    void entry(const StoredEntry &entry);
    // The end record; then flushes.
    void finish();
    std::uint64_t entries() const { return entries_; }

private:
    void put(const void *bytes, std::size_t length);
    void flush();

    std::function<void(const char *, std::size_t)> sink_;
    std::string buffer_;
    std::uint32_t crc_ = 0;
    std::uint64_t entries_ = 0;
    bool cache_ = false;  // a cache's dump: entries with a deadline say it
};

// Reads a dump from `source`, which fills up to the given number of bytes and
// returns how many it filled (0 at the end of the stream). Throws
// DumpStreamError for a stream that is not a dump or is damaged.
class DumpReader {
public:
    explicit DumpReader(std::function<std::size_t(char *, std::size_t)> source);
    const DumpShape &shape() const { return shape_; }
    // The next entry into `out`: true, or false at the end record.
    bool next(StoredEntry &out);
    std::uint64_t entries() const { return entries_; }

private:
    // The rules record of a cache's dump, into shape_.
    void take_rules();
    // Exactly `length` bytes into `out`, counted into the record's CRC.
    void take(void *out, std::size_t length, const char *what);
    void take_bytes(std::string &out, std::uint64_t length, const char *what);
    void check_crc(const char *what);
    [[noreturn]] void refuse(const std::string &what) const;

    std::function<std::size_t(char *, std::size_t)> source_;
    DumpShape shape_;
    std::uint32_t crc_ = 0;
    std::uint64_t entries_ = 0;
    std::uint64_t position_ = 0;  // bytes read so far
    std::uint64_t record_ = 0;    // where the record being read starts
    bool ended_ = false;
};

}  // namespace zorvik
