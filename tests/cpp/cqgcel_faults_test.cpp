// The simulator failing the way CQG does: connections that drop and come back (orders
// refused, order events held, market data stopped), fills sent again, busted or
// corrected, and broker state that outlives a session.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_test_support.h"
#include "platform/com/com.h"
#include "platform/com/marshal.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/sim_accounts.h"
#include "platform/cqgcel/sim_broker.h"
#include "platform/cqgcel/sim_connection.h"
#include "platform/cqgcel/sim_instruments.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/sim_market_settings.h"
#include "platform/cqgcel/sim_orders.h"
#include "platform/cqgcel/sim_ticks.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {
namespace {

using com::Variant;
using namespace std::chrono_literals;

std::string NameOf(const std::vector<std::string>& names, int32_t value) {
  for (const auto& n : names) {
    if (Constant(n) == value) return n;
  }
  return std::to_string(value);
}

std::string StatusName(int32_t v) {
  return NameOf({"csConnectionUp", "csConnectionDelayed", "csConnectionDown", "csConnectionTrouble",
                 "csConnectionNotLoggedOn"},
                v);
}

// Every event as one line: "OnOrderChanged ctAdded osRejectGW error=1010 fill=-", ...
struct Log : com::IEventSink {
  std::mutex mu;
  std::vector<std::string> lines;
  void OnEvent(int, std::string_view name, com::Args args) override {
    std::string line(name);
    if (name == "OnGWConnectionStatusChanged" || name == "OnDataConnectionStatusChanged") {
      line += " " + StatusName(args[0].ToInt32());
    } else if (name == "OnOrderChanged") {
      auto order = args[1].Dispatch();
      line += " " + NameOf({"ctAdded", "ctChanged", "ctRemoved"}, args[0].ToInt32());
      line += " " + NameOf({"osNotSent", "osInTransit", "osInOrderBook", "osFilled", "osCanceled",
                            "osRejectGW"},
                           order->Get("GWStatus").ToInt32());
      line += " error=" +
              (args[4].IsEmpty() ? std::string("-") : args[4].Dispatch()->Get("Code").ToString());
      if (args[3].IsEmpty()) {
        line += " fill=-";
      } else {
        auto fill = args[3].Dispatch();
        line += " fill=" + fill->Get("Id").ToString() + "/" +
                NameOf({"fsNormal", "fsCanceled", "fsModified", "fsBusted"},
                       fill->Get("Status").ToInt32()) +
                "/" + fill->Get("Quantity").ToString();
      }
    } else if (name == "OnAccountChanged") {
      line += " " + NameOf({"actPositionAdded", "actPositionChanged", "actAccountsReloaded"},
                           args[0].ToInt32());
    }
    std::lock_guard lk(mu);
    lines.push_back(std::move(line));
  }
  std::vector<std::string> Take() {
    std::lock_guard lk(mu);
    return std::exchange(lines, {});
  }
};

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Register();
    Control::Instance().Reset();
  }
  void TearDown() override {
    Stop();
    Control::Instance().Reset();
  }
  void Start() {
    com_ = std::make_unique<com::testing::ComThread>([this] {
      object_ = com::CreateObject(kProgId);
      connection_ = com::ConnectEvents(object_, log_);
    });
    cel_ = com::MakeProxy(object_, com_->apartment());
    sim_ = Control::Instance().Live();
  }
  void Stop() {
    if (!com_) return;
    com_->apartment()->Run([this] {
      connection_.Disconnect();
      object_.reset();
    });
    sim_.reset();
    cel_.reset();
    com_.reset();
  }
  // Runs `task` on the COM thread, then lets the answers it posted run.
  void OnHome(const std::function<void()>& task) {
    sim_->RunOnHome(task);
    Settle();
  }
  // A few round trips: answers posted with no delay have run afterwards.
  void Settle() {
    for (int i = 0; i < 5; ++i) com_->apartment()->Run([] {});
  }
  // A working order at the simulator (placed through the scripted answer).
  std::shared_ptr<SimOrder> WorkingOrder(int32_t quantity = 3) {
    std::shared_ptr<SimOrder> order;
    OnHome([&] {
      order = sim_->Area<OrderArea>().Create();
      order->quantity = quantity;
      order->gw_account_id = 100001;
      order->instrument_name = "F.US.EP";
      order->side = Constant("osdBuy");
      sim_->Area<OrderArea>().Place(order);
    });
    log_->Take();
    return order;
  }
  void Gateway(const char* status) {
    OnHome([&] { SetGatewayStatus(*sim_, Constant(status)); });
  }
  void Data(const char* status) {
    OnHome([&] { SetDataStatus(*sim_, Constant(status)); });
  }

  std::shared_ptr<Log> log_ = std::make_shared<Log>();
  com::DispatchPtr object_, cel_;
  com::Connection connection_;
  std::unique_ptr<com::testing::ComThread> com_;
  std::shared_ptr<Simulator> sim_;
};

TEST_F(FaultsTest, AGatewayOutageRefusesOrdersAndHoldsOrderEventsUntilItIsUp) {
  struct Case {
    const char* label;
    const char* down;
    const char* refusal;  // error code of the refusals
  } cases[] = {
      {"down", "csConnectionDown", "1010"},
      {"trouble", "csConnectionTrouble", "1010"},
      {"delayed", "csConnectionDelayed", "1010"},
      {"not logged on", "csConnectionNotLoggedOn", "1011"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Start();
    auto working = WorkingOrder();
    Gateway(c.down);
    // The market goes on: a fill while down is booked but its events are held.
    OnHome([&] { sim_->Area<OrderArea>().Fill(working, 1, 100.0, Constant("fsNormal")); });
    std::shared_ptr<SimOrder> refused;
    OnHome([&] {
      refused = sim_->Area<OrderArea>().Create();
      refused->quantity = 1;
      sim_->Area<OrderArea>().Place(refused);
      sim_->Area<OrderArea>().Cancel(working);
    });
    EXPECT_EQ(
        log_->Take(),
        (std::vector<std::string>{
            std::string("OnGWConnectionStatusChanged ") + c.down,
            std::string("OnOrderChanged ctAdded osRejectGW error=") + c.refusal + " fill=-",
            std::string("OnOrderChanged ctChanged osInOrderBook error=") + c.refusal + " fill=-",
        }));
    EXPECT_EQ(refused->status, Constant("osRejectGW"));
    EXPECT_EQ(working->filled_quantity, 1);
    Gateway("csConnectionUp");
    EXPECT_EQ(log_->Take(), (std::vector<std::string>{
                                "OnGWConnectionStatusChanged csConnectionUp",
                                "OnOrderChanged ctChanged osInOrderBook error=- fill=1/fsNormal/1",
                                "OnAccountChanged actPositionAdded",
                            }));
    // Up again: orders go through.
    OnHome([&] { sim_->Area<OrderArea>().Cancel(working); });
    EXPECT_EQ(log_->Take(),
              std::vector<std::string>{"OnOrderChanged ctChanged osCanceled error=- fill=-"});
    Stop();
  }
}

TEST_F(FaultsTest, GWLogonAnswersWithTheStatusWhileTheGatewayIsUnreachable) {
  Control::Instance().script().Set("GWLogon", Answer::Succeed());  // answered at once
  Start();
  auto logon = [&] {
    cel_->Call("GWLogon", {Variant("u"), Variant("p")});
    Settle();
    return log_->Take();
  };
  EXPECT_EQ(logon(), std::vector<std::string>{"OnGWConnectionStatusChanged csConnectionUp"});
  auto working = WorkingOrder();
  Gateway("csConnectionDown");
  OnHome([&] { sim_->Area<OrderArea>().Fill(working, 3, 100.0, Constant("fsNormal")); });
  log_->Take();
  EXPECT_EQ(logon(), std::vector<std::string>{"OnGWConnectionStatusChanged csConnectionDown"});
  EXPECT_FALSE(cel_->Get("IsGWLoggedOn").ToBool());
  // Back, but the session is gone: the log-on ends the outage and the held events follow.
  Gateway("csConnectionNotLoggedOn");
  EXPECT_EQ(log_->Take(),
            std::vector<std::string>{"OnGWConnectionStatusChanged csConnectionNotLoggedOn"});
  EXPECT_EQ(logon(), (std::vector<std::string>{
                         "OnGWConnectionStatusChanged csConnectionUp",
                         "OnOrderChanged ctChanged osFilled error=- fill=1/fsNormal/3",
                         "OnAccountChanged actPositionAdded",
                     }));
  EXPECT_TRUE(cel_->Get("IsGWLoggedOn").ToBool());
  OnHome([&] { EXPECT_EQ(sim_->connection().gateway(), Constant("csConnectionUp")); });
}

TEST_F(FaultsTest, ADataOutageStopsQuotesTicksAndBarsAndTheyResumeAfterIt) {
  Start();
  std::shared_ptr<SimInstrument> instrument;
  OnHome([&] { instrument = sim_->Area<InstrumentArea>().Subscribe("F.US.EP"); });
  auto request = cel_->Call("CreateTicksRequest").Dispatch();
  request->Put("Symbol", Variant("F.US.EP"));
  auto ticks = cel_->Call("RequestTicks", {Variant(request)}).Dispatch();
  Settle();
  log_->Take();
  const int64_t before = ticks->Count();
  auto push = [&] {
    OnHome([&] {
      sim_->Area<InstrumentArea>().PushQuotes(instrument, {{Constant("qtBid"), 101.0}});
      PushTicks(*sim_, "F.US.EP", {{Constant("tptBid"), 101.0, 2, {}}});
    });
  };
  Data("csConnectionDown");
  push();
  EXPECT_EQ(log_->Take(),
            std::vector<std::string>{"OnDataConnectionStatusChanged csConnectionDown"});
  EXPECT_EQ(ticks->Count(), before);  // nothing taken while down
  // Orders are not market data: they go on.
  auto working = WorkingOrder();
  EXPECT_EQ(working->status, Constant("osInOrderBook"));
  Data("csConnectionUp");
  push();
  EXPECT_EQ(log_->Take(), (std::vector<std::string>{
                              "OnDataConnectionStatusChanged csConnectionUp",
                              "OnInstrumentChanged",
                              "OnTicksAdded",
                          }));
  EXPECT_EQ(ticks->Count(), before + 1);
}

TEST_F(FaultsTest, BadConnectionStatusesAreRefused) {
  Start();
  sim_->RunOnHome([&] {
    EXPECT_THROW(SetGatewayStatus(*sim_, 99), std::invalid_argument);
    EXPECT_THROW(SetDataStatus(*sim_, -1), std::invalid_argument);
    EXPECT_FALSE(sim_->connection().gateway_outage());
  });
}

TEST_F(FaultsTest, FillsAreSentAgainWithTheirIdsAndABustOrCorrectionMovesTheBooks) {
  Start();
  auto order = WorkingOrder(3);
  OnHome([&] {
    auto& area = sim_->Area<OrderArea>();
    area.Fill(order, 1, 100.0, Constant("fsNormal"));
    area.Fill(order, 1, 102.0, Constant("fsNormal"));
  });
  log_->Take();
  size_t sent = 0;
  OnHome([&] { sent = sim_->Area<OrderArea>().ResendFills(order); });
  EXPECT_EQ(sent, 2u);
  EXPECT_EQ(log_->Take(), (std::vector<std::string>{
                              "OnOrderChanged ctChanged osInOrderBook error=- fill=1/fsNormal/1",
                              "OnOrderChanged ctChanged osInOrderBook error=- fill=2/fsNormal/1",
                          }));
  auto position = [&] {
    int32_t quantity = 0;
    sim_->RunOnHome([&] {
      auto account = sim_->Area<AccountArea>().Find(100001);
      quantity = std::static_pointer_cast<SimPosition>(account->positions->items.at(0))->quantity;
    });
    return quantity;
  };
  EXPECT_EQ(position(), 2);

  OnHome([&] { sim_->Area<OrderArea>().AmendFill(order, "1", std::nullopt); });
  EXPECT_EQ(log_->Take(), (std::vector<std::string>{
                              "OnOrderChanged ctChanged osInOrderBook error=- fill=1/fsBusted/1",
                              "OnAccountChanged actPositionChanged",
                          }));
  EXPECT_EQ(order->filled_quantity, 1);
  EXPECT_DOUBLE_EQ(order->average_fill_price, 102.0);
  EXPECT_EQ(position(), 1);

  OnHome([&] { sim_->Area<OrderArea>().AmendFill(order, "2", OrderArea::Correction{3, 101.0}); });
  EXPECT_EQ(log_->Take(), (std::vector<std::string>{
                              "OnOrderChanged ctChanged osInOrderBook error=- fill=2/fsModified/3",
                              "OnAccountChanged actPositionChanged",
                              "OnAccountChanged actPositionChanged",
                          }));
  EXPECT_EQ(order->filled_quantity, 3);
  EXPECT_EQ(position(), 3);
  // The order's fills show them as they stand now, same ids.
  auto fills = com::MakeProxy(order, com_->apartment())->Get("Fills").Dispatch();
  ASSERT_EQ(fills->Count(), 2);
  EXPECT_EQ(fills->Call("Item", {Variant(0)}).Dispatch()->Get("Status").ToInt32(),
            Constant("fsBusted"));
  EXPECT_EQ(fills->Call("Item", {Variant(1)}).Dispatch()->Get("Quantity").ToInt32(), 3);

  sim_->RunOnHome([&] {
    auto& area = sim_->Area<OrderArea>();
    EXPECT_THROW(area.AmendFill(order, "1", std::nullopt), std::invalid_argument);  // busted
    EXPECT_THROW(area.AmendFill(order, "9", std::nullopt), std::invalid_argument);
    EXPECT_THROW(area.AmendFill(order, "2", OrderArea::Correction{4, 101.0}),
                 std::invalid_argument);  // beyond the order's quantity
  });
}

// ---- restarts ----------------------------------------------------------------------

class RestartTest : public FaultsTest {
 protected:
  // Ends the session the way ComHost.Shutdown does: CQGCEL.Shutdown, then the COM thread.
  void EndSession() {
    cel_->Call("Shutdown");
    Stop();
  }
};

TEST_F(RestartTest, AKeptBrokerOutlivesTheSessionAndANewSessionSeesItsOrders) {
  BrokerStore::Instance().SetKeep(true);
  Start();
  OnHome([&] { sim_->Area<InstrumentArea>().Subscribe("F.US.EP"); });
  auto order = WorkingOrder(2);
  const std::string guid = order->guid;
  OnHome([&] { sim_->Area<OrderArea>().Fill(order, 1, 100.0, Constant("fsNormal")); });
  order.reset();
  EndSession();

  // Between sessions the kept simulator is still reachable; its home has gone.
  auto kept = Control::Instance().Live();
  ASSERT_TRUE(kept);
  kept->RunOnHome([&] {
    auto o = kept->Area<OrderArea>().orders()->Find(guid);
    kept->Area<OrderArea>().Fill(o, 1, 101.0, Constant("fsNormal"));  // nobody hears it
  });
  kept.reset();

  log_ = std::make_shared<Log>();
  Start();
  auto orders = cel_->Get("Orders").Dispatch();
  auto found = orders->Call("ItemByGuid", {Variant(guid)}).Dispatch();
  EXPECT_EQ(found->Get("FilledQuantity").ToInt32(), 2);
  EXPECT_EQ(found->Get("GWStatus").ToInt32(), Constant("osFilled"));
  EXPECT_EQ(found->Get("Fills").Dispatch()->Count(), 2);
  EXPECT_EQ(cel_->Get("Instruments").Dispatch()->Count(), 0);  // the session's, not kept
  EXPECT_FALSE(cel_->Get("IsGWLoggedOn").ToBool());
  OnHome([&] {
    EXPECT_EQ(sim_->Area<AccountArea>().subscription_level(), Constant("aslNone"));
    EXPECT_EQ(sim_->Area<OrderArea>().ResendFills(sim_->Area<OrderArea>().orders()->Find(guid)),
              2u);
  });
  // The new session hears the order's events; new GUIDs never repeat the old ones.
  EXPECT_EQ(log_->Take().size(), 2u);
  auto fresh = WorkingOrder();
  EXPECT_NE(fresh->guid, guid);
  EXPECT_EQ(orders->Count(), 2);
}

TEST_F(RestartTest, WithoutKeepingANewSessionStartsEmpty) {
  Start();
  WorkingOrder();
  EndSession();
  EXPECT_FALSE(Control::Instance().Live());
  Start();
  EXPECT_EQ(cel_->Get("Orders").Dispatch()->Count(), 0);
}

MarketSettings MarketAt(double speed) {
  MarketSettings s;
  s.config.seed = 9;
  s.config.start_time = market::MakeTime(2024, 5, 6, 9, 30);
  s.config.history = market::kMicrosPerDay / 48;
  market::InstrumentSpec ep;
  ep.full_name = "F.US.EP";
  ep.max_book_volume = 3;
  s.instruments = {ep};
  s.accounts = {{300001, "PAPER", 100'000.0}};
  s.speed = speed;
  return s;
}

TEST_F(RestartTest, AKeptMarketGoesOnBetweenSessionsAndTheNextSessionHearsLaterFills) {
  BrokerStore::Instance().SetKeep(true);
  MarketSettingsStore::Instance().Set(MarketAt(0.0));
  Start();
  std::shared_ptr<SimOrder> order;
  OnHome([&] {
    order = sim_->Area<OrderArea>().Create();
    order->order_type = Constant("otMarket");
    order->quantity = 30;  // ten updates' worth at least
    order->gw_account_id = 300001;
    order->instrument_name = "F.US.EP";
    order->side = Constant("osdSell");
    sim_->Area<OrderArea>().Place(order);
  });
  const int32_t at_end = order->filled_quantity;
  ASSERT_GT(at_end, 0);
  ASSERT_LT(at_end, 30);
  EndSession();
  auto kept = Control::Instance().Live();
  kept->RunOnHome([&] { MarketOf(*kept)->AdvanceBy(1.0); });  // nobody connected
  const int32_t between = order->filled_quantity;
  EXPECT_GT(between, at_end);
  kept.reset();

  log_ = std::make_shared<Log>();
  Start();
  EXPECT_EQ(cel_->Get("Orders")
                .Dispatch()
                ->Call("ItemByGuid", {Variant(order->guid)})
                .Dispatch()
                ->Get("FilledQuantity")
                .ToInt32(),
            between);
  OnHome([&] { MarketOf(*sim_)->AdvanceBy(30.0); });
  EXPECT_EQ(order->filled_quantity, 30);
  const auto lines = log_->Take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().rfind("OnOrderChanged ctChanged", 0), 0u) << lines.front();
}

TEST_F(RestartTest, ARunningClockCatchesUpTheTimeBetweenSessions) {
  BrokerStore::Instance().SetKeep(true);
  MarketSettingsStore::Instance().Set(MarketAt(1000.0));
  Start();
  EndSession();
  auto kept = Control::Instance().Live();
  market::SimTime parked_at = 0;
  kept->RunOnHome([&] { parked_at = MarketOf(*kept)->market().Now(); });
  kept.reset();
  const auto wall = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - wall < 30ms) std::this_thread::yield();
  Start();
  market::SimTime resumed_at = 0;
  sim_->RunOnHome([&] { resumed_at = MarketOf(*sim_)->market().Now(); });
  // 30 ms of wall time at 1000x: 30 simulated seconds at least, caught up at once.
  EXPECT_GE(resumed_at - parked_at, 30 * market::kMicrosPerSecond);
}

TEST_F(FaultsTest, AfterADataOutageTheFirstQuoteEventCarriesEveryQuote) {
  MarketSettingsStore::Instance().Set(MarketAt(0.0));
  Start();
  struct Quotes : com::IEventSink {
    std::vector<int64_t> counts;
    void OnEvent(int, std::string_view name, com::Args args) override {
      if (name == "OnInstrumentChanged") counts.push_back(args[1].Dispatch()->Count());
    }
  };
  auto quotes = std::make_shared<Quotes>();
  com::Connection c;
  OnHome([&] {
    c = com::ConnectEvents(object_, quotes);
    auto instrument = sim_->Area<InstrumentArea>().Subscribe("F.US.EP");
    instrument->data_subscription_level = Constant("dsQuotesAndBBA");
    MarketOf(*sim_)->AdvanceBy(10.0);
    SetDataStatus(*sim_, Constant("csConnectionDown"));
    MarketOf(*sim_)->AdvanceBy(10.0);
  });
  const size_t before = quotes->counts.size();
  ASSERT_GT(before, 5u);
  OnHome([&] {
    SetDataStatus(*sim_, Constant("csConnectionUp"));
    MarketOf(*sim_)->AdvanceBy(1.0);
    c.Disconnect();
  });
  ASSERT_GT(quotes->counts.size(), before + 1);
  EXPECT_GE(quotes->counts[before], 6);      // bid, ask, trade, day values, settlement
  EXPECT_LE(quotes->counts[before + 1], 4);  // then only what changed
}

}  // namespace
}  // namespace mx::cqgcel
