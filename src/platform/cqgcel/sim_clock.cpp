#include "platform/cqgcel/sim_clock.h"

#include <chrono>
#include <ctime>

namespace mx::cqgcel {

com::DateTime NowLocal() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000;
  return com::DateTime{local.tm_year + 1900,    local.tm_mon + 1, local.tm_mday,
                       local.tm_hour,           local.tm_min,     local.tm_sec,
                       static_cast<int>(micros)};
}

}  // namespace mx::cqgcel
