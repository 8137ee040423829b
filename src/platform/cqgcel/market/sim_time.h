// The market's clock: SimTime counts microseconds since 1970-01-01 00:00:00 of the
// market's own calendar (a naive local time: no zone, no daylight saving). The market
// never reads the wall clock; its owner moves it forward (Market::Advance).
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>

namespace mx::cqgcel::market {

using SimTime = int64_t;

inline constexpr int64_t kMicrosPerSecond = 1'000'000;
inline constexpr int64_t kMicrosPerMinute = 60 * kMicrosPerSecond;
inline constexpr int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;

struct CalendarTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int microsecond = 0;
};

// Calendar fields of a time, and back (proleptic Gregorian calendar).
CalendarTime ToCalendar(SimTime t);
SimTime FromCalendar(const CalendarTime& c);
inline SimTime MakeTime(int year, int month, int day, int hour = 0, int minute = 0,
                        int second = 0) {
  return FromCalendar({year, month, day, hour, minute, second, 0});
}

// Start of the period of length `period` (> 0) that holds `t` (floor, also before 1970).
inline SimTime PeriodStart(SimTime t, int64_t period) {
  int64_t q = t / period;
  if (t % period != 0 && t < 0) --q;
  return q * period;
}

}  // namespace mx::cqgcel::market
