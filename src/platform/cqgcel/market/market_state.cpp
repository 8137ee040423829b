// Saving and loading the market's moving state (Market::Save / Load and the parts').
#include <string>

#include "platform/cqgcel/market/market.h"
#include "platform/cqgcel/market/state_io.h"

namespace mx::cqgcel::market {
namespace {

// A bar's fields in file order, for writing (const Bar) and reading alike.
template <class IO, class B>
void BarFields(IO& io, B& b) {
  io.Fields(b.start, b.open, b.high, b.low, b.close, b.volume, b.tick_volume);
}

void SaveBar(StateWriter& w, const Bar& b) {
  BarFields(w, b);
  w.Line();
}

Bar LoadBar(StateReader& r) {
  Bar b;
  BarFields(r, b);
  return b;
}

template <class Enum>
Enum LoadEnum(StateReader& r, int count, const char* what) {
  const int64_t v = r.Int();
  if (v < 0 || v >= count) throw StateError(std::string("bad ") + what + " " + std::to_string(v));
  return static_cast<Enum>(v);
}

}  // namespace

void BarSeries::Save(StateWriter& w) const {
  w.Tag("bars").Int(period_).Int(static_cast<int64_t>(completed_.size())).Line();
  for (const Bar& b : completed_) SaveBar(w, b);
  w.Bool(forming_.has_value());
  if (forming_) SaveBar(w, *forming_);
}

void BarSeries::Load(StateReader& r) {
  r.Tag("bars");
  if (r.Int() != period_) throw StateError("bars of another period");
  const size_t n = r.Count();
  completed_.clear();
  for (size_t i = 0; i < n; ++i) completed_.push_back(LoadBar(r));
  while (completed_.size() > max_completed_) completed_.pop_front();
  forming_.reset();
  if (r.Bool()) forming_ = LoadBar(r);
}

template <class IO, class Self>
void Instrument::MovingFields(IO& io, Self& s) {
  io.Fields(s.next_update_, s.last_update_, s.updated_, s.walk_ticks_, s.price_ticks_, s.bid_ticks_,
            s.ask_ticks_, s.bid_volume_, s.ask_volume_, s.available_bid_, s.available_ask_,
            s.last_trade_ticks_, s.last_trade_volume_, s.current_day_, s.day_open_ticks_,
            s.day_high_ticks_, s.day_low_ticks_, s.yesterday_settlement_ticks_);
}

void Instrument::Save(StateWriter& w) const {
  w.Tag("instrument").Text(spec_.full_name).Line();
  w.Text(rng_.State()).Line();
  MovingFields(w, *this);
  w.Line();
  minute_.Save(w);
  daily_.Save(w);
}

void Instrument::Load(StateReader& r) {
  r.Tag("instrument");
  const std::string name = r.Text();
  if (name != spec_.full_name) {
    throw StateError("the state is of instrument " + name + ", the market has " + spec_.full_name);
  }
  if (!rng_.SetState(r.Text())) throw StateError("a random stream is not readable");
  MovingFields(r, *this);
  minute_.Load(r);
  daily_.Load(r);
}

template <class IO, class P, class H>
void Account::PositionFields(IO& io, P& p, H& h) {
  io.Fields(p.instrument_name, p.quantity, p.average_price, p.ote, p.realized_pnl, p.mark_price,
            h.instrument_slot, h.multiplier, h.initial_margin, h.maintenance_margin);
}

void Account::Save(StateWriter& w) const {
  w.Tag("account").Int(spec_.gw_account_id).Double(realized_pnl_);
  w.Int(static_cast<int64_t>(positions_.size())).Line();
  for (size_t i = 0; i < positions_.size(); ++i) {
    PositionFields(w, positions_[i], held_[i]);
    w.Line();
  }
}

void Account::Load(StateReader& r) {
  r.Tag("account");
  const int64_t id = r.Int();
  if (id != spec_.gw_account_id) {
    throw StateError("the state is of account " + std::to_string(id) + ", the market has " +
                     std::to_string(spec_.gw_account_id));
  }
  realized_pnl_ = r.Double();
  const size_t n = r.Count();
  positions_.clear();
  held_.clear();
  for (size_t i = 0; i < n; ++i) {
    Position p;
    Held h;
    PositionFields(r, p, h);
    positions_.push_back(std::move(p));
    held_.push_back(h);
  }
}

void Market::Save(StateWriter& w) const {
  w.Tag("market").UInt(config_.seed).Int(now_).UInt(fill_sequence_).Line();
  w.Text(id_rng_.State()).Line();
  w.Int(static_cast<int64_t>(instruments_.size())).Line();
  for (const auto& i : instruments_) i->Save(w);
  w.Int(static_cast<int64_t>(accounts_.size())).Line();
  for (const auto& a : accounts_) a->Save(w);
  w.Tag("orders").Int(static_cast<int64_t>(orders_.size())).Line();
  for (const Order& o : orders_) {
    w.Fields(o.guid, o.gw_account_id, o.instrument, static_cast<int>(o.type),
             static_cast<int>(o.side), o.quantity, o.limit_price, o.stop_price,
             static_cast<int>(o.status), o.filled_quantity, o.average_fill_price, o.placed_time,
             o.server_timestamp, o.reject_reason, o.fill_count);
    w.Line();
  }
  w.Tag("fills").Int(static_cast<int64_t>(fills_.size())).Line();
  for (const Fill& f : fills_) {
    w.Fields(f.id, f.order_guid, f.price, f.quantity, static_cast<int>(f.side), f.timestamp,
             static_cast<int>(f.status));
    w.Line();
  }
  w.Tag("book");
  for (const Slot& slot : slots_) {
    w.Int(static_cast<int64_t>(slot.working.size()));
    for (const Working& k : slot.working) {
      w.UInt(k.order).Int(k.limit_ticks).Int(k.stop_ticks).Bool(k.triggered);
    }
    w.Int(static_cast<int64_t>(slot.holders.size()));
    for (size_t h : slot.holders) w.UInt(h);
    w.Line();
  }
  w.Tag("end").Line();
}

void Market::Load(StateReader& r) {
  r.Tag("market");
  const uint64_t seed = r.UInt();
  if (seed != config_.seed) {
    throw StateError("the state is of a market with seed " + std::to_string(seed) +
                     ", this market's seed is " + std::to_string(config_.seed));
  }
  now_ = r.Int();
  fill_sequence_ = r.UInt();
  if (!id_rng_.SetState(r.Text())) throw StateError("a random stream is not readable");
  if (r.Count() != instruments_.size()) {
    throw StateError("the state has another number of instruments than the market");
  }
  for (const auto& i : instruments_) i->Load(r);
  if (r.Count() != accounts_.size()) {
    throw StateError("the state has another number of accounts than the market");
  }
  for (const auto& a : accounts_) a->Load(r);

  r.Tag("orders");
  const size_t order_count = r.Count();
  orders_.clear();
  order_index_.clear();
  for (size_t i = 0; i < order_count; ++i) {
    Order& o = orders_.emplace_back();
    r.Fields(o.guid, o.gw_account_id, o.instrument);
    o.type = LoadEnum<OrderType>(r, 3, "order type");
    o.side = LoadEnum<Side>(r, 2, "side");
    r.Fields(o.quantity, o.limit_price, o.stop_price);
    o.status = LoadEnum<OrderStatus>(r, 5, "order status");
    r.Fields(o.filled_quantity, o.average_fill_price, o.placed_time, o.server_timestamp,
             o.reject_reason, o.fill_count);
    order_index_.emplace(o.guid, i);
  }
  r.Tag("fills");
  const size_t fill_count = r.Count();
  fills_.clear();
  fill_index_.clear();
  for (size_t i = 0; i < fill_count; ++i) {
    Fill& f = fills_.emplace_back();
    r.Fields(f.id, f.order_guid, f.price, f.quantity);
    f.side = LoadEnum<Side>(r, 2, "side");
    r.Fields(f.timestamp);
    f.status = LoadEnum<FillStatus>(r, 3, "fill status");
    if (!order_index_.count(f.order_guid)) throw StateError("a fill of an unknown order");
    fill_index_.emplace(f.id, i);
  }
  r.Tag("book");
  for (Slot& slot : slots_) {
    slot.working.clear();
    slot.holders.clear();
    const size_t working = r.Count();
    for (size_t k = 0; k < working; ++k) {
      Working w{static_cast<size_t>(r.UInt()), r.Int(), r.Int(), r.Bool()};
      if (w.order >= orders_.size()) throw StateError("a working order out of range");
      slot.working.push_back(w);
    }
    const size_t holders = r.Count();
    for (size_t k = 0; k < holders; ++k) {
      const auto h = static_cast<size_t>(r.UInt());
      if (h >= accounts_.size()) throw StateError("a position holder out of range");
      slot.holders.push_back(h);
    }
  }
  r.Tag("end");
}

}  // namespace mx::cqgcel::market
