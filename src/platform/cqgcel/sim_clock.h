// The simulator's wall clock: the current local time as a CQGCEL date-time.
//
// Thread-safety: any thread.
#pragma once

#include "platform/com/variant.h"

namespace mx::cqgcel {

com::DateTime NowLocal();

}  // namespace mx::cqgcel
