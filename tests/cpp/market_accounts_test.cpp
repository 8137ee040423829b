// Positions and account summaries kept from fills.
#include <gtest/gtest.h>

#include "market_test_support.h"

namespace mx::cqgcel::market {
namespace {

using testing::Config;
using testing::Recorder;
using testing::Spec;

struct FillStep {
  Side side;
  int64_t qty;
  double price;
};

struct PnlCase {
  const char* label;
  std::vector<FillStep> fills;
  double mark;
  int64_t quantity;
  double average, realized, ote;
};

TEST(MarketAccounts, PositionArithmetic) {
  const PnlCase cases[] = {
      {"open long", {{Side::Buy, 2, 100}}, 101, 2, 100, 0, 100},
      {"add at another price", {{Side::Buy, 2, 100}, {Side::Buy, 2, 102}}, 103, 4, 101, 0, 400},
      {"reduce keeps the average",
       {{Side::Buy, 4, 100}, {Side::Sell, 1, 104}},
       104,
       3,
       100,
       200,
       600},
      {"close at a loss", {{Side::Buy, 2, 100}, {Side::Sell, 2, 99}}, 120, 0, 0, -100, 0},
      {"flip long to short", {{Side::Buy, 2, 100}, {Side::Sell, 5, 106}}, 104, -3, 106, 600, 300},
      {"short add then reduce",
       {{Side::Sell, 3, 50}, {Side::Sell, 1, 54}, {Side::Buy, 2, 49}},
       52,
       -2,
       51,
       200,
       -100},
      {"flip short to long then close",
       {{Side::Sell, 1, 10}, {Side::Buy, 3, 12}, {Side::Sell, 2, 15}},
       15,
       0,
       0,
       -100 + 300,
       0},
      {"reopen after flat",
       {{Side::Buy, 1, 10}, {Side::Sell, 1, 11}, {Side::Sell, 2, 9}},
       8,
       -2,
       9,
       50,
       100},
  };
  InstrumentSpec spec = Spec("F.US.X", 0.25, 100, 50);
  spec.initial_margin = 1000;
  spec.maintenance_margin = 800;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Account a({1, "a", 10'000});
    Account::FillResult last{};
    for (size_t i = 0; i < c.fills.size(); ++i) {
      const auto& f = c.fills[i];
      last = a.ApplyFill(0, spec, f.side, f.qty, f.price, f.price);
      EXPECT_EQ(last.added, i == 0);
    }
    a.Mark(0, c.mark);
    const Position& p = *a.FindPosition("F.US.X");
    EXPECT_EQ(p.quantity, c.quantity);
    EXPECT_DOUBLE_EQ(p.average_price, c.average);
    EXPECT_DOUBLE_EQ(p.realized_pnl, c.realized);
    EXPECT_DOUBLE_EQ(p.ote, c.ote);
    EXPECT_EQ(p.side(), c.quantity < 0 ? Side::Sell : Side::Buy);

    const AccountSummary s = a.Summary();
    EXPECT_DOUBLE_EQ(s.balance, 10'000 + c.realized);
    EXPECT_DOUBLE_EQ(s.profit_loss, c.realized);
    EXPECT_DOUBLE_EQ(s.upl, c.ote);
    EXPECT_DOUBLE_EQ(s.nlv, 10'000 + c.realized + c.ote);
    EXPECT_DOUBLE_EQ(s.collaterals, 1000.0 * std::abs(c.quantity));
    EXPECT_DOUBLE_EQ(s.maintenance_margin, 800.0 * std::abs(c.quantity));
  }
}

TEST(MarketAccounts, SummaryAddsUpPositionsOfSeveralInstruments) {
  InstrumentSpec es = Spec("F.US.EP", 0.25, 4500, 50), zn = Spec("F.US.ZN", 1.0 / 64, 110, 1000);
  es.maintenance_margin = 12'000;
  zn.maintenance_margin = 2'000;
  Account a({1, "a", 500'000});
  a.ApplyFill(0, es, Side::Buy, 2, 4500, 4500);
  a.ApplyFill(1, zn, Side::Sell, 3, 110.5, 110.5);
  a.Mark(0, 4510);                                // +10 * 2 * 50 = 1000
  a.Mark(1, 110.25);                              // (110.25 - 110.5) * -3 * 1000 = 750
  a.ApplyFill(1, zn, Side::Buy, 1, 110, 110.25);  // realise (110 - 110.5) * 1 * -1 * 1000 = 500
  const AccountSummary s = a.Summary();
  EXPECT_DOUBLE_EQ(s.profit_loss, 500);
  EXPECT_DOUBLE_EQ(s.upl, 1000 + (110.25 - 110.5) * -2 * 1000);
  EXPECT_DOUBLE_EQ(s.maintenance_margin, 2 * 12'000 + 2 * 2'000);
  EXPECT_DOUBLE_EQ(s.nlv, s.balance + s.upl);
  ASSERT_EQ(a.positions().size(), 2u);
  EXPECT_EQ(a.positions()[0].instrument_name, "F.US.EP");  // in the order first opened
}

// Through the market: fills reach the position with their announcements, and the
// position is marked at every later trade without announcements.
TEST(MarketAccounts, FillsUpdatePositionsAndTradesMarkThem) {
  Market m(Config(5, 0));
  Recorder r;
  m.SetListener(&r);
  m.AddAccount({7, "paper", 50'000});
  m.AddAccount({8, "other", 1'000});
  m.AddInstrument(Spec("F.US.EP"));
  const Instrument& ep = *m.FindInstrument("EP");
  m.PlaceOrder({OrderType::Market, Side::Buy, 7, "EP", 1, 0, 0});
  EXPECT_EQ(r.position_added, 1);
  m.Step();
  m.PlaceOrder({OrderType::Market, Side::Buy, 7, "EP", 1, 0, 0});
  EXPECT_EQ(r.position_changed, 1);
  EXPECT_EQ(r.account_changed, 2);
  // Position then account follow the order change that carried the fill.
  ASSERT_GE(r.lines.size(), 3u);
  EXPECT_EQ(r.lines[r.lines.size() - 2].substr(0, 2), "P ");
  EXPECT_EQ(r.lines.back().substr(0, 2), "A ");

  const Position& p = *m.FindAccount(7)->FindPosition("F.US.EP");
  EXPECT_EQ(p.quantity, 2);
  ASSERT_EQ(r.fills.size(), 2u);
  const double average = (r.fills[0].price + r.fills[1].price) / 2;
  EXPECT_DOUBLE_EQ(p.average_price, average);
  const size_t announcements = r.lines.size();
  for (int i = 0; i < 500; ++i) m.Step();
  EXPECT_DOUBLE_EQ(p.mark_price, ep.last_trade_price());
  EXPECT_DOUBLE_EQ(p.ote, (ep.last_trade_price() - average) * 2 * 50);
  EXPECT_DOUBLE_EQ(m.FindAccount(7)->Summary().upl, p.ote);
  EXPECT_TRUE(m.FindAccount(8)->positions().empty());
  // Only market data were announced since: no position or account lines.
  for (size_t i = announcements; i < r.lines.size(); ++i) {
    ASSERT_NE(r.lines[i].substr(0, 2), "P ");
    ASSERT_NE(r.lines[i].substr(0, 2), "A ");
  }
}

}  // namespace
}  // namespace mx::cqgcel::market
