// Account: a gateway account's positions and cash, kept from its fills.
//
// A position is per instrument, signed (long > 0, short < 0) with the average price of
// its open quantity. A fill that adds to it (or opens it) moves the average; a fill
// that reduces it books realised P&L on the closed part at (fill - average) * closed *
// multiplier and keeps the average; a fill that flips it closes the old side entirely
// and opens the rest at the fill price. OTE (open trade equity) is marked at the
// instrument's last trade. Positions stay in the account when flat (quantity 0), in
// the order they were first opened.
//
// Thread-safety: owned by a Market; see there.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/cqgcel/market/market_types.h"

namespace mx::cqgcel::market {

class StateWriter;
class StateReader;

class Account {
 public:
  explicit Account(const AccountSpec& spec) : spec_(spec) {}

  int64_t gw_account_id() const { return spec_.gw_account_id; }
  const std::string& name() const { return spec_.name; }
  double starting_balance() const { return spec_.starting_balance; }
  const std::deque<Position>& positions() const { return positions_; }
  // The position in `instrument_name`, or null when the account never held it.
  const Position* FindPosition(std::string_view instrument_name) const;
  double realized_pnl() const { return realized_pnl_; }
  AccountSummary Summary() const;

  struct FillResult {
    const Position* position;
    bool added;  // the first position of this instrument in the account
  };
  // Books a fill of `quantity` (> 0) at `price`, then marks the position at `mark`.
  // `instrument_slot` is the caller's dense index of the instrument.
  FillResult ApplyFill(uint32_t instrument_slot, const InstrumentSpec& spec, Side side,
                       int64_t quantity, double price, double mark);
  // Re-marks the position of `instrument_slot` (if any) at `mark`.
  void Mark(uint32_t instrument_slot, double mark);

  struct Leg {
    Side side;
    int64_t quantity;
    double price;
  };
  // Books the position of `instrument_slot` again from nothing with `legs` (the fills that
  // still count, in booking order), then marks it; its realised P&L is replaced. The
  // account must hold the position (a fill opened it).
  void Save(StateWriter& w) const;
  void Load(StateReader& r);

  const Position& Rebook(uint32_t instrument_slot, const std::vector<Leg>& legs, double mark);

 private:
  struct Held {
    uint32_t instrument_slot;
    double multiplier;
    double initial_margin;
    double maintenance_margin;
  };
  static void MarkPosition(Position& p, const Held& h, double mark);
  // A position and its holding in file order, for saving (const) and loading alike.
  template <class IO, class P, class H>
  static void PositionFields(IO& io, P& p, H& h);
  // One fill into `p`; returns the P&L it realised.
  static double Book(Position& p, const Held& h, Side side, int64_t quantity, double price);
  int FindSlot(uint32_t instrument_slot) const;

  AccountSpec spec_;
  std::deque<Position> positions_;  // stable addresses
  std::vector<Held> held_;          // parallel to positions_
  double realized_pnl_ = 0.0;
};

}  // namespace mx::cqgcel::market
