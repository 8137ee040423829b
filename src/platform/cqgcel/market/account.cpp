#include "platform/cqgcel/market/account.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace mx::cqgcel::market {

const Position* Account::FindPosition(std::string_view instrument_name) const {
  for (const Position& p : positions_) {
    if (p.instrument_name == instrument_name) return &p;
  }
  return nullptr;
}

int Account::FindSlot(uint32_t instrument_slot) const {
  for (size_t i = 0; i < held_.size(); ++i) {
    if (held_[i].instrument_slot == instrument_slot) return static_cast<int>(i);
  }
  return -1;
}

AccountSummary Account::Summary() const {
  AccountSummary s;
  s.balance = spec_.starting_balance + realized_pnl_;
  s.profit_loss = realized_pnl_;
  for (size_t i = 0; i < positions_.size(); ++i) {
    const double contracts = static_cast<double>(std::llabs(positions_[i].quantity));
    s.collaterals += contracts * held_[i].initial_margin;
    s.maintenance_margin += contracts * held_[i].maintenance_margin;
    s.upl += positions_[i].ote;
  }
  s.nlv = s.balance + s.upl;
  return s;
}

void Account::MarkPosition(Position& p, const Held& h, double mark) {
  p.mark_price = mark;
  p.ote = p.quantity == 0
              ? 0.0
              : (mark - p.average_price) * static_cast<double>(p.quantity) * h.multiplier;
}

Account::FillResult Account::ApplyFill(uint32_t instrument_slot, const InstrumentSpec& spec,
                                       Side side, int64_t quantity, double price, double mark) {
  int slot = FindSlot(instrument_slot);
  const bool added = slot < 0;
  if (added) {
    Position p;
    p.instrument_name = spec.full_name;
    positions_.push_back(std::move(p));
    held_.push_back(
        {instrument_slot, spec.multiplier, spec.initial_margin, spec.maintenance_margin});
    slot = static_cast<int>(positions_.size() - 1);
  }
  Position& p = positions_[static_cast<size_t>(slot)];
  const Held& h = held_[static_cast<size_t>(slot)];
  realized_pnl_ += Book(p, h, side, quantity, price);
  MarkPosition(p, h, mark);
  return {&p, added};
}

double Account::Book(Position& p, const Held& h, Side side, int64_t quantity, double price) {
  const int64_t delta = side == Side::Buy ? quantity : -quantity;
  const int64_t old = p.quantity;
  if (old == 0 || (old > 0) == (delta > 0)) {
    // Open or add: the average is the quantity-weighted mean of the open contracts.
    const double old_abs = static_cast<double>(std::llabs(old));
    p.average_price = (p.average_price * old_abs + price * static_cast<double>(quantity)) /
                      (old_abs + static_cast<double>(quantity));
    p.quantity = old + delta;
    return 0.0;
  }
  // Reduce, close or flip: realise the closed part against the average.
  const int64_t closed = std::min<int64_t>(std::llabs(old), quantity);
  const double direction = old > 0 ? 1.0 : -1.0;
  const double realized =
      (price - p.average_price) * static_cast<double>(closed) * direction * h.multiplier;
  p.realized_pnl += realized;
  p.quantity = old + delta;
  if (p.quantity == 0) {
    p.average_price = 0.0;
  } else if ((p.quantity > 0) != (old > 0)) {
    p.average_price = price;  // flipped: the rest opened at this fill
  }
  return realized;
}

const Position& Account::Rebook(uint32_t instrument_slot, const std::vector<Leg>& legs,
                                double mark) {
  const int slot = FindSlot(instrument_slot);
  if (slot < 0) throw std::logic_error("Rebook: the account holds no such position");
  Position& p = positions_[static_cast<size_t>(slot)];
  const Held& h = held_[static_cast<size_t>(slot)];
  realized_pnl_ -= p.realized_pnl;
  p.quantity = 0;
  p.average_price = 0.0;
  p.realized_pnl = 0.0;
  for (const Leg& leg : legs) realized_pnl_ += Book(p, h, leg.side, leg.quantity, leg.price);
  MarkPosition(p, h, mark);
  return p;
}

void Account::Mark(uint32_t instrument_slot, double mark) {
  const int slot = FindSlot(instrument_slot);
  if (slot >= 0)
    MarkPosition(positions_[static_cast<size_t>(slot)], held_[static_cast<size_t>(slot)], mark);
}

}  // namespace mx::cqgcel::market
