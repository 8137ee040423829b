#include "platform/cqgcel/market/instrument.h"

#include <algorithm>
#include <cmath>

#include "platform/cqgcel/market/market.h"

namespace mx::cqgcel::market {
namespace {

uint64_t StreamSeed(uint64_t seed, std::string_view name) {
  uint64_t state = seed ^ Fnv1a(name);
  return SplitMix64(state);
}

}  // namespace

Instrument::Instrument(const InstrumentSpec& spec, uint32_t index, const MarketConfig& config)
    : spec_(spec),
      index_(index),
      rng_(StreamSeed(config.seed, spec.full_name)),
      session_start_(config.start_time),
      history_interval_(config.history_interval),
      minute_(kMicrosPerMinute, config.max_minute_bars),
      daily_(kMicrosPerDay, config.max_daily_bars) {
  // History runs on its own (coarser) grid that ends exactly at the session start.
  next_update_ =
      config.history > 0 && config.history_interval > 0
          ? config.start_time - config.history / config.history_interval * config.history_interval
          : config.start_time;
  price_ticks_ = std::max<int64_t>(1, std::llround(spec.start_price / spec.tick_size));
  walk_ticks_ = static_cast<double>(price_ticks_);
  last_trade_ticks_ = price_ticks_;
  yesterday_settlement_ticks_ = price_ticks_;
  bid_ticks_ = price_ticks_;
  ask_ticks_ = price_ticks_ + 1;
}

Level1 Instrument::book() const {
  return {Price(bid_ticks_), bid_volume_, Price(ask_ticks_), ask_volume_};
}

std::vector<QuoteValue> Instrument::QuoteSnapshot() const {
  std::vector<QuoteValue> out;
  if (!updated_) return out;
  out.push_back({QuoteType::Bid, Price(bid_ticks_), bid_volume_});
  out.push_back({QuoteType::Ask, Price(ask_ticks_), ask_volume_});
  if (last_trade_volume_ > 0) {
    out.push_back({QuoteType::Trade, Price(last_trade_ticks_), last_trade_volume_});
  }
  if (day_open_ticks_ > 0) {
    out.push_back({QuoteType::DayOpen, Price(day_open_ticks_), 0});
    out.push_back({QuoteType::DayHigh, Price(day_high_ticks_), 0});
    out.push_back({QuoteType::DayLow, Price(day_low_ticks_), 0});
  }
  out.push_back({QuoteType::YesterdaySettlement, Price(yesterday_settlement_ticks_), 0});
  return out;
}

void Instrument::AddQuote(Update& out, QuoteType type, int64_t ticks, int64_t volume) const {
  out.quotes[out.quote_count++] = {type, Price(ticks), volume};
}

void Instrument::RunUpdate(Update& out) {
  const SimTime t = next_update_;
  const int64_t interval = t < session_start_ ? history_interval_ : spec_.update_interval;
  const int64_t dt = updated_ ? t - last_update_ : interval;
  out.time = t;
  out.quote_count = 0;
  out.tick_count = 0;
  out.traded = false;

  // Random walk of a continuous price, quoted at the nearest tick: the volatility holds
  // at any tick size, a quiet market keeps its quote for a while, and the quote never
  // falls below one tick.
  const double sigma =
      spec_.volatility * std::sqrt(static_cast<double>(dt) / static_cast<double>(kMicrosPerDay));
  walk_ticks_ = std::max(1.0, walk_ticks_ * (1.0 + sigma * rng_.Normal()));
  price_ticks_ = std::max<int64_t>(1, std::llround(walk_ticks_));

  const int64_t spread = rng_.Uniform() < 0.25 ? 2 : 1;
  const int64_t bid = price_ticks_, ask = price_ticks_ + spread;
  const int64_t max_book = std::max<int64_t>(spec_.max_book_volume, 1);
  const int64_t bid_volume = 1 + static_cast<int64_t>(rng_.Below(static_cast<uint64_t>(max_book)));
  const int64_t ask_volume = 1 + static_cast<int64_t>(rng_.Below(static_cast<uint64_t>(max_book)));
  const bool traded = rng_.Uniform() < spec_.trade_probability;
  int64_t trade_ticks = 0, trade_volume = 0;
  if (traded) {
    trade_ticks = rng_.Below(2) == 1 ? ask : bid;
    trade_volume = 1 + static_cast<int64_t>(rng_.Below(
                           static_cast<uint64_t>(std::max<int64_t>(spec_.max_trade_volume, 1))));
  }

  // A new day: yesterday's settlement is the previous day's last trade.
  const SimTime day = PeriodStart(t, kMicrosPerDay);
  const bool new_day = updated_ && day != current_day_;
  if (new_day) {
    yesterday_settlement_ticks_ = last_trade_ticks_;
    day_open_ticks_ = day_high_ticks_ = day_low_ticks_ = 0;
  }
  current_day_ = day;

  if (!updated_ || bid != bid_ticks_ || bid_volume != bid_volume_) {
    AddQuote(out, QuoteType::Bid, bid, bid_volume);
    out.ticks[out.tick_count++] = {TickPriceType::Bid, Price(bid), bid_volume, t};
  }
  if (!updated_ || ask != ask_ticks_ || ask_volume != ask_volume_) {
    AddQuote(out, QuoteType::Ask, ask, ask_volume);
    out.ticks[out.tick_count++] = {TickPriceType::Ask, Price(ask), ask_volume, t};
  }
  bid_ticks_ = bid;
  ask_ticks_ = ask;
  bid_volume_ = available_bid_ = bid_volume;
  ask_volume_ = available_ask_ = ask_volume;

  if (traded) {
    out.traded = true;
    last_trade_ticks_ = trade_ticks;
    last_trade_volume_ = trade_volume;
    AddQuote(out, QuoteType::Trade, trade_ticks, trade_volume);
    out.ticks[out.tick_count++] = {TickPriceType::Trade, Price(trade_ticks), trade_volume, t};
    if (day_open_ticks_ == 0) {
      day_open_ticks_ = day_high_ticks_ = day_low_ticks_ = trade_ticks;
      AddQuote(out, QuoteType::DayOpen, trade_ticks, 0);
      AddQuote(out, QuoteType::DayHigh, trade_ticks, 0);
      AddQuote(out, QuoteType::DayLow, trade_ticks, 0);
    } else if (trade_ticks > day_high_ticks_) {
      day_high_ticks_ = trade_ticks;
      AddQuote(out, QuoteType::DayHigh, trade_ticks, 0);
    } else if (trade_ticks < day_low_ticks_) {
      day_low_ticks_ = trade_ticks;
      AddQuote(out, QuoteType::DayLow, trade_ticks, 0);
    }
  }
  if (!updated_ || new_day) {
    AddQuote(out, QuoteType::YesterdaySettlement, yesterday_settlement_ticks_, 0);
  }

  updated_ = true;
  last_update_ = t;
  if (t < session_start_) {
    next_update_ = std::min(t + history_interval_, session_start_);
  } else {
    next_update_ = t + std::max<int64_t>(spec_.update_interval, 1);
  }
}

void Instrument::TakeVolume(bool buy, int64_t quantity) {
  (buy ? available_ask_ : available_bid_) -= quantity;
}

}  // namespace mx::cqgcel::market
