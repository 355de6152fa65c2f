// The LFU counter of a cache's entry (in its V word, entry_metadata.hpp): a
// byte that counts hits logarithmically and loses one every decay period
// the entry goes without one, so that it tells entries used often from
// entries used once, and forgets a burst of hits long past. The design is
// Redis's: a hit raises a counter c with probability
// 1 / ((c - kLfuInitial) x log_factor + 1), so with the factor 10 about a
// hundred hits take it to 10, a thousand to 18, a hundred thousand to 142
// and a million to 255 (about 5 x (c - kLfuInitial)^2 hits reach c).
#pragma once

#include <cstdint>

#include "zorvik/core/map/entry_metadata.hpp"

namespace zorvik {

// A new entry's count: above 0, so that a new entry outlives the ones whose
// count has decayed to nothing (evicting new keys first would keep a cache
// from ever learning a new working set).
inline constexpr std::uint8_t kLfuInitial = 5;
// The logarithmic factor and the decay period (minutes) of a cache whose
// record gives none.
inline constexpr std::uint8_t kLfuLogFactor = 10;
inline constexpr std::uint16_t kLfuDecayMinutes = 1;
inline constexpr std::uint8_t kLfuMost = 255;
// Microseconds in the minute the decay counts in.
inline constexpr std::uint64_t kMinuteUs = 60'000'000;

// The minute `now_us` falls in, as the V word keeps it (16 bits: it wraps
// every 45 days; an entry left alone longer decays less than it should).
inline std::uint16_t lfu_minutes_at(std::uint64_t now_us) { return static_cast<std::uint16_t>(now_us / kMinuteUs); }

// The counter once the periods since its minute are taken off it.
inline std::uint8_t lfu_decayed(const AccessMetadata &access, std::uint16_t now_minutes, std::uint16_t period) {
    const auto elapsed = static_cast<std::uint16_t>(now_minutes - access.lfu_minutes);
    const std::uint32_t periods = elapsed / (period == 0 ? kLfuDecayMinutes : period);
    return periods >= access.lfu_counter ? 0 : static_cast<std::uint8_t>(access.lfu_counter - periods);
}

// The counter after one more hit, given a random draw.
inline std::uint8_t lfu_incremented(std::uint8_t counter, std::uint8_t log_factor, std::uint64_t draw) {
    if (counter == kLfuMost) return counter;
    const std::uint32_t base = counter > kLfuInitial ? counter - kLfuInitial : 0;
    // P = 1 / (base x factor + 1): a draw below 2^32 / (base x factor + 1)
    // out of 2^32.
    const std::uint64_t odds = std::uint64_t{base} * (log_factor == 0 ? kLfuLogFactor : log_factor) + 1;
    return (draw & 0xFFFFFFFFu) < (std::uint64_t{1} << 32) / odds ? static_cast<std::uint8_t>(counter + 1) : counter;
}

// The V word of an entry stored or adopted at `now_us`.
inline AccessMetadata new_access(std::uint64_t now_us) {
    return AccessMetadata{stamp_at(now_us), kLfuInitial, lfu_minutes_at(now_us)};
}

}  // namespace zorvik
