// A long random session: every order ends in exactly one final state, fills add up to
// the orders and to the positions, and the accounts' P&L agrees with the cash flows.
#include <gtest/gtest.h>

#include <map>

#include "market_test_support.h"
#include "platform/cqgcel/market/random.h"

namespace mx::cqgcel::market {
namespace {

using testing::Config;
using testing::Recorder;
using testing::Spec;

TEST(MarketSession, LongRandomSessionKeepsItsBooks) {
  MarketConfig config = Config(2024, kMicrosPerDay / 2);
  Market m(config);
  Recorder r;
  r.keep_lines = false;
  m.SetListener(&r);
  m.AddAccount({1, "one", 1'000'000});
  m.AddAccount({2, "two", 250'000});
  InstrumentSpec specs[] = {Spec("F.US.EP", 0.25, 4500, 50), Spec("F.US.ZN", 1.0 / 64, 110, 1000),
                            Spec("F.US.CL", 0.01, 75, 1000)};
  specs[2].volatility = 0.04;
  specs[1].update_interval = 400'000;
  for (auto& s : specs) {
    s.maintenance_margin = 5000;
    m.AddInstrument(s);
  }

  Rng dice(99);
  std::vector<std::string> guids;
  const char* names[] = {"EP", "ZN", "CL", "NOPE"};
  for (int round = 0; round < 6000; ++round) {
    const int action = static_cast<int>(dice.Below(10));
    if (action < 4) {
      OrderRequest q;
      q.type = static_cast<OrderType>(dice.Below(3));
      q.side = dice.Below(2) ? Side::Buy : Side::Sell;
      q.gw_account_id = 1 + static_cast<int64_t>(dice.Below(20) == 0 ? 5 : dice.Below(2));
      q.instrument = names[dice.Below(20) == 0 ? 3 : dice.Below(3)];
      q.quantity = static_cast<int64_t>(dice.Below(60)) - 2;
      const Instrument* i = m.FindInstrument(q.instrument);
      const double last = i ? i->last_trade_price() : 100;
      const double tick = i ? i->spec().tick_size : 1;
      const double offset = (static_cast<double>(dice.Below(21)) - 10) * tick;
      q.limit_price = last + offset;
      q.stop_price = last + offset;
      guids.push_back(m.PlaceOrder(q).guid);
    } else if (action < 6 && !guids.empty()) {
      m.CancelOrder(guids[dice.Below(guids.size())]);
    } else {
      m.Advance(m.Now() + static_cast<int64_t>(dice.Below(3 * kMicrosPerSecond)));
    }
  }
  for (const auto& g : guids) m.CancelOrder(g);
  m.Advance(m.Now() + kMicrosPerMinute);

  // Each order: added once (InTransit), exactly one final status, as its last event.
  std::map<std::string, std::vector<const Order*>> events;
  for (const auto& [change, o] : r.order_events) events[o.guid].push_back(&o);
  ASSERT_EQ(events.size(), guids.size());
  std::map<std::string, int> finals_by_status;
  for (const auto& g : guids) {
    const auto& e = events[g];
    ASSERT_GE(e.size(), 2u);
    EXPECT_EQ(e.front()->status, OrderStatus::InTransit);
    int finals = 0;
    for (const Order* o : e) finals += IsFinal(o->status);
    EXPECT_EQ(finals, 1) << g;
    EXPECT_TRUE(IsFinal(e.back()->status));
    EXPECT_EQ(m.FindOrder(g)->status, e.back()->status);
    ++finals_by_status[std::string(CqgName(e.back()->status))];
  }
  // The session exercised every ending.
  EXPECT_GT(finals_by_status["osFilled"], 100);
  EXPECT_GT(finals_by_status["osCanceled"], 100);
  EXPECT_GT(finals_by_status["osRejectGW"], 100);

  // Fills against orders, positions and cash.
  std::map<std::string, int64_t> filled_by_order;
  std::map<std::pair<int64_t, std::string>, int64_t> net;  // (account, instrument)
  std::map<std::pair<int64_t, std::string>, double> cash;
  for (const Fill& f : r.fills) {
    const Order& o = *m.FindOrder(f.order_guid);
    filled_by_order[f.order_guid] += f.quantity;
    const int64_t signed_qty = f.side == Side::Buy ? f.quantity : -f.quantity;
    const auto key = std::make_pair(o.gw_account_id, o.instrument);
    net[key] += signed_qty;
    cash[key] -= static_cast<double>(signed_qty) * f.price *
                 m.FindInstrument(o.instrument)->spec().multiplier;
  }
  for (const Order& o : m.orders()) {
    EXPECT_EQ(o.filled_quantity, filled_by_order[o.guid]);
    EXPECT_LE(o.filled_quantity, std::max<int64_t>(o.quantity, 0));
  }
  for (const auto& a : m.accounts()) {
    double realized = 0;
    for (const Position& p : a->positions()) {
      const auto key = std::make_pair(a->gw_account_id(), p.instrument_name);
      EXPECT_EQ(p.quantity, net[key]) << p.instrument_name;
      // Realised plus open equity equals the cash flow plus the marked open quantity.
      const double mult = m.FindInstrument(p.instrument_name)->spec().multiplier;
      const double expected = cash[key] + static_cast<double>(p.quantity) * p.mark_price * mult;
      EXPECT_NEAR(p.realized_pnl + p.ote, expected, 1e-6 * (1 + std::abs(expected)));
      realized += p.realized_pnl;
    }
    const AccountSummary s = a->Summary();
    EXPECT_NEAR(s.profit_loss, realized, 1e-6 * (1 + std::abs(realized)));
    EXPECT_DOUBLE_EQ(s.balance, a->starting_balance() + s.profit_loss);
    EXPECT_DOUBLE_EQ(s.nlv, s.balance + s.upl);
  }
  for (const auto& [key, qty] : net) {
    const Position* p = m.FindAccount(key.first)->FindPosition(key.second);
    ASSERT_NE(p, nullptr);
  }
}

}  // namespace
}  // namespace mx::cqgcel::market
