// Shared pieces of the market tests: a listener that records every announcement.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/cqgcel/market/market.h"

namespace mx::cqgcel::market::testing {

inline std::string Num(double v) {
  char b[40];
  std::snprintf(b, sizeof b, "%.10g", v);
  return b;
}

// Records announcements: a text line per event (for comparing whole runs) and the
// orders, fills and bars (for checking them).
struct Recorder : MarketListener {
  std::vector<std::string> lines;
  std::vector<Fill> fills;
  std::vector<std::pair<ChangeType, Order>> order_events;
  std::vector<Bar> completed_minutes, completed_days;
  std::vector<Tick> ticks;
  std::vector<QuoteValue> quotes;
  int position_added = 0, position_changed = 0, account_changed = 0;
  bool keep_lines = true;

  void Line(std::string s) {
    if (keep_lines) lines.push_back(std::move(s));
  }
  void OnQuotesChanged(const Instrument& i, std::span<const QuoteValue> q) override {
    std::string s = "Q " + i.full_name();
    for (const auto& v : q) {
      s += " " + std::string(CqgName(v.type)) + "=" + Num(v.price) + "x" + std::to_string(v.volume);
      quotes.push_back(v);
    }
    Line(std::move(s));
  }
  void OnTicksAdded(const Instrument& i, std::span<const Tick> t) override {
    std::string s = "T " + i.full_name();
    for (const auto& v : t) {
      s += " " + std::string(CqgName(v.price_type)) + "=" + Num(v.price) + "x" +
           std::to_string(v.volume) + "@" + std::to_string(v.timestamp);
      ticks.push_back(v);
    }
    Line(std::move(s));
  }
  static std::string BarText(const Bar& b) {
    return std::to_string(b.start) + " " + Num(b.open) + " " + Num(b.high) + " " + Num(b.low) +
           " " + Num(b.close) + " " + std::to_string(b.volume);
  }
  void OnBarCompleted(const Instrument& i, BarPeriod p, const Bar& b) override {
    (p == BarPeriod::Minute ? completed_minutes : completed_days).push_back(b);
    Line("BC " + i.full_name() + (p == BarPeriod::Minute ? " m " : " d ") + BarText(b));
  }
  void OnBarUpdated(const Instrument& i, BarPeriod p, const Bar& b, bool new_bar) override {
    Line("BU " + i.full_name() + (p == BarPeriod::Minute ? " m " : " d ") + BarText(b) +
         (new_bar ? " new" : ""));
  }
  void OnOrderChanged(ChangeType c, const Order& o, const Fill* f) override {
    order_events.emplace_back(c, o);
    std::string s = "O " + std::string(CqgName(c)) + " " + o.guid + " " +
                    std::string(CqgName(o.status)) + " " + std::to_string(o.filled_quantity) + " " +
                    Num(o.average_fill_price) + " " + o.reject_reason;
    if (f) {
      fills.push_back(*f);
      s += " fill " + f->id + " " + Num(f->price) + "x" + std::to_string(f->quantity);
    }
    Line(std::move(s));
  }
  void OnPositionChanged(const Account& a, const Position& p, bool added) override {
    (added ? position_added : position_changed) += 1;
    Line("P " + std::to_string(a.gw_account_id()) + " " + p.instrument_name + " " +
         std::to_string(p.quantity) + " " + Num(p.average_price) + " " + Num(p.ote) + " " +
         Num(p.realized_pnl) + (added ? " added" : ""));
  }
  void OnAccountChanged(const Account& a, const AccountSummary& s) override {
    ++account_changed;
    Line("A " + std::to_string(a.gw_account_id()) + " " + Num(s.balance) + " " + Num(s.nlv) + " " +
         Num(s.upl) + " " + Num(s.collaterals) + " " + Num(s.maintenance_margin));
  }

  // Statuses an order went through, in order.
  std::vector<OrderStatus> StatusesOf(const std::string& guid) const {
    std::vector<OrderStatus> out;
    for (const auto& [c, o] : order_events) {
      if (o.guid == guid && (out.empty() || out.back() != o.status)) out.push_back(o.status);
    }
    return out;
  }
};

inline InstrumentSpec Spec(std::string name, double tick = 0.25, double price = 4500.0,
                           double multiplier = 50.0) {
  InstrumentSpec s;
  s.full_name = std::move(name);
  s.tick_size = tick;
  s.start_price = price;
  s.multiplier = multiplier;
  return s;
}

inline MarketConfig Config(uint64_t seed, int64_t history = 0) {
  MarketConfig c;
  c.seed = seed;
  c.history = history;
  return c;
}

}  // namespace mx::cqgcel::market::testing
