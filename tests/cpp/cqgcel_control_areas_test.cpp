// The plain C++ behind the simulator's control functions: answers named by mode, market
// settings from named values, connection names, accounts and orders set from plain rows,
// collections, the saved-state field lists and the civil-date arithmetic.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "com_test_support.h"
#include "platform/civil_date.h"
#include "platform/com/com.h"
#include "platform/com/com_error.h"
#include "platform/com/marshal.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/market/state_io.h"
#include "platform/cqgcel/script.h"
#include "platform/cqgcel/sim_accounts.h"
#include "platform/cqgcel/sim_connection.h"
#include "platform/cqgcel/sim_market_settings.h"
#include "platform/cqgcel/sim_orders.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {
namespace {

using com::Variant;
using namespace std::chrono_literals;

// The message of the std::invalid_argument `f` throws ("" when it throws none).
template <class F>
std::string Refusal(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(AnswerFromMode, NamesEachModeAndRefusesBadModesAndDelays) {
  using M = Answer::Mode;
  struct Case {
    const char* mode;
    double delay;
    M expected;
    int64_t micros;
  } cases[] = {
      {"succeed", 0.25, M::kSucceed, 250'000},
      {"fail", 0.001, M::kFail, 1'000},
      {"fail_without_error", 0.5, M::kFailWithoutError, 500'000},
      {"hold", 3.0, M::kHold, 0},  // a held answer waits for release, not a delay
      {"raise", 0.0, M::kRaise, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    Answer a = Answer::FromMode(c.mode, c.delay, 7, "why");
    EXPECT_EQ(a.mode, c.expected);
    EXPECT_EQ(a.delay.count(), c.micros);
  }
  EXPECT_EQ(Answer::FromMode("fail", 0, 7, "why").code, 7);
  EXPECT_EQ(Answer::FromMode("fail_without_error", 0, 0, "why").description, "why");

  struct Bad {
    const char* mode;
    double delay;
    const char* text;
  } bad[] = {
      {"succeed", -1.0, "delay must be a finite number >= 0"},
      {"succeed", std::nan(""), "delay must be a finite number >= 0"},
      {"fail", INFINITY, "delay must be a finite number >= 0"},
      {"raise", 0.5, "a raised failure has no delay"},
      {"Succeed", 0.0,
       "mode must be 'succeed', 'fail', 'fail_without_error', 'hold' or 'raise', not 'Succeed'"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.mode);
    EXPECT_EQ(Refusal([&] { Answer::FromMode(b.mode, b.delay, 0, ""); }), b.text);
  }
  // A raise refuses any delay, even one shorter than a microsecond.
  EXPECT_EQ(Refusal([] { Answer::FromMode("raise", 1e-9, 0, ""); }),
            "a raised failure has no delay");
  // The same with the delay as a duration (the COM server's control exports).
  EXPECT_EQ(Answer::FromMode("fail", std::chrono::milliseconds(7), 1, "").delay.count(), 7'000);
  EXPECT_EQ(Refusal([] { Answer::FromMode("raise", std::chrono::milliseconds(1), 0, ""); }),
            "a raised failure has no delay");
  EXPECT_EQ(Refusal([] { Answer::FromMode("succeed", std::chrono::microseconds(-1), 0, ""); }),
            "delay must be a finite number >= 0");
}

// Named settings held in a map, as a caller would give them.
class MapSource : public SettingSource {
 public:
  using Value = std::variant<double, int64_t, std::string>;
  explicit MapSource(std::vector<std::pair<std::string, Value>> values)
      : values_(std::move(values)) {}
  std::vector<std::string> Names() const override {
    std::vector<std::string> out;
    for (const auto& [name, v] : values_) out.push_back(name);
    return out;
  }
  bool Has(const char* name) const override { return Find(name) != nullptr; }
  double Number(const char* name) const override {
    const Value* v = Find(name);
    return std::holds_alternative<int64_t>(*v) ? static_cast<double>(std::get<int64_t>(*v))
                                               : std::get<double>(*v);
  }
  int64_t Whole(const char* name) const override { return std::get<int64_t>(*Find(name)); }
  std::string Text(const char* name) const override { return std::get<std::string>(*Find(name)); }

 private:
  const Value* Find(const std::string& name) const {
    for (const auto& [n, v] : values_) {
      if (n == name) return &v;
    }
    return nullptr;
  }
  std::vector<std::pair<std::string, Value>> values_;
};

TEST(MarketSettingsFromValues, IntervalsAndDefaultsFollowTheRequest) {
  MarketRequest request;
  request.seed = 9;
  request.start_time = {2024, 3, 4, 9, 30, 0, 0};
  request.history_days = 0.5;
  auto start = StartMarketSettings(request);
  EXPECT_EQ(start.update_interval, 250'000);
  EXPECT_EQ(start.settings.config.seed, 9u);
  EXPECT_EQ(start.settings.config.history, 12 * 3600 * market::kMicrosPerSecond);
  EXPECT_EQ(start.settings.config.start_time, market::MakeTime(2024, 3, 4, 9, 30));
  request.speed = 60.0;
  request.tick_rate = 30.0;  // 60 simulated seconds a second, 30 updates a second: every 2 s
  EXPECT_EQ(StartMarketSettings(request).update_interval, 2'000'000);

  auto spec = InstrumentSpecFrom(MapSource({{"full_name", std::string("F.US.EP")},
                                            {"tick_size", int64_t{1}},
                                            {"max_book_volume", int64_t{7}},
                                            {"update_interval", 0.5}}),
                                 123);
  EXPECT_EQ(spec.full_name, "F.US.EP");
  EXPECT_EQ(spec.tick_size, 1.0);
  EXPECT_EQ(spec.max_book_volume, 7);
  EXPECT_EQ(spec.update_interval, 500'000);
  EXPECT_EQ(spec.multiplier, market::InstrumentSpec{}.multiplier);
  EXPECT_EQ(
      InstrumentSpecFrom(MapSource({{"full_name", std::string("F.US.EP")}}), 123).update_interval,
      123);

  auto account = AccountSpecFrom(MapSource({{"gw_account_id", int64_t{42}}}));
  EXPECT_EQ(account.name, "SIM42");
  EXPECT_EQ(account.starting_balance, 1'000'000.0);
  EXPECT_EQ(AccountSpecFrom(MapSource({{"gw_account_id", int64_t{42}}, {"balance", 5.0}}))
                .starting_balance,
            5.0);
}

TEST(MarketSettingsFromValues, BadValuesAreRefusedWithTheirReason) {
  auto request = [](auto change) {
    MarketRequest r;
    change(r);
    return Refusal([&] { StartMarketSettings(r); });
  };
  EXPECT_EQ(request([](MarketRequest& r) { r.history_days = -1; }),
            "history_days must be a finite number >= 0");
  EXPECT_EQ(request([](MarketRequest& r) { r.speed = std::nan(""); }), "speed must be >= 0");
  EXPECT_EQ(request([](MarketRequest& r) { r.update_interval = 0; }),
            "update_interval must be a finite number of seconds > 0");
  EXPECT_EQ(request([](MarketRequest& r) { r.tick_rate = -2.0; }),
            "tick_rate must be a finite number > 0");
  EXPECT_EQ(request([](MarketRequest& r) {
              r.speed = INFINITY;
              r.tick_rate = 10.0;
            }),
            "tick_rate needs a finite speed > 0");
  EXPECT_EQ(request([](MarketRequest& r) { r.speed = 0; }), "");  // a clock that stands still

  struct Case {
    const char* label;
    MapSource source;
    const char* text;
  } instruments[] = {
      {"misspelt", MapSource({{"full_name", std::string("F.US.EP")}, {"tick", 0.25}}),
       "Unknown instrument setting 'tick'"},
      {"nameless", MapSource({{"tick_size", 0.25}}), "an instrument needs a full_name"},
      {"zero interval",
       MapSource({{"full_name", std::string("F.US.EP")}, {"update_interval", 0.0}}),
       "update_interval must be a finite number of seconds > 0"},
  };
  for (const auto& c : instruments) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Refusal([&] { InstrumentSpecFrom(c.source, 1); }), c.text);
  }
  EXPECT_EQ(Refusal([] {
              AccountSpecFrom(MapSource({{"name", std::string("A")}}));
            }),
            "an account needs a gw_account_id");
  EXPECT_EQ(Refusal([] {
              AccountSpecFrom(MapSource({{"gw_account_id", int64_t{1} << 31}}));
            }),
            "gw_account_id must fit a 32-bit CQG account id");
  EXPECT_EQ(Refusal([] {
              AccountSpecFrom(MapSource({{"gw_account_id", int64_t{-1}}}));
            }),
            "gw_account_id must fit a 32-bit CQG account id");
  EXPECT_EQ(Refusal([] {
              AccountSpecFrom(MapSource({{"gw_account_id", int64_t{1}}, {"cash", 1.0}}));
            }),
            "Unknown account setting 'cash'");
}

TEST(ConnectionNames, KindsAndStatusesByName) {
  Register();
  EXPECT_EQ(ConnectionKindFrom("gateway"), ConnectionKind::Gateway);
  EXPECT_EQ(ConnectionKindFrom("data"), ConnectionKind::Data);
  EXPECT_EQ(Refusal([] { ConnectionKindFrom("Gateway"); }),
            "kind must be 'gateway' or 'data', not 'Gateway'");
  EXPECT_EQ(ConnectionStatusNamed("csConnectionDown"), Constant("csConnectionDown"));
  EXPECT_EQ(Refusal([] { ConnectionStatusNamed("csUp"); }), "Unknown connection status 'csUp'");
  // A constant of another kind is not a status.
  EXPECT_EQ(Refusal([] { ConnectionStatusNamed("qtBid"); }),
            std::to_string(Constant("qtBid")) + " is not a connection status");
  EXPECT_EQ(Refusal([] { RequireConnectionStatus(9); }), "9 is not a connection status");
}

struct CountingSink : com::IEventSink {
  std::atomic<int> orders{0};
  void OnEvent(int, std::string_view name, com::Args) override {
    if (name == "OnOrderChanged") ++orders;
  }
};

// A live simulator on its own COM thread; the areas are used there.
class AreasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Register();
    Control::Instance().Reset();
    com_ = std::make_unique<com::testing::ComThread>([this] {
      object_ = com::CreateObject(kProgId);
      connection_ = com::ConnectEvents(object_, sink_);
    });
    sim_ = Control::Instance().Live();
  }
  void TearDown() override {
    com_->apartment()->Run([this] {
      connection_.Disconnect();
      object_.reset();
    });
    sim_.reset();
    com_.reset();
    Control::Instance().Reset();
  }
  template <class F>
  void OnHome(F&& f) {
    sim_->RunOnHome(f);
  }
  std::vector<std::string> PositionNames(SimAccount& account) {
    std::vector<std::string> out;
    for (const auto& p : account.positions->items) {
      out.push_back(std::static_pointer_cast<SimPosition>(p)->instrument_name);
    }
    return out;
  }

  std::shared_ptr<CountingSink> sink_ = std::make_shared<CountingSink>();
  com::DispatchPtr object_;
  com::Connection connection_;
  std::unique_ptr<com::testing::ComThread> com_;
  std::shared_ptr<Simulator> sim_;
};

TEST_F(AreasTest, AnAccountTakesItsSummaryAndPositionsAndABadNameChangesNothing) {
  OnHome([&] {
    auto& area = sim_->Area<AccountArea>();
    auto account = area.Set(7, "SEVEN", {{"Balance", 10.0}, {"OTE", std::nullopt}},
                            {{"F.US.EP", Constant("osdSell"), -2, 4500.25, 1.5, -3.0},
                             {"F.US.ENQ", Constant("osdBuy"), 1, 15000.0, 0, 0}});
    EXPECT_EQ(area.Require(7), account);
    EXPECT_EQ(account->summary->values.at("Balance"), 10.0);
    EXPECT_FALSE(account->summary->values.at("OTE").has_value());
    EXPECT_EQ(account->summary->values.at("NLV"), 0.0);  // a new account starts at zero
    ASSERT_EQ(PositionNames(*account), (std::vector<std::string>{"F.US.EP", "F.US.ENQ"}));
    auto ep = std::static_pointer_cast<SimPosition>(account->positions->items[0]);
    EXPECT_EQ(ep->side, Constant("osdSell"));
    EXPECT_EQ(ep->quantity, -2);
    EXPECT_EQ(ep->average_price, 4500.25);
    EXPECT_EQ(ep->ote, 1.5);
    EXPECT_EQ(ep->profit_loss, -3.0);

    AccountArea::SetPositions(*account, {{"F.US.ZN", Constant("osdBuy"), 3, 110.0, 0, 0}});
    EXPECT_EQ(PositionNames(*account), std::vector<std::string>{"F.US.ZN"});

    // A misspelt summary value refuses the whole change: the account stays as it was.
    EXPECT_EQ(Refusal([&] {
                area.Set(7, "OTHER", {{"Balanse", 1.0}}, {});
              }),
              "Unknown summary value 'Balanse'");
    EXPECT_EQ(area.Require(7)->gw_account_name, "SEVEN");
    EXPECT_EQ(Refusal([&] {
                account->summary->Apply({{"NLV", 1.0}, {"Cash", 2.0}});
              }),
              "Unknown summary value 'Cash'");
    EXPECT_EQ(account->summary->values.at("NLV"), 0.0);
    EXPECT_EQ(Refusal([&] { area.Require(8); }), "No account with GWAccountID 8");
  });
}

TEST_F(AreasTest, AnOrderTakesEveryValueAndAnUnbookedFillLeavesItAlone) {
  const com::DateTime when{2024, 3, 4, 9, 30, 15, 250'000};
  OnHome([&] {
    auto& area = sim_->Area<OrderArea>();
    OrderValues v;
    v.guid = "G-1";
    v.status = Constant("osInOrderBook");
    v.order_type = Constant("otLimit");
    v.quantity = 5;
    v.side = Constant("osdSell");
    v.filled_quantity = 2;
    v.average_fill_price = 99.5;
    v.limit_price = 100.0;
    v.timestamp = when;
    v.instrument_name = "F.US.EP";
    v.gw_account_id = 100001;
    auto order = area.Add(v);
    EXPECT_EQ(area.Require("G-1"), order);
    EXPECT_EQ(order->status, Constant("osInOrderBook"));
    EXPECT_EQ(order->order_type, Constant("otLimit"));
    EXPECT_EQ(order->quantity, 5);
    EXPECT_EQ(order->side, Constant("osdSell"));
    EXPECT_EQ(order->filled_quantity, 2);
    EXPECT_EQ(order->average_fill_price, 99.5);
    EXPECT_EQ(order->limit_price, std::optional<double>(100.0));
    EXPECT_FALSE(order->stop_price.has_value());
    EXPECT_EQ(order->timestamp, when);
    EXPECT_EQ(order->instrument_name, "F.US.EP");
    EXPECT_EQ(order->gw_account_id, 100001);
    EXPECT_TRUE(order->placed);
    EXPECT_EQ(SimOrder::From(com::DispatchPtr(order)), order);

    auto stamped = area.MakeFill(order, 1, 101.0, Constant("fsNormal"), when);
    auto now = area.MakeFill(order, 1, 102.0, Constant("fsNormal"));
    EXPECT_EQ(stamped->timestamp, when);
    EXPECT_NE(now->timestamp, when);
    EXPECT_EQ(now->id.ToInt(), stamped->id.ToInt() + 1);  // fresh ids
    EXPECT_TRUE(order->fills.empty());                    // not booked
    EXPECT_EQ(order->filled_quantity, 2);

    OrderValues fresh;
    auto other = area.Add(fresh);
    EXPECT_FALSE(other->guid.empty());
    EXPECT_NE(other->guid, "G-1");
    EXPECT_EQ(Refusal([&] { area.Require("nope"); }), "No order with GUID 'nope'");
  });
}

TEST_F(AreasTest, ResendAllFillsSendsEveryBookedFillOfEveryOrder) {
  OnHome([&] {
    auto& area = sim_->Area<OrderArea>();
    OrderValues v;
    v.quantity = 3;
    v.status = Constant("osInOrderBook");
    auto first = area.Add(v);
    auto second = area.Add(v);
    area.Add(v);  // no fills
    area.Fill(first, 1, 10.0, Constant("fsNormal"));
    area.Fill(first, 1, 11.0, Constant("fsNormal"));
    area.Fill(second, 3, 12.0, Constant("fsNormal"));
  });
  sim_->RunOnHome([] {});  // the fills' own events are delivered
  const int before = sink_->orders.load();
  size_t sent = 0;
  OnHome([&] { sent = sim_->Area<OrderArea>().ResendAllFills(); });
  sim_->RunOnHome([] {});
  EXPECT_EQ(sent, 3u);
  EXPECT_EQ(sink_->orders.load() - before, 3);
}

TEST_F(AreasTest, CollectionsCountIndexAndIterate) {
  com::DispatchPtr fills, orders;
  OnHome([&] {
    auto& area = sim_->Area<OrderArea>();
    OrderValues v;
    v.guid = "G-7";
    v.quantity = 5;
    auto order = area.Add(v);
    area.Fill(order, 1, 10.0, Constant("fsNormal"));
    area.Fill(order, 2, 11.0, Constant("fsNormal"));
    fills = order->Get("Fills").Dispatch();
    orders = area.orders();
    EXPECT_EQ(fills->Get("Count").ToInt(), 2);
    const std::vector<Variant> one{Variant(1)}, guid{Variant("G-7")};
    EXPECT_EQ(fills->Invoke("Item", com::CallKind::Method, one).Dispatch()->Get("Quantity").ToInt(),
              2);
    EXPECT_EQ(fills->Enumerate().size(), 2u);
    EXPECT_EQ(orders->Invoke("ItemByGuid", com::CallKind::Method, guid).Dispatch(),
              com::DispatchPtr(order));
    struct Case {
      com::DispatchPtr list;
      std::vector<Variant> args;
      const char* text;
    } bad[] = {
        {fills, {Variant(2)}, "CQGFills: index 2 is out of range"},
        {fills, {}, "Item needs argument 1"},
        {orders, {Variant(-1)}, "CQGOrders: index -1 is out of range"},
    };
    for (const auto& c : bad) {
      try {
        c.list->Invoke("Item", com::CallKind::Method, c.args);
        ADD_FAILURE() << "no error for " << c.text;
      } catch (const com::ComError& e) {
        EXPECT_EQ(std::string(e.what()), c.text);
      }
    }
  });
}

TEST(StateFields, WriteAndReadBackInOrderAndRefuseNumbersOutOfRange) {
  std::ostringstream out;
  market::StateWriter w(out);
  const std::optional<double> none, some = -0.1;
  w.Fields(int32_t{-5}, int64_t{1} << 40, uint32_t{7}, 0.1, true, std::string("a b"), none, some);
  w.Fields(int64_t{1} << 40);
  std::istringstream in(out.str());
  market::StateReader r(in);
  int32_t small = 0;
  int64_t big = 0;
  uint32_t slot = 0;
  double d = 0;
  bool flag = false;
  std::string text;
  std::optional<double> a = 1.0, b;
  r.Fields(small, big, slot, d, flag, text, a, b);
  EXPECT_EQ(small, -5);
  EXPECT_EQ(big, int64_t{1} << 40);
  EXPECT_EQ(slot, 7u);
  EXPECT_EQ(d, 0.1);
  EXPECT_TRUE(flag);
  EXPECT_EQ(text, "a b");
  EXPECT_FALSE(a.has_value());
  EXPECT_EQ(b, some);
  int32_t narrow = 0;
  EXPECT_THROW(r.Fields(narrow), market::StateError);  // 2^40 does not fit 32 bits
}

TEST(CivilDate, DaysAndDatesRoundTripAcrossCenturiesAndLeapDays) {
  struct Case {
    int year, month, day;
    int64_t days;
  } known[] = {
      {1970, 1, 1, 0},        {1969, 12, 31, -1},  {2000, 2, 29, 11016},  {1900, 3, 1, -25508},
      {1899, 12, 30, -25569}, {2024, 3, 4, 19786}, {100, 1, 1, -683'003}, {9999, 12, 31, 2'932'896},
  };
  for (const auto& c : known) {
    SCOPED_TRACE(std::to_string(c.year) + "-" + std::to_string(c.month) + "-" +
                 std::to_string(c.day));
    EXPECT_EQ(
        civil::DaysFromCivil(c.year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day)),
        c.days);
    const civil::Date d = civil::CivilFromDays(c.days);
    EXPECT_EQ(d.year, c.year);
    EXPECT_EQ(d.month, c.month);
    EXPECT_EQ(d.day, c.day);
  }
  // Every day of four centuries around the epoch: consecutive dates, back to the same day.
  civil::Date previous = civil::CivilFromDays(-73'000);
  for (int64_t day = -72'999; day <= 73'000; ++day) {
    const civil::Date d = civil::CivilFromDays(day);
    ASSERT_EQ(
        civil::DaysFromCivil(d.year, static_cast<unsigned>(d.month), static_cast<unsigned>(d.day)),
        day);
    const bool next_day =
        d.year == previous.year && d.month == previous.month && d.day == previous.day + 1;
    const bool next_month =
        d.day == 1 && ((d.year == previous.year && d.month == previous.month + 1) ||
                       (d.year == previous.year + 1 && d.month == 1));
    ASSERT_TRUE(next_day || next_month) << day;
    previous = d;
  }
}

}  // namespace
}  // namespace mx::cqgcel
