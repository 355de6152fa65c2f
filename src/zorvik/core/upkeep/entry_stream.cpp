#include "zorvik/core/upkeep/entry_stream.hpp"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#include "zorvik/core/map/operator_access.hpp"

namespace zorvik {
namespace {

constexpr char kEntryTag = 'E';
constexpr char kExpiringTag = 'X';
constexpr char kRulesTag = 'C';
constexpr char kEndTag = 'Z';
constexpr std::size_t kHeaderBody = kDumpHeaderSize - 4;  // the header's bytes before its CRC
constexpr std::size_t kRulesPadding = 6;                  // 'C', the policy, these: the u64s aligned
// The writer hands its buffer on once it holds this much: large enough that
// the sink is called rarely, small enough to stay in the cache.
constexpr std::size_t kFlushAt = std::size_t{1} << 20;
// A key or value is read in pieces of at most this much, so that a length
// garbled into something huge meets the end of a short stream before it
// meets an allocation that size.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;

// The shapes a map can have, which a dump's header must give (it is the shape
// of the file the dump was made from, and of a new file a load makes): data
// chunks of 2^3 to 2^7 bytes; a power of two of buckets a bucket chunk whose
// 56-byte buckets a 64-bit size can count (2^58 * 56 < 2^64); a chunk table of
// 8-byte entries a 64-bit size can count; and a usable size above 0 that a
// process can map (x86-64 gives a process 2^47 bytes of address space).
constexpr std::uint64_t kSmallestDataChunk = 8;
constexpr std::uint64_t kLargestDataChunk = 128;
constexpr std::uint64_t kLargestBucketChunk = std::uint64_t{1} << 58;
constexpr std::uint64_t kMostBucketChunks = std::uint64_t{1} << 61;
constexpr std::uint64_t kLargestUsableSize = std::uint64_t{1} << 47;

bool is_power_of_two(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// What is wrong with a header's shape, in words; empty when nothing is.
std::string shape_fault(const DumpShape &shape) {
    if (!is_power_of_two(shape.data_chunk_size) || shape.data_chunk_size < kSmallestDataChunk ||
        shape.data_chunk_size > kLargestDataChunk) {
        return "data chunks of " + std::to_string(shape.data_chunk_size) +
               " bytes (a dictionary's are 8, 16, 32, 64 or 128 bytes)";
    }
    if (!is_power_of_two(shape.bucket_chunk_size) || shape.bucket_chunk_size > kLargestBucketChunk) {
        return "bucket chunks of " + std::to_string(shape.bucket_chunk_size) +
               " buckets (a dictionary's are a power of two, at most 2**58)";
    }
    if (shape.bucket_chunk_number == 0 || shape.bucket_chunk_number > kMostBucketChunks) {
        return std::to_string(shape.bucket_chunk_number) + " bucket chunks (a dictionary has 1 to 2**61)";
    }
    if (shape.usable_size == 0 || shape.usable_size > kLargestUsableSize) {
        return "a usable size of " + std::to_string(shape.usable_size) +
               " bytes (a dictionary's is above 0 and at most 2**47, what a process can map)";
    }
    return std::string();
}

constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

template <class T>
void append_le(std::string &out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));  // x86-64: little-endian already
    out.append(bytes, sizeof(T));
}

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const char *bytes, std::size_t length) {
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) {
        crc = kCrcTable[(crc ^ static_cast<std::uint8_t>(bytes[i])) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

// ---- writer ---------------------------------------------------------------------

DumpWriter::DumpWriter(std::function<void(const char *, std::size_t)> sink, const DumpShape &shape)
    : sink_(std::move(sink)) {
    std::string header(kDumpMagic, sizeof kDumpMagic);
    append_le<std::uint16_t>(header, shape.cache ? kCacheDumpVersion : kDumpVersion);
    header.push_back(static_cast<char>(shape.data_chunk_size));
    header.append(5, '\0');
    append_le<std::uint64_t>(header, shape.bucket_chunk_size);
    append_le<std::uint64_t>(header, shape.bucket_chunk_number);
    append_le<std::uint64_t>(header, shape.usable_size);
    header.append(4, '\0');
    append_le<std::uint32_t>(header, crc32(0, header.data(), header.size()));
    buffer_ = std::move(header);
    if (shape.cache) {
        const CacheSettings &rules = *shape.cache;
        const auto policy = static_cast<std::uint8_t>(rules.policy);
        const char padding[kRulesPadding] = {};
        crc_ = 0;
        put(&kRulesTag, 1);
        put(&policy, 1);
        put(padding, sizeof padding);
        put(&rules.max_entries, sizeof rules.max_entries);
        put(&rules.max_bytes, sizeof rules.max_bytes);
        put(&rules.default_ttl_ms, sizeof rules.default_ttl_ms);
        append_le<std::uint32_t>(buffer_, crc_);
    }
    cache_ = shape.cache.has_value();
}

void DumpWriter::put(const void *bytes, std::size_t length) {
    buffer_.append(static_cast<const char *>(bytes), length);
    crc_ = crc32(crc_, static_cast<const char *>(bytes), length);
}

void DumpWriter::entry(const StoredEntry &entry) {
    crc_ = 0;
    const std::uint64_t key_length = entry.key.size();
    const std::uint64_t value_length = entry.value.size();
    // Only a cache's dump says deadlines (a plain map's entries have none).
    const bool expiring = cache_ && entry.deadline_ms != 0;
    put(expiring ? &kExpiringTag : &kEntryTag, 1);
    put(&entry.hash, sizeof entry.hash);
    if (expiring) put(&entry.deadline_ms, sizeof entry.deadline_ms);
    put(&key_length, sizeof key_length);
    put(&value_length, sizeof value_length);
    put(entry.key.data(), entry.key.size());
    put(entry.value.data(), entry.value.size());
    append_le<std::uint32_t>(buffer_, crc_);
    ++entries_;
    if (buffer_.size() >= kFlushAt) flush();
}

void DumpWriter::finish() {
    crc_ = 0;
    put(&kEndTag, 1);
    put(&entries_, sizeof entries_);
    append_le<std::uint32_t>(buffer_, crc_);
    flush();
}

void DumpWriter::flush() {
    if (!buffer_.empty()) sink_(buffer_.data(), buffer_.size());
    buffer_.clear();
}

// ---- reader ---------------------------------------------------------------------

DumpReader::DumpReader(std::function<std::size_t(char *, std::size_t)> source) : source_(std::move(source)) {
    char header[kHeaderBody];
    take(header, sizeof header, "the header");
    if (std::memcmp(header, kDumpMagic, sizeof kDumpMagic) != 0) refuse("it does not start as a zorvik dump");
    std::uint16_t version;
    std::memcpy(&version, header + 8, sizeof version);
    if (version != kDumpVersion && version != kCacheDumpVersion) {
        refuse("a dump of version " + std::to_string(version) + ", which this zorvik cannot read (it reads versions " +
               std::to_string(kDumpVersion) + " and " + std::to_string(kCacheDumpVersion) + ")");
    }
    check_crc("the header");
    shape_.data_chunk_size = static_cast<std::uint8_t>(header[10]);
    std::memcpy(&shape_.bucket_chunk_size, header + 16, 8);
    std::memcpy(&shape_.bucket_chunk_number, header + 24, 8);
    std::memcpy(&shape_.usable_size, header + 32, 8);
    // A header whose checksum holds but whose shape no dictionary has was not
    // written by a dump: refused before a load makes a file of that shape.
    const std::string fault = shape_fault(shape_);
    if (!fault.empty()) refuse("its header gives " + fault + ", which no dump of a dictionary holds");
    if (version == kCacheDumpVersion) take_rules();
}

void DumpReader::take_rules() {
    record_ = position_;
    crc_ = 0;
    char tag;
    take(&tag, 1, "the cache's rules");
    if (tag != kRulesTag) refuse("a cache's dump whose rules do not follow its header");
    std::uint8_t policy;
    char padding[kRulesPadding];
    CacheSettings rules;
    take(&policy, 1, "the cache's rules");
    take(padding, sizeof padding, "the cache's rules");
    take(&rules.max_entries, sizeof rules.max_entries, "the cache's rules");
    take(&rules.max_bytes, sizeof rules.max_bytes, "the cache's rules");
    take(&rules.default_ttl_ms, sizeof rules.default_ttl_ms, "the cache's rules");
    check_crc("the cache's rules");
    rules.policy = static_cast<CacheSettings::Policy>(policy);
    try {
        check_cache_settings(rules);
    } catch (const std::invalid_argument &e) {
        refuse(std::string("its cache's rules are not a cache's: ") + e.what());
    }
    shape_.cache = rules;
}

void DumpReader::refuse(const std::string &what) const {
    throw DumpStreamError("the dump is damaged at byte " + std::to_string(record_) + ", after " +
                              std::to_string(entries_) + " entries: " + what,
                          entries_, record_);
}

void DumpReader::take(void *out, std::size_t length, const char *what) {
    auto *at = static_cast<char *>(out);
    std::size_t filled = 0;
    while (filled < length) {
        const std::size_t got = source_(at + filled, length - filled);
        if (got == 0) refuse(std::string("the stream ends inside ") + what + " (is it cut short?)");
        filled += got;
    }
    position_ += length;
    crc_ = crc32(crc_, at, length);
}

void DumpReader::take_bytes(std::string &out, std::uint64_t length, const char *what) {
    out.clear();
    while (out.size() < length) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kReadPiece, length - out.size()));
        const std::size_t start = out.size();
        out.resize(start + piece);
        take(out.data() + start, piece, what);
    }
}

void DumpReader::check_crc(const char *what) {
    const std::uint32_t computed = crc_;
    std::uint32_t stored;
    take(&stored, sizeof stored, what);
    if (stored != computed) refuse(std::string("the checksum of ") + what + " is wrong");
}

bool DumpReader::next(StoredEntry &out) {
    if (ended_) return false;
    record_ = position_;
    crc_ = 0;
    char tag;
    take(&tag, 1, "a record");
    if (tag == kEndTag) {
        std::uint64_t count;
        take(&count, sizeof count, "the end record");
        check_crc("the end record");
        if (count != entries_) refuse("the end record counts " + std::to_string(count) + " entries");
        char after;
        if (source_(&after, 1) != 0) refuse("bytes follow the end record");
        ended_ = true;
        return false;
    }
    const bool expiring = tag == kExpiringTag && shape_.cache;
    if (tag != kEntryTag && !expiring) refuse("a record that is neither an entry nor the end");
    std::uint64_t key_length, value_length;
    take(&out.hash, sizeof out.hash, "an entry");
    out.deadline_ms = 0;
    if (expiring) {
        take(&out.deadline_ms, sizeof out.deadline_ms, "an entry");
        // A deadline of 0 says none, which an 'E' record says.
        if (out.deadline_ms == 0) refuse("an expiring entry without a deadline");
    }
    take(&key_length, sizeof key_length, "an entry");
    take(&value_length, sizeof value_length, "an entry");
    take_bytes(out.key, key_length, "an entry's key");
    take_bytes(out.value, value_length, "an entry's value");
    check_crc("an entry");
    ++entries_;
    return true;
}

}  // namespace zorvik
