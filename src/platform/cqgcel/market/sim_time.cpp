#include "platform/cqgcel/market/sim_time.h"

#include "platform/civil_date.h"

namespace mx::cqgcel::market {

using civil::CivilFromDays;
using civil::DaysFromCivil;

CalendarTime ToCalendar(SimTime t) {
  const SimTime day_start = PeriodStart(t, kMicrosPerDay);
  CalendarTime c;
  const civil::Date date = CivilFromDays(day_start / kMicrosPerDay);
  c.year = date.year;
  c.month = date.month;
  c.day = date.day;
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
