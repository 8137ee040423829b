// The gateway's translation tables for CQG values: quote types (names and the Quote field
// each updates) and order statuses (the host status each maps to); and the text form of
// a CQG value as the host shows values (Python's str()).
//
// Plain C++. Thread-safety: any thread (tables are built once, immutable).
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/variant.h"

namespace mx::tradelink {

// The Quote field a quote type updates (in the order the quote path tests them).
enum class QuoteField { kNone, kLast, kBid, kAsk, kOpen, kHigh, kLow, kPrevClose };

struct QuoteTypeEntry {
  int32_t value;
  const char* name;
  QuoteField field;
};
// The entry for a quote-type value; nullptr when it is outside the table.
const QuoteTypeEntry* FindQuoteType(int64_t value);

// Host order statuses, in OrderStatus's member order.
enum class HostStatus { kSubmitted, kFilled, kCancelled, kFailed, kUnknown };
// The host status of a CQG order status; false when the status is outside the table.
bool TranslateOrderStatus(int64_t status, HostStatus* out);

// Text form as Python's str() gives it: "3", "101.5", "100.0", "True", the text itself.
std::string PyText(const com::Variant& value);

}  // namespace mx::tradelink
