// Saving and loading the market's moving state (Market::Save / Load and the parts').
#include <string>

#include "platform/cqgcel/market/market.h"
#include "platform/cqgcel/market/state_io.h"

namespace mx::cqgcel::market {
namespace {

void SaveBar(StateWriter& w, const Bar& b) {
  w.Int(b.start).Double(b.open).Double(b.high).Double(b.low).Double(b.close);
  w.Int(b.volume).Int(b.tick_volume).Line();
}

Bar LoadBar(StateReader& r) {
  Bar b;
  b.start = r.Int();
  b.open = r.Double();
  b.high = r.Double();
  b.low = r.Double();
  b.close = r.Double();
  b.volume = r.Int();
  b.tick_volume = r.Int();
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

void Instrument::Save(StateWriter& w) const {
  w.Tag("instrument").Text(spec_.full_name).Line();
  w.Text(rng_.State()).Line();
  w.Int(next_update_).Int(last_update_).Bool(updated_).Double(walk_ticks_).Int(price_ticks_);
  w.Int(bid_ticks_).Int(ask_ticks_).Int(bid_volume_).Int(ask_volume_);
  w.Int(available_bid_).Int(available_ask_).Int(last_trade_ticks_).Int(last_trade_volume_);
  w.Int(current_day_).Int(day_open_ticks_).Int(day_high_ticks_).Int(day_low_ticks_);
  w.Int(yesterday_settlement_ticks_).Line();
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
  next_update_ = r.Int();
  last_update_ = r.Int();
  updated_ = r.Bool();
  walk_ticks_ = r.Double();
  price_ticks_ = r.Int();
  bid_ticks_ = r.Int();
  ask_ticks_ = r.Int();
  bid_volume_ = r.Int();
  ask_volume_ = r.Int();
  available_bid_ = r.Int();
  available_ask_ = r.Int();
  last_trade_ticks_ = r.Int();
  last_trade_volume_ = r.Int();
  current_day_ = r.Int();
  day_open_ticks_ = r.Int();
  day_high_ticks_ = r.Int();
  day_low_ticks_ = r.Int();
  yesterday_settlement_ticks_ = r.Int();
  minute_.Load(r);
  daily_.Load(r);
}

void Account::Save(StateWriter& w) const {
  w.Tag("account").Int(spec_.gw_account_id).Double(realized_pnl_);
  w.Int(static_cast<int64_t>(positions_.size())).Line();
  for (size_t i = 0; i < positions_.size(); ++i) {
    const Position& p = positions_[i];
    const Held& h = held_[i];
    w.Text(p.instrument_name).Int(p.quantity).Double(p.average_price).Double(p.ote);
    w.Double(p.realized_pnl).Double(p.mark_price);
    w.UInt(h.instrument_slot).Double(h.multiplier).Double(h.initial_margin);
    w.Double(h.maintenance_margin).Line();
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
    p.instrument_name = r.Text();
    p.quantity = r.Int();
    p.average_price = r.Double();
    p.ote = r.Double();
    p.realized_pnl = r.Double();
    p.mark_price = r.Double();
    Held h;
    h.instrument_slot = static_cast<uint32_t>(r.UInt());
    h.multiplier = r.Double();
    h.initial_margin = r.Double();
    h.maintenance_margin = r.Double();
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
    w.Text(o.guid).Int(o.gw_account_id).Text(o.instrument).Int(static_cast<int>(o.type));
    w.Int(static_cast<int>(o.side)).Int(o.quantity).Double(o.limit_price).Double(o.stop_price);
    w.Int(static_cast<int>(o.status)).Int(o.filled_quantity).Double(o.average_fill_price);
    w.Int(o.placed_time).Int(o.server_timestamp).Text(o.reject_reason).Int(o.fill_count).Line();
  }
  w.Tag("fills").Int(static_cast<int64_t>(fills_.size())).Line();
  for (const Fill& f : fills_) {
    w.Text(f.id).Text(f.order_guid).Double(f.price).Int(f.quantity);
    w.Int(static_cast<int>(f.side)).Int(f.timestamp).Int(static_cast<int>(f.status)).Line();
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
    o.guid = r.Text();
    o.gw_account_id = r.Int();
    o.instrument = r.Text();
    o.type = LoadEnum<OrderType>(r, 3, "order type");
    o.side = LoadEnum<Side>(r, 2, "side");
    o.quantity = r.Int();
    o.limit_price = r.Double();
    o.stop_price = r.Double();
    o.status = LoadEnum<OrderStatus>(r, 5, "order status");
    o.filled_quantity = r.Int();
    o.average_fill_price = r.Double();
    o.placed_time = r.Int();
    o.server_timestamp = r.Int();
    o.reject_reason = r.Text();
    o.fill_count = static_cast<int>(r.Int());
    order_index_.emplace(o.guid, i);
  }
  r.Tag("fills");
  const size_t fill_count = r.Count();
  fills_.clear();
  fill_index_.clear();
  for (size_t i = 0; i < fill_count; ++i) {
    Fill& f = fills_.emplace_back();
    f.id = r.Text();
    f.order_guid = r.Text();
    f.price = r.Double();
    f.quantity = r.Int();
    f.side = LoadEnum<Side>(r, 2, "side");
    f.timestamp = r.Int();
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
