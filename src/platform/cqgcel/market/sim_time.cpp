#include "platform/cqgcel/market/sim_time.h"

namespace mx::cqgcel::market {
namespace {

// Days since 1970-01-01 of a civil date, and back (Howard Hinnant's algorithms).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

}  // namespace

CalendarTime ToCalendar(SimTime t) {
  const SimTime day_start = PeriodStart(t, kMicrosPerDay);
  CalendarTime c;
  CivilFromDays(day_start / kMicrosPerDay, c.year, c.month, c.day);
  int64_t rest = t - day_start;
  c.hour = static_cast<int>(rest / (3600 * kMicrosPerSecond));
  rest %= 3600 * kMicrosPerSecond;
  c.minute = static_cast<int>(rest / kMicrosPerMinute);
  rest %= kMicrosPerMinute;
  c.second = static_cast<int>(rest / kMicrosPerSecond);
  c.microsecond = static_cast<int>(rest % kMicrosPerSecond);
  return c;
}

SimTime FromCalendar(const CalendarTime& c) {
  const int64_t days =
      DaysFromCivil(c.year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day));
  return days * kMicrosPerDay + ((c.hour * 60 + c.minute) * 60 + c.second) * kMicrosPerSecond +
         c.microsecond;
}

}  // namespace mx::cqgcel::market
