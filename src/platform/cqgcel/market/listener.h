// MarketListener: everything the market announces, for the CQGCEL layer to turn into
// its events. Callbacks run synchronously inside the Market call that caused them
// (Advance, Step, PlaceOrder, CancelOrder), on the caller's thread; the references are
// valid only during the callback. A listener must not call back into the Market's
// mutating operations from a callback (queries are fine).
//
// Order of announcements for one instrument update: completed bars, the quote change,
// the ticks, the forming bars, then order changes (each fill followed by its position
// and account change).
#pragma once

#include <span>

#include "platform/cqgcel/market/market_types.h"

namespace mx::cqgcel::market {

class Instrument;
class Account;

class MarketListener {
 public:
  virtual ~MarketListener() = default;

  // Quotes of an instrument changed: only the changed ones, in a fixed order (bid, ask,
  // trade, day open, day high, day low, yesterday's settlement).
  virtual void OnQuotesChanged(const Instrument&, std::span<const QuoteValue>) {}
  // New ticks of an instrument, in time order (bid, ask, then trade of one update).
  virtual void OnTicksAdded(const Instrument&, std::span<const Tick>) {}
  // The bar of `period` that started at bar.start has ended (its period passed).
  virtual void OnBarCompleted(const Instrument&, BarPeriod, const Bar&) {}
  // The forming bar took a trade; `new_bar` when this trade opened it.
  virtual void OnBarUpdated(const Instrument&, BarPeriod, const Bar&, bool /*new_bar*/) {}
  // An order was added (status InTransit) or changed; `fill` is the fill that caused
  // the change, or null.
  virtual void OnOrderChanged(ChangeType, const Order&, const Fill* /*fill*/) {}
  // A fill opened (`added`: the first position of this instrument in the account) or
  // changed a position.
  virtual void OnPositionChanged(const Account&, const Position&, bool /*added*/) {}
  // The account's summary changed (after every fill).
  virtual void OnAccountChanged(const Account&, const AccountSummary&) {}
};

}  // namespace mx::cqgcel::market
