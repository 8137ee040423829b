#include "platform/cqgcel/sim_market_common.h"

#include <ctime>

#include "platform/cqgcel/control.h"

namespace mx::cqgcel {
namespace {

com::DateTime FromTm(const std::tm& tm) {
  return com::DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                       tm.tm_min,         tm.tm_sec,     0};
}

}  // namespace

void FailIfScripted(std::string_view request) {
  Answer answer = Control::Instance().script().For(request);
  if (answer.mode == Answer::Mode::kFail || answer.mode == Answer::Mode::kFailWithoutError ||
      answer.mode == Answer::Mode::kRaise) {
    throw com::ComError(
        answer.code != 0 ? answer.code : com::hresult::kFail,
        answer.description.empty() ? std::string(request) + " failed" : answer.description);
  }
}

com::DateTime AddSeconds(const com::DateTime& t, int64_t seconds) {
  // Calendar arithmetic in UTC terms (timegm/gmtime_r), so no zone shift or DST enters.
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  std::time_t base = timegm(&tm) + static_cast<std::time_t>(seconds);
  std::tm out{};
  gmtime_r(&base, &out);
  com::DateTime result = FromTm(out);
  result.microsecond = t.microsecond;
  return result;
}

}  // namespace mx::cqgcel
