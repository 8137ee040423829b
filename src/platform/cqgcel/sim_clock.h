// The simulator's wall clock: the current local time as a CQGCEL date-time.
//
// Thread-safety: any thread.
#pragma once

#include "platform/com/variant.h"

namespace mx::cqgcel {

// To the microsecond.
com::DateTime NowLocal();
// Cut to the whole second: generated ticks and bar ranges start on a second.
inline com::DateTime NowLocalWholeSeconds() {
  com::DateTime now = NowLocal();
  now.microsecond = 0;
  return now;
}

}  // namespace mx::cqgcel
