// Days since 1970-01-01 of a proleptic Gregorian date, and back (Howard Hinnant's
// algorithms): exact for every date an int64_t day count can hold, before 1970 too. Both
// the market's clock and the Windows VARIANT date conversion count days with these.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>

namespace mx::civil {

struct Date {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
};

constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr Date CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return Date{static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2)),
              static_cast<int>(m), static_cast<int>(d)};
}

}  // namespace mx::civil
