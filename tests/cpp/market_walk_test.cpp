// The market's random walk, clock and determinism.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>

#include "market_test_support.h"
#include "platform/cqgcel/market/random.h"

namespace mx::cqgcel::market {
namespace {

using testing::Config;
using testing::Recorder;
using testing::Spec;

std::vector<std::string> RunSession(uint64_t seed, const std::vector<std::string>& names,
                                    int64_t minutes) {
  Market m(Config(seed, kMicrosPerDay / 4));
  Recorder r;
  m.SetListener(&r);
  m.AddAccount({7, "acc", 100'000});
  for (const auto& n : names) m.AddInstrument(Spec(n));
  m.Advance(m.Now() + 30 * kMicrosPerSecond);
  m.PlaceOrder({OrderType::Market, Side::Buy, 7, "EP", 30, 0, 0});
  m.PlaceOrder({OrderType::Limit, Side::Sell, 7, "EP", 2,
                m.FindInstrument("EP")->book().ask_price + 1.0, 0});
  m.Advance(m.Now() + minutes * kMicrosPerMinute);
  return r.lines;
}

TEST(MarketWalk, SameSeedSameAnnouncementsOtherSeedOthers) {
  const auto a = RunSession(42, {"F.US.EP", "F.US.ENQ"}, 5);
  const auto b = RunSession(42, {"F.US.EP", "F.US.ENQ"}, 5);
  const auto c = RunSession(43, {"F.US.EP", "F.US.ENQ"}, 5);
  ASSERT_GT(a.size(), 1000u);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

// The mt19937_64 engine is fully specified: its 10000th output is fixed by the standard.
// The market's own shaping (Uniform, Below, Normal) is exact arithmetic on top of it, so
// these values are the same everywhere; a change here changes every seeded session.
TEST(MarketWalk, RandomStreamIsPinned) {
  std::mt19937_64 engine;
  engine.discard(9999);
  EXPECT_EQ(engine(), 9981545732273789042ull);

  Rng rng(5489u);
  EXPECT_EQ(rng.Uniform(), static_cast<double>(14514284786278117030ull >> 11) * 0x1.0p-53);
  double sum = 0, sum2 = 0;
  const int n = 200'000;
  for (int i = 0; i < n; ++i) {
    const double z = rng.Normal();
    ASSERT_LE(std::fabs(z), 6.0);
    sum += z;
    sum2 += z * z;
  }
  EXPECT_NEAR(sum / n, 0.0, 0.01);
  EXPECT_NEAR(sum2 / n, 1.0, 0.02);
  for (int i = 0; i < 1000; ++i) ASSERT_LT(rng.Below(3), 3u);
}

// An instrument's data depend only on the seed and its name: not on the other
// instruments, nor on when it was added.
TEST(MarketWalk, InstrumentStreamIndependentOfOthersAndOfWhenAdded) {
  auto minute_bars = [](Market& m) {
    return m.BarHistory(*m.FindInstrument("F.US.EP"), BarPeriod::Minute, 1000);
  };
  Market alone(Config(9, kMicrosPerDay));
  alone.AddInstrument(Spec("F.US.EP"));
  alone.Advance(alone.Now() + 20 * kMicrosPerMinute);

  Market late(Config(9, kMicrosPerDay));
  late.AddInstrument(Spec("F.US.ZB", 1.0 / 32, 120));
  late.Advance(late.Now() + 20 * kMicrosPerMinute);
  late.AddInstrument(Spec("F.US.EP"));

  const auto a = minute_bars(alone), b = minute_bars(late);
  ASSERT_GT(a.size(), 100u);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].start, b[i].start);
    EXPECT_EQ(a[i].close, b[i].close);
    EXPECT_EQ(a[i].volume, b[i].volume);
  }
  EXPECT_EQ(alone.FindInstrument("EP")->book().bid_price,
            late.FindInstrument("EP")->book().bid_price);
}

struct GridCase {
  const char* label;
  double tick, price, volatility;
  int64_t interval;
};

// Prices stay whole multiples of the tick and above zero, also for a wild, cheap
// instrument that the walk drives against the floor.
TEST(MarketWalk, PricesOnTickGridAndPositive) {
  const GridCase cases[] = {
      {"es quarter ticks", 0.25, 4500, 0.02, 250'000},
      {"bond 32nds", 1.0 / 32, 118.5, 0.01, 100'000},
      {"cent ticks", 0.01, 3.17, 0.5, 1'000'000},
      {"penny stock crash", 0.01, 0.05, 20.0, 60'000'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Market m(Config(3, 0));
    Recorder r;
    r.keep_lines = false;
    m.SetListener(&r);
    InstrumentSpec s = Spec("X.Y.Z", c.tick, c.price);
    s.volatility = c.volatility;
    s.update_interval = c.interval;
    m.AddInstrument(s);
    for (int i = 0; i < 20'000; ++i) m.Step();
    ASSERT_FALSE(r.ticks.empty());
    for (const auto& q : r.quotes) {
      const double n = q.price / c.tick;
      ASSERT_NEAR(n, std::round(n), 1e-6) << q.price;
      ASSERT_GT(q.price, 0.0);
    }
    const Level1 b = m.FindInstrument("Z")->book();
    EXPECT_LT(b.bid_price, b.ask_price);
    EXPECT_GT(b.bid_volume, 0);
    EXPECT_GT(b.ask_volume, 0);
  }
}

TEST(MarketWalk, VolatilityScalesTheMoves) {
  auto daily_range = [](double vol) {
    Market m(Config(11, 0));
    InstrumentSpec s = Spec("F.US.EP");
    s.volatility = vol;
    s.update_interval = kMicrosPerSecond;
    m.AddInstrument(s);
    double lo = 1e18, hi = 0;
    for (int i = 0; i < 86'400; ++i) {
      m.Step();
      lo = std::min(lo, m.FindInstrument("EP")->book().bid_price);
      hi = std::max(hi, m.FindInstrument("EP")->book().bid_price);
    }
    return hi - lo;
  };
  const double still = daily_range(0.0), calm = daily_range(0.005), wild = daily_range(0.05);
  EXPECT_EQ(still, 0.0);
  EXPECT_GT(calm, 0.0);
  EXPECT_GT(wild, 6 * calm);          // ten times the volatility, the same draws
  EXPECT_LT(calm, 4500 * 0.005 * 8);  // a day's range, not a random explosion
}

TEST(MarketWalk, ClockMovesOnlyWhenAskedAndTicksCarryScheduleTimes) {
  Market m(Config(1, 0));
  Recorder r;
  m.SetListener(&r);
  InstrumentSpec s = Spec("F.US.EP");
  s.update_interval = 500'000;
  m.AddInstrument(s);  // runs the update due now (silently): the book exists at once
  const SimTime t0 = m.Now();
  EXPECT_GT(m.FindInstrument("EP")->book().ask_volume, 0);
  EXPECT_EQ(m.NextUpdateTime(), t0 + 500'000);
  m.Advance(t0 - 1);  // backwards: nothing
  EXPECT_EQ(m.Now(), t0);
  EXPECT_TRUE(r.ticks.empty());
  m.Advance(t0 + 2 * kMicrosPerSecond);  // updates at .5, 1, 1.5, 2 s
  EXPECT_EQ(m.Now(), t0 + 2 * kMicrosPerSecond);
  EXPECT_EQ(m.NextUpdateTime(), t0 + 2'500'000);
  EXPECT_EQ(m.Step(), t0 + 2'500'000);
  std::set<SimTime> times;
  for (const auto& t : r.ticks) times.insert(t.timestamp);
  EXPECT_EQ(times, (std::set<SimTime>{t0 + 500'000, t0 + 1'000'000, t0 + 1'500'000, t0 + 2'000'000,
                                      t0 + 2'500'000}));
}

TEST(MarketWalk, CalendarRoundTrip) {
  struct Case {
    CalendarTime c;
  } cases[] = {{{1970, 1, 1, 0, 0, 0, 0}},
               {{2024, 2, 29, 23, 59, 59, 999'999}},
               {{2000, 3, 1, 12, 0, 0, 1}},
               {{1969, 12, 31, 23, 59, 59, 500'000}},
               {{2100, 12, 31, 0, 0, 0, 0}}};
  for (const auto& k : cases) {
    const CalendarTime back = ToCalendar(FromCalendar(k.c));
    EXPECT_EQ(
        std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second,
                 back.microsecond),
        std::tie(k.c.year, k.c.month, k.c.day, k.c.hour, k.c.minute, k.c.second, k.c.microsecond));
  }
  EXPECT_EQ(MakeTime(1970, 1, 2), kMicrosPerDay);
  EXPECT_EQ(PeriodStart(-1, kMicrosPerDay), -kMicrosPerDay);
}

TEST(MarketWalk, BadSpecsRefused) {
  Market m(Config(1, 0));
  m.AddInstrument(Spec("F.US.EP"));
  const std::pair<const char*, InstrumentSpec> bad[] = {
      {"empty name", Spec("")},
      {"duplicate name", Spec("F.US.EP")},
      {"duplicate symbol", Spec("F.EU.EP")},
      {"zero tick", Spec("A", 0.0)},
      {"negative price", Spec("B", 0.25, -1)},
  };
  for (const auto& [label, spec] : bad) {
    SCOPED_TRACE(label);
    EXPECT_THROW(m.AddInstrument(spec), std::invalid_argument);
  }
  InstrumentSpec no_rate = Spec("C");
  no_rate.update_interval = 0;
  EXPECT_THROW(m.AddInstrument(no_rate), std::invalid_argument);
  m.AddAccount({1, "a", 0});
  EXPECT_THROW(m.AddAccount({1, "b", 0}), std::invalid_argument);
}

}  // namespace
}  // namespace mx::cqgcel::market
