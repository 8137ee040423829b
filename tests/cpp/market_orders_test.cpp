// Order matching: statuses, fills at the touch, partial fills, resting limits, stops,
// cancels and rejects.
#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "market_test_support.h"

namespace mx::cqgcel::market {
namespace {

using testing::Config;
using testing::Recorder;
using testing::Spec;
using S = OrderStatus;

class MarketOrders : public ::testing::Test {
 protected:
  MarketOrders() : m_(Config(77, 0)) {
    m_.SetListener(&r_);
    m_.AddAccount({7, "paper", 100'000});
    InstrumentSpec s = Spec("F.US.EP");
    s.volatility = 0.05;  // moves enough for limits and stops to meet the market
    m_.AddInstrument(s);
    ep_ = m_.FindInstrument("F.US.EP");
  }
  const Order& Place(OrderType type, Side side, int64_t qty, double limit = 0, double stop = 0) {
    return m_.PlaceOrder({type, side, 7, "F.US.EP", qty, limit, stop});
  }
  // Steps until `done` holds (bounded); fails the test when it never does.
  template <typename F>
  void StepUntil(F done, int limit = 200'000) {
    for (int i = 0; i < limit; ++i) {
      if (done()) return;
      m_.Step();
    }
    FAIL() << "condition never met";
  }
  std::vector<Fill> FillsOf(const std::string& guid) const {
    std::vector<Fill> out;
    for (const auto& f : r_.fills) {
      if (f.order_guid == guid) out.push_back(f);
    }
    return out;
  }

  Market m_;
  Recorder r_;
  const Instrument* ep_;
};

TEST_F(MarketOrders, MarketOrderFillsAtTheTouchAtOnce) {
  for (Side side : {Side::Buy, Side::Sell}) {
    SCOPED_TRACE(CqgName(side));
    const Level1 book = ep_->book();
    const int64_t available = side == Side::Buy ? ep_->available_ask() : ep_->available_bid();
    ASSERT_GE(available, 1);
    const Order& o = Place(OrderType::Market, side, 1);
    EXPECT_EQ(r_.StatusesOf(o.guid), (std::vector<S>{S::InTransit, S::InOrderBook, S::Filled}));
    const auto fills = FillsOf(o.guid);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, side == Side::Buy ? book.ask_price : book.bid_price);
    EXPECT_EQ(fills[0].quantity, 1);
    EXPECT_EQ(fills[0].timestamp, m_.Now());
    EXPECT_EQ(o.average_fill_price, fills[0].price);
    EXPECT_EQ(o.filled_quantity, 1);
    EXPECT_EQ(o.server_timestamp, m_.Now());
    // The fill took displayed volume from this update only.
    EXPECT_EQ(side == Side::Buy ? ep_->available_ask() : ep_->available_bid(), available - 1);
    m_.Step();
  }
  // Announced in order: added (no fill), in book, then the fill with its position and
  // account changes.
  ASSERT_GE(r_.order_events.size(), 3u);
  EXPECT_EQ(r_.order_events[0].first, ChangeType::Added);
  EXPECT_EQ(r_.order_events[1].first, ChangeType::Changed);
}

TEST_F(MarketOrders, LargeOrderFillsOverStepsAtMostTheDisplayedVolume) {
  const int64_t qty = 150;
  std::vector<Level1> books{ep_->book()};
  const Order& o = Place(OrderType::Market, Side::Buy, qty);
  EXPECT_EQ(o.status, S::InOrderBook);
  EXPECT_EQ(o.filled_quantity, books[0].ask_volume);  // everything displayed, no more
  StepUntil([&] {
    books.push_back(ep_->book());
    return o.status == S::Filled;
  });
  const auto fills = FillsOf(o.guid);
  ASSERT_GT(fills.size(), 2u);
  int64_t total = 0;
  double notional = 0;
  SimTime last = 0;
  for (const auto& f : fills) {
    EXPECT_GT(f.timestamp, last);  // one fill per update
    last = f.timestamp;
    total += f.quantity;
    notional += f.price * static_cast<double>(f.quantity);
  }
  EXPECT_EQ(total, qty);
  EXPECT_NEAR(o.average_fill_price, notional / qty, 1e-9);
  // Every fill but the last took the whole displayed ask of its update.
  EXPECT_EQ(r_.StatusesOf(o.guid), (std::vector<S>{S::InTransit, S::InOrderBook, S::Filled}));
}

TEST_F(MarketOrders, OrdersShareTheDisplayedVolumeInTimePriority) {
  const int64_t ask_volume = ep_->available_ask();
  const Order& first = Place(OrderType::Market, Side::Buy, ask_volume);
  const Order& second = Place(OrderType::Market, Side::Buy, 1);
  EXPECT_EQ(first.status, S::Filled);
  EXPECT_EQ(second.status, S::InOrderBook);
  EXPECT_EQ(second.filled_quantity, 0);
  m_.Step();
  EXPECT_EQ(second.status, S::Filled);
}

TEST_F(MarketOrders, LimitRestsUntilTheMarketCrossesThenFillsAtTheTouch) {
  struct Case {
    const char* label;
    Side side;
    int ticks_away;  // behind the touch
  } cases[] = {{"buy below the ask", Side::Buy, 6}, {"sell above the bid", Side::Sell, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const double tick = ep_->spec().tick_size;
    const bool buy = c.side == Side::Buy;
    const double limit = buy ? ep_->book().ask_price - c.ticks_away * tick
                             : ep_->book().bid_price + c.ticks_away * tick;
    const Order& o = Place(OrderType::Limit, c.side, 1, limit);
    EXPECT_EQ(o.status, S::InOrderBook);
    bool crossed_before_fill = false;
    StepUntil([&] {
      const Level1 b = ep_->book();
      const bool crossed = buy ? b.ask_price <= limit : b.bid_price >= limit;
      if (o.status == S::Filled) return true;
      crossed_before_fill |= crossed;
      return false;
    });
    EXPECT_FALSE(crossed_before_fill);  // filled in the first update that crossed
    const auto fills = FillsOf(o.guid);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, buy ? ep_->book().ask_price : ep_->book().bid_price);
    EXPECT_TRUE(buy ? fills[0].price <= limit : fills[0].price >= limit);
  }
}

TEST_F(MarketOrders, MarketableLimitTradesAtTheTouchNotAtItsPrice) {
  const double ask = ep_->book().ask_price;
  const Order& o = Place(OrderType::Limit, Side::Buy, 1, ask + 10);
  EXPECT_EQ(o.status, S::Filled);
  EXPECT_EQ(o.average_fill_price, ask);
}

TEST_F(MarketOrders, StopTriggersOnATradeThroughItsPriceThenTradesAsMarket) {
  // Stops one tick beyond the last trade, many times over: some trigger on a trade
  // exactly at the stop, others on a trade that jumps past it.
  for (int round = 0; round < 40; ++round) {
    const Side side = round % 2 ? Side::Sell : Side::Buy;
    SCOPED_TRACE(std::string(CqgName(side)) + " round " + std::to_string(round));
    const bool buy = side == Side::Buy;
    const double stop = ep_->last_trade_price() + (buy ? 1 : -1) * ep_->spec().tick_size;
    const Order& o = Place(OrderType::Stop, side, 2, 0, stop);
    EXPECT_EQ(o.status, S::InOrderBook);
    EXPECT_EQ(o.filled_quantity, 0);
    // The first fill comes in the first update whose trade reached the stop.
    SimTime first_through = -1;
    StepUntil([&] {
      if (first_through < 0 && !r_.ticks.empty() &&
          r_.ticks.back().price_type == TickPriceType::Trade &&
          r_.ticks.back().timestamp == m_.Now() &&
          (buy ? ep_->last_trade_price() >= stop : ep_->last_trade_price() <= stop)) {
        first_through = m_.Now();
      }
      return o.filled_quantity > 0;
    });
    const auto fills = FillsOf(o.guid);
    ASSERT_FALSE(fills.empty());
    EXPECT_EQ(fills[0].timestamp, first_through);
    EXPECT_EQ(fills[0].price, buy ? ep_->book().ask_price : ep_->book().bid_price);
    StepUntil([&] { return o.status == S::Filled; });
  }
}

TEST_F(MarketOrders, CancelStopsAWorkingOrderAndKeepsItsFills) {
  // A resting limit far away, and a large market order partly filled.
  const Order& resting = Place(OrderType::Limit, Side::Buy, 3, ep_->book().bid_price - 200);
  const Order& partial = Place(OrderType::Market, Side::Sell, 500);
  ASSERT_GT(partial.filled_quantity, 0);
  m_.Step();
  const int64_t filled = partial.filled_quantity;
  ASSERT_LT(filled, 500);

  EXPECT_EQ(m_.CancelOrder(resting.guid), CancelResult::Canceled);
  EXPECT_EQ(m_.CancelOrder(partial.guid), CancelResult::Canceled);
  const size_t events = r_.order_events.size();
  EXPECT_EQ(m_.CancelOrder(partial.guid), CancelResult::NotWorking);
  EXPECT_EQ(m_.CancelOrder("no-such-guid"), CancelResult::UnknownOrder);
  EXPECT_EQ(r_.order_events.size(), events);  // refused cancels announce nothing

  const size_t fills = r_.fills.size();
  for (int i = 0; i < 200; ++i) m_.Step();
  EXPECT_EQ(r_.fills.size(), fills);
  EXPECT_EQ(partial.status, S::Canceled);
  EXPECT_EQ(partial.filled_quantity, filled);
  EXPECT_EQ(m_.FindAccount(7)->FindPosition("F.US.EP")->quantity, -filled);
  EXPECT_EQ(r_.StatusesOf(resting.guid),
            (std::vector<S>{S::InTransit, S::InOrderBook, S::Canceled}));

  const Order& done = Place(OrderType::Market, Side::Buy, 1);
  ASSERT_EQ(done.status, S::Filled);
  EXPECT_EQ(m_.CancelOrder(done.guid), CancelResult::NotWorking);
}

TEST_F(MarketOrders, RejectsCarryAReasonAndTouchNothing) {
  const double last = ep_->last_trade_price();
  struct Case {
    const char* label;
    OrderRequest request;
    std::string reason_starts;
  } cases[] = {
      {"zero quantity",
       {OrderType::Market, Side::Buy, 7, "EP", 0, 0, 0},
       "Quantity must be positive"},
      {"negative quantity",
       {OrderType::Limit, Side::Sell, 7, "EP", -2, last, 0},
       "Quantity must be positive"},
      {"limit price zero",
       {OrderType::Limit, Side::Buy, 7, "EP", 1, 0, 0},
       "Limit price must be positive"},
      {"limit price negative",
       {OrderType::Limit, Side::Sell, 7, "EP", 1, -5, 0},
       "Limit price must be positive"},
      {"buy stop at the market",
       {OrderType::Stop, Side::Buy, 7, "EP", 1, 0, last},
       "Buy stop price must be above the last trade"},
      {"buy stop below",
       {OrderType::Stop, Side::Buy, 7, "EP", 1, 0, last - 1},
       "Buy stop price must be above the last trade"},
      {"sell stop above",
       {OrderType::Stop, Side::Sell, 7, "EP", 1, 0, last + 1},
       "Sell stop price must be below the last trade"},
      {"unknown account", {OrderType::Market, Side::Buy, 8, "EP", 1, 0, 0}, "Unknown account 8"},
      {"unknown instrument",
       {OrderType::Market, Side::Buy, 7, "F.US.XX", 1, 0, 0},
       "Unknown instrument F.US.XX"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Order& o = m_.PlaceOrder(c.request);
    EXPECT_EQ(o.status, S::RejectGW);
    EXPECT_EQ(o.reject_reason.rfind(c.reason_starts, 0), 0u) << o.reject_reason;
    EXPECT_EQ(r_.StatusesOf(o.guid), (std::vector<S>{S::InTransit, S::RejectGW}));
    EXPECT_EQ(m_.FindOrder(o.guid), &o);
  }
  for (int i = 0; i < 100; ++i) m_.Step();
  EXPECT_TRUE(r_.fills.empty());
  EXPECT_EQ(r_.position_added + r_.position_changed + r_.account_changed, 0);
}

TEST_F(MarketOrders, GuidsAndFillIdsAreUnique) {
  std::set<std::string> guids, fill_ids;
  for (int i = 0; i < 300; ++i) {
    const Order& o = Place(OrderType::Market, i % 2 ? Side::Buy : Side::Sell, 1 + i % 40);
    EXPECT_TRUE(guids.insert(o.guid).second);
    EXPECT_EQ(o.guid.size(), 36u);
    m_.Step();
  }
  for (int i = 0; i < 100; ++i) m_.Step();
  ASSERT_GT(r_.fills.size(), 300u);
  for (const auto& f : r_.fills) {
    EXPECT_TRUE(fill_ids.insert(f.id).second) << f.id;
    EXPECT_EQ(f.status, FillStatus::Normal);
  }
  EXPECT_EQ(m_.fill_count(), r_.fills.size());
}

TEST_F(MarketOrders, ABustedOrCorrectedFillKeepsItsIdAndTheBooksFollowIt) {
  // Two buys and a sell: the bust and the correction must rebook the position and the
  // realised P&L from the fills that still count, not just undo the last one.
  const Order& a = Place(OrderType::Market, Side::Buy, 2);
  m_.Step();
  const Order& b = Place(OrderType::Market, Side::Buy, 1);
  m_.Step();
  const Order& c = Place(OrderType::Market, Side::Sell, 1);
  StepUntil(
      [&] { return a.status == S::Filled && b.status == S::Filled && c.status == S::Filled; });
  const std::string a_guid = a.guid, b_guid = b.guid;
  const Fill first_b = FillsOf(b_guid).front();
  const Account& account = *m_.FindAccount(7);

  struct Case {
    const char* label;
    std::string fill;
    std::optional<Market::Correction> correction;
  };
  // Rebooks expected from the fills that count, through the same arithmetic.
  auto expected = [&](const std::vector<Fill>& counting) {
    Account books({7, "x", 0});
    InstrumentSpec spec = ep_->spec();
    for (const Fill& f : counting) books.ApplyFill(0, spec, f.side, f.quantity, f.price, 0.0);
    return std::make_pair(books.positions().front().quantity, books.realized_pnl());
  };
  Case cases[] = {
      {"correct", first_b.id, Market::Correction{1, first_b.price + 2.0}},
      {"bust", FillsOf(a_guid).front().id, std::nullopt},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    r_.fills.clear();
    const Fill& amended = m_.AmendFill(k.fill, k.correction);
    EXPECT_EQ(amended.id, k.fill);
    EXPECT_EQ(amended.status, k.correction ? FillStatus::Modified : FillStatus::Busted);
    ASSERT_EQ(r_.fills.size(), 1u);  // announced once, carrying the amended fill
    EXPECT_EQ(r_.fills[0].id, k.fill);
    std::vector<Fill> counting;
    for (const Fill& f : m_.fills()) {
      if (f.status != FillStatus::Busted) counting.push_back(f);
    }
    const auto [quantity, realized] = expected(counting);
    EXPECT_EQ(account.positions().front().quantity, quantity);
    EXPECT_DOUBLE_EQ(account.realized_pnl(), realized);
  }
  const Order& busted = *m_.FindOrder(a_guid);
  EXPECT_EQ(busted.filled_quantity, 2 - FillsOf(a_guid).front().quantity);
  EXPECT_DOUBLE_EQ(m_.FindOrder(b_guid)->average_fill_price, first_b.price + 2.0);

  EXPECT_THROW(m_.AmendFill(cases[1].fill, std::nullopt), std::invalid_argument);  // busted
  EXPECT_THROW(m_.AmendFill("nope", std::nullopt), std::invalid_argument);
  EXPECT_THROW(m_.AmendFill(first_b.id, Market::Correction{2, 1.0}), std::invalid_argument);
  EXPECT_THROW(m_.AmendFill(first_b.id, Market::Correction{1, 0.0}), std::invalid_argument);
}

}  // namespace
}  // namespace mx::cqgcel::market
