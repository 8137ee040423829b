// The plain records of the order path: one placement's, handed between its three steps
// (the host's order as read on the caller's thread, what the task on the COM thread did
// with it), and what an order event reads of CQGCEL's objects before any Python runs.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"
#include "platform/com/variant.h"

namespace mx::tradelink {

// The host's order, read and checked (caller's thread, GIL held).
struct OrderRequest {
  std::string symbol;                 // the CQG symbol looked up among the instruments
  int32_t cqg_type = 0;               // otLimit, otMarket or otStop; 0 when unsupported
  int32_t side = 0;                   // osdBuy or osdSell; 0 when unsupported
  std::optional<int64_t> account_id;  // the subscribed account, if any
  // CreateOrder's arguments when every check passes: 5 for a market order, 6 (price) for
  // a limit order, 7 (price, stop price) for a stop order. Slots 1 (instrument) and 2
  // (account) are filled in on the COM thread.
  std::vector<com::Variant> create_args;
  double timeout_seconds = 0;  // TIMEOUT, read with the order

  bool ChecksPass() const { return cqg_type != 0 && side != 0 && account_id.has_value(); }
};

// What the COM thread's task did (plain C++; read by the caller once the task is done).
struct PlaceAttempt {
  bool subscribed = false;     // an instrument's full name contains the symbol
  bool placed = false;         // Place returned: this order's ctAdded is awaited
  AccountWalk walk;            // the accounts visited, traced by the caller
  std::exception_ptr failure;  // a CQGCEL error, passed to the caller unchanged
};

// What the COM thread reads of one order event.
struct OrderRead {
  com::Variant status, guid, timestamp, average_price, filled_quantity;
};

// What it reads of the event's fill: only `normal` for a fill that is not.
struct FillRead {
  bool normal = false;
  com::Variant timestamp, price, quantity, order_guid, id;
};

}  // namespace mx::tradelink
