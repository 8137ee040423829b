// Bars of a minute and of a day built from trades; roll-over; history look-back; the
// day's quotes.
#include <gtest/gtest.h>

#include <map>

#include "market_test_support.h"
#include "platform/cqgcel/market/bar_series.h"

namespace mx::cqgcel::market {
namespace {

using testing::Config;
using testing::Recorder;
using testing::Spec;

const SimTime k0930 = MakeTime(2024, 3, 4, 9, 30);

struct Trade {
  SimTime t;
  double price;
  int64_t volume;
};

TEST(MarketBars, SeriesBuildsOhlcvAndRollsAtThePeriodEnd) {
  struct Case {
    const char* label;
    int64_t period;
    std::vector<Trade> trades;
    std::vector<Bar> completed;  // after rolling at the last trade's time
    Bar forming;
  } cases[] = {
      {"one minute, four trades",
       kMicrosPerMinute,
       {{k0930 + 1, 10, 1},
        {k0930 + 2'000'000, 12, 2},
        {k0930 + 3'000'000, 9, 3},
        {k0930 + 59'999'999, 11, 4}},
       {},
       {k0930, 10, 12, 9, 11, 10, 4}},
      {"roll exactly at the minute",
       kMicrosPerMinute,
       {{k0930 + 30'000'000, 10, 1}, {k0930 + kMicrosPerMinute, 11, 1}},
       {{k0930, 10, 10, 10, 10, 1, 1}},
       {k0930 + kMicrosPerMinute, 11, 11, 11, 11, 1, 1}},
      {"empty minutes make no bars",
       kMicrosPerMinute,
       {{k0930, 10, 1}, {k0930 + 5 * kMicrosPerMinute + 7, 8, 2}},
       {{k0930, 10, 10, 10, 10, 1, 1}},
       {k0930 + 5 * kMicrosPerMinute, 8, 8, 8, 8, 2, 1}},
      {"day rolls at midnight",
       kMicrosPerDay,
       {{MakeTime(2024, 3, 4, 23, 59, 59), 5, 1}, {MakeTime(2024, 3, 5), 6, 1}},
       {{MakeTime(2024, 3, 4), 5, 5, 5, 5, 1, 1}},
       {MakeTime(2024, 3, 5), 6, 6, 6, 6, 1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    BarSeries s(c.period, 100);
    std::vector<Bar> completed;
    for (const auto& t : c.trades) {
      if (const Bar* b = s.Roll(t.t)) completed.push_back(*b);
      bool new_bar = false;
      s.AddTrade(t.t, t.price, t.volume, new_bar);
    }
    ASSERT_EQ(completed.size(), c.completed.size());
    for (size_t i = 0; i < completed.size(); ++i) {
      EXPECT_EQ(Recorder::BarText(completed[i]), Recorder::BarText(c.completed[i]));
    }
    ASSERT_TRUE(s.forming());
    EXPECT_EQ(Recorder::BarText(*s.forming()), Recorder::BarText(c.forming));
    EXPECT_EQ(s.forming()->tick_volume, c.forming.tick_volume);
  }
}

TEST(MarketBars, HistoryReturnsLastCompletedThenFormingAndHonoursTheCap) {
  BarSeries s(kMicrosPerMinute, 5);
  bool new_bar = false;
  for (int i = 0; i < 8; ++i) {
    const SimTime t = k0930 + i * kMicrosPerMinute;
    s.Roll(t);
    s.AddTrade(t, 100 + i, 1, new_bar);
    EXPECT_TRUE(new_bar);
  }
  s.AddTrade(k0930 + 7 * kMicrosPerMinute + 1, 50, 1, new_bar);
  EXPECT_FALSE(new_bar);
  struct Case {
    size_t n;
    std::vector<double> opens;
  } cases[] = {{0, {107}},
               {2, {105, 106, 107}},
               {5, {102, 103, 104, 105, 106, 107}},
               {50, {102, 103, 104, 105, 106, 107}}};  // 100 and 101 dropped by the cap
  for (const auto& c : cases) {
    std::vector<double> opens;
    for (const Bar& b : s.History(c.n)) opens.push_back(b.open);
    EXPECT_EQ(opens, c.opens) << c.n;
  }
}

// Through the market: the announced minute and day bars are exactly the aggregation of
// the announced trade ticks; every bar completes once, in time order.
TEST(MarketBars, MarketBarsAgreeWithItsTrades) {
  MarketConfig c = Config(21, 0);
  c.start_time = MakeTime(2024, 1, 2);
  Market m(c);
  Recorder r;
  r.keep_lines = false;
  m.SetListener(&r);
  InstrumentSpec s = Spec("F.US.EP");
  s.update_interval = 5 * kMicrosPerSecond;
  m.AddInstrument(s);
  m.Advance(m.Now() + 3 * kMicrosPerDay);

  std::map<SimTime, Bar> minutes, days;
  auto fold = [](std::map<SimTime, Bar>& bars, SimTime start, const Tick& t) {
    auto [it, fresh] =
        bars.try_emplace(start, Bar{start, t.price, t.price, t.price, t.price, 0, 0});
    Bar& b = it->second;
    b.high = std::max(b.high, t.price);
    b.low = std::min(b.low, t.price);
    b.close = t.price;
    b.volume += t.volume;
  };
  for (const Tick& t : r.ticks) {
    if (t.price_type != TickPriceType::Trade) continue;
    fold(minutes, PeriodStart(t.timestamp, kMicrosPerMinute), t);
    fold(days, PeriodStart(t.timestamp, kMicrosPerDay), t);
  }
  auto check = [](const std::vector<Bar>& completed, const std::map<SimTime, Bar>& expected,
                  size_t forming) {
    ASSERT_EQ(completed.size() + forming, expected.size());
    auto it = expected.begin();
    for (const Bar& b : completed) {
      EXPECT_EQ(Recorder::BarText(b), Recorder::BarText((it++)->second));
    }
  };
  // The clock stopped at a midnight: three whole days, and bars of the new day only if
  // the update due at midnight traded.
  const Instrument& ep = *m.FindInstrument("EP");
  const size_t forming = ep.bars(BarPeriod::Day).forming() ? 1 : 0;
  EXPECT_EQ(forming, ep.bars(BarPeriod::Minute).forming() ? 1u : 0u);
  check(r.completed_minutes, minutes, forming);
  ASSERT_EQ(r.completed_days.size(), 3u);
  check(r.completed_days, days, forming);
  EXPECT_GT(r.completed_minutes.size(), 3u * 1400);
}

TEST(MarketBars, BarCompletesWhenTheClockPassesItsEndWithoutAnotherTrade) {
  Market m(Config(4, 0));
  Recorder r;
  m.SetListener(&r);
  InstrumentSpec s = Spec("F.US.EP");
  s.trade_probability = 1.0;
  s.update_interval = 10 * kMicrosPerMinute;  // one trade per ten minutes
  m.AddInstrument(s);  // its first update (a trade) runs at the start time, silently
  m.Advance(m.Now() + kMicrosPerMinute - 1);
  EXPECT_TRUE(r.completed_minutes.empty());
  m.Advance(m.Now() + 1);
  ASSERT_EQ(r.completed_minutes.size(), 1u);
  EXPECT_EQ(r.completed_minutes[0].start, MakeTime(2024, 1, 2, 9, 30));
}

TEST(MarketBars, HistoryBeforeTheSessionAndDayQuotes) {
  MarketConfig c = Config(8, 3 * kMicrosPerDay);
  c.history_interval = 20 * kMicrosPerSecond;
  Market m(c);
  Recorder r;
  m.SetListener(&r);
  InstrumentSpec s = Spec("F.US.EP");
  s.update_interval = kMicrosPerSecond;
  m.AddInstrument(s);
  EXPECT_TRUE(r.lines.empty());  // the history is silent
  r.keep_lines = false;
  const Instrument& ep = *m.FindInstrument("EP");

  const auto minutes = m.BarHistory(ep, BarPeriod::Minute, 100);
  ASSERT_GE(minutes.size(), 100u);
  for (size_t i = 1; i < minutes.size(); ++i) ASSERT_LT(minutes[i - 1].start, minutes[i].start);
  EXPECT_LT(minutes.back().start, c.start_time + kMicrosPerMinute);
  const auto days = m.BarHistory(ep, BarPeriod::Day, 10);
  ASSERT_EQ(days.size(), 4u);  // three complete days and today's
  EXPECT_EQ(days[0].start, MakeTime(2023, 12, 30));
  EXPECT_EQ(days[3].start, MakeTime(2024, 1, 2));
  // Today's quotes come from today's trades; yesterday's settlement is yesterday's close.
  EXPECT_EQ(ep.yesterday_settlement(), days[2].close);
  EXPECT_EQ(ep.day_open(), days[3].open);
  EXPECT_EQ(ep.day_high(), days[3].high);
  EXPECT_EQ(ep.day_low(), days[3].low);

  // Into the next day: the first update announces the new settlement, then the new
  // day's open, high and low arrive with its first trade.
  m.Advance(MakeTime(2024, 1, 3) + kMicrosPerMinute);
  const double close = r.completed_days.at(0).close;
  const double open_price = m.BarHistory(ep, BarPeriod::Day, 0).at(0).open;
  bool settlement = false, open = false;
  for (const QuoteValue& q : r.quotes) {
    settlement |= q.type == QuoteType::YesterdaySettlement && q.price == close;
    open |= q.type == QuoteType::DayOpen && q.price == open_price;
  }
  EXPECT_TRUE(settlement);
  EXPECT_TRUE(open);
  EXPECT_EQ(ep.yesterday_settlement(), close);
  EXPECT_EQ(r.completed_days.at(0).start, MakeTime(2024, 1, 2));
}

}  // namespace
}  // namespace mx::cqgcel::market
