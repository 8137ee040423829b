// Instrument: one simulated contract's market data. Its price walks randomly (a
// continuous walk, quoted at the nearest tick); every update draws a fresh level-1 book around it
// and, by chance, a trade at the bid or the ask. The day's open, high and low and yesterday's
// settlement (the last trade of the previous day) follow the trades; bars of a minute and of a day
// are built from them.
//
// The random stream of an instrument depends only on the market's seed and the
// instrument's full name, and its updates fall on a fixed schedule, so its data are the
// same whatever other instruments exist, whenever it is added and whatever orders trade
// against it (fills take displayed volume but do not move the price).
//
// Thread-safety: owned by a Market; see there.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/cqgcel/market/bar_series.h"
#include "platform/cqgcel/market/market_types.h"
#include "platform/cqgcel/market/random.h"

namespace mx::cqgcel::market {

struct MarketConfig;
class StateWriter;
class StateReader;

class Instrument {
 public:
  Instrument(const InstrumentSpec& spec, uint32_t index, const MarketConfig& config);

  const InstrumentSpec& spec() const { return spec_; }
  const std::string& full_name() const { return spec_.full_name; }
  std::string_view symbol() const { return ShortSymbol(spec_.full_name); }
  uint32_t index() const { return index_; }

  // Displayed level-1 book of the latest update.
  Level1 book() const;
  // Volume still available at the touch for orders in this update (display minus fills).
  int64_t available_bid() const { return available_bid_; }
  int64_t available_ask() const { return available_ask_; }
  // The latest trade (the start price before the first one).
  double last_trade_price() const { return Price(last_trade_ticks_); }
  int64_t last_trade_volume() const { return last_trade_volume_; }
  // Day values; 0 for open/high/low before the day's first trade.
  double day_open() const { return Price(day_open_ticks_); }
  double day_high() const { return Price(day_high_ticks_); }
  double day_low() const { return Price(day_low_ticks_); }
  double yesterday_settlement() const { return Price(yesterday_settlement_ticks_); }
  // Every quote that has a value now (what a new subscriber is shown first).
  std::vector<QuoteValue> QuoteSnapshot() const;

  const BarSeries& bars(BarPeriod p) const { return p == BarPeriod::Minute ? minute_ : daily_; }
  SimTime next_update() const { return next_update_; }

  double Price(int64_t ticks) const { return static_cast<double>(ticks) * spec_.tick_size; }
  int64_t bid_ticks() const { return bid_ticks_; }
  int64_t ask_ticks() const { return ask_ticks_; }
  int64_t last_trade_ticks() const { return last_trade_ticks_; }

  // Everything that moves (the random stream, the walk, the book, the day, the bars).
  void Save(StateWriter& w) const;
  void Load(StateReader& r);

 private:
  // The moving state in file order, for saving (const) and loading alike.
  template <class IO, class Self>
  static void MovingFields(IO& io, Self& self);
  friend class Market;

  // What one update produced; reused between updates (no allocation).
  struct Update {
    SimTime time = 0;
    std::array<QuoteValue, 7> quotes{};
    size_t quote_count = 0;
    std::array<Tick, 3> ticks{};
    size_t tick_count = 0;
    bool traded = false;
  };

  // Runs the update due at next_update() and schedules the following one.
  void RunUpdate(Update& out);
  void AddQuote(Update& out, QuoteType type, int64_t ticks, int64_t volume) const;
  // Takes `quantity` from the available volume of the side a `buy` order trades with.
  void TakeVolume(bool buy, int64_t quantity);

  InstrumentSpec spec_;
  uint32_t index_;
  Rng rng_;
  SimTime session_start_;
  int64_t history_interval_;
  SimTime next_update_;
  SimTime last_update_ = 0;
  bool updated_ = false;

  double walk_ticks_;    // the continuous walk, in ticks
  int64_t price_ticks_;  // its nearest tick: the bid of the book
  int64_t bid_ticks_ = 0, ask_ticks_ = 0;
  int64_t bid_volume_ = 0, ask_volume_ = 0;
  int64_t available_bid_ = 0, available_ask_ = 0;
  int64_t last_trade_ticks_;
  int64_t last_trade_volume_ = 0;
  SimTime current_day_ = 0;
  int64_t day_open_ticks_ = 0, day_high_ticks_ = 0, day_low_ticks_ = 0;
  int64_t yesterday_settlement_ticks_;

  BarSeries minute_;
  BarSeries daily_;
};

}  // namespace mx::cqgcel::market
