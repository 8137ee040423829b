// Waits asked for by the service (the retry_after of a 429) turned into durations.
//
// The service's number is clamped to [0, limit] before any conversion, so an absurd
// value (10^18 seconds) can neither overflow into a negative or tiny wait, which would
// make a poller spin, nor block for ever. Pure functions; thread-safe.
#pragma once

#include <chrono>
#include <cstdint>

namespace mx::telegram {

inline std::chrono::milliseconds clamped_seconds(std::int64_t seconds,
                                                 std::chrono::milliseconds limit) {
  if (seconds <= 0 || limit <= std::chrono::milliseconds(0)) return std::chrono::milliseconds(0);
  if (seconds > limit.count() / 1000) return limit;  // compared in seconds: no product overflows
  return std::chrono::seconds(seconds);
}

}  // namespace mx::telegram
