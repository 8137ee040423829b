// The simulator's tick and timed-bars requests: answers, pushes, limits, removal.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "com_test_support.h"
#include "platform/com/com.h"
#include "platform/com/marshal.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/objects.h"
#include "platform/cqgcel/sim_market_common.h"
#include "platform/cqgcel/sim_ticks.h"
#include "platform/cqgcel/sim_timed_bars.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {
namespace {

using com::Variant;
using namespace std::chrono_literals;

// Records each event as "Name(first arg's Count, second arg)".
struct Log : com::IEventSink {
  std::mutex mu;
  std::vector<std::string> events;
  void OnEvent(int, std::string_view name, com::Args args) override {
    std::string text(name);
    text += "(" + args[0].Dispatch()->Get("Count").ToString();
    if (args.size() > 1)
      text += ", " + (args[1].IsEmpty()    ? "-"
                      : args[1].IsNumber() ? args[1].ToString()
                                           : args[1].Dispatch()->Get("Description").Text());
    text += ")";
    std::lock_guard lk(mu);
    events.push_back(text);
  }
  std::vector<std::string> Take() {
    std::lock_guard lk(mu);
    return std::exchange(events, {});
  }
};

class MarketDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Register();
    Control::Instance().Reset();
    com_ = std::make_unique<com::testing::ComThread>([this] {
      object_ = com::CreateObject(kProgId);
      connection_ = com::ConnectEvents(object_, log_);
    });
    cel_ = com::MakeProxy(object_, com_->apartment());
    sim_ = std::static_pointer_cast<Simulator>(object_);
  }
  void TearDown() override {
    com_->apartment()->Run([this] { connection_.Disconnect(); });
    com_.reset();
    Control::Instance().Reset();
  }
  // Lets posted answers run: a round trip to the COM thread after each one.
  std::vector<std::string> Events(size_t n) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<std::string> got;
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
      com_->apartment()->Run([] {});
      for (auto& e : log_->Take()) got.push_back(e);
    }
    return got;
  }
  com::DispatchPtr RequestTicks(const std::string& symbol, int limit) {
    auto request = cel_->Call("CreateTicksRequest").Dispatch();
    request->Put("Symbol", symbol);
    request->Put("Limit", limit);
    return cel_->Call("RequestTicks", {Variant(request)}).Dispatch();
  }
  com::DispatchPtr RequestBars(const std::string& symbol, int lookback, const char* period) {
    auto request = cel_->Call("CreateTimedBarsRequest").Dispatch();
    request->Put("Symbol", symbol);
    request->Put("RangeStart", 0);
    request->Put("RangeEnd", -lookback - 1);
    request->Put(std::string(period) == "hpDaily" ? "HistoricalPeriod" : "IntradayPeriod",
                 Constant(period));
    return cel_->Call("RequestTimedBars", {Variant(request)}).Dispatch();
  }
  size_t OnHome(const std::function<size_t()>& action) {
    size_t result = 0;
    com_->apartment()->Run([&] { result = action(); });
    return result;
  }

  std::shared_ptr<Log> log_ = std::make_shared<Log>();
  com::DispatchPtr object_;
  com::DispatchPtr cel_;
  std::shared_ptr<Simulator> sim_;
  com::Connection connection_;
  std::unique_ptr<com::testing::ComThread> com_;
};

TickData TickOf(const char* type, double price, int64_t volume) {
  return TickData{Constant(type), price, volume, com::DateTime{2024, 5, 6, 9, 30, 0, 0}};
}

BarData BarAt(int minute, double close) {
  BarData b;
  b.timestamp = com::DateTime{2024, 5, 6, 9, minute, 0, 0};
  b.open = b.high = b.low = b.close = close;
  b.actual_volume = int64_t{10};
  return b;
}

TEST_F(MarketDataTest, TickRequestResolvesThenTakesPushedTicksUpToItsLimit) {
  SetTicksAnswer("F.US.EP", std::vector<TickData>{TickOf("tptBid", 99.5, 3)});
  auto ticks = RequestTicks("F.US.EP", 4);
  EXPECT_EQ(cel_->Get("AllTicks").Dispatch()->Count(), 1);
  EXPECT_EQ(Events(1), std::vector<std::string>{"OnTicksResolved(1, -)"});

  std::vector<TickData> push = {TickOf("tptAsk", 100.0, 2), TickOf("tptTrade", 99.75, 1)};
  EXPECT_EQ(OnHome([&] { return PushTicks(*sim_, "F.US.EP", push); }), 1u);
  EXPECT_EQ(OnHome([&] { return PushTicks(*sim_, "F.US.EP", push); }), 1u);
  // Four kept: the oldest (the bid) went; each push reported its own two.
  EXPECT_EQ(log_->Take(), (std::vector<std::string>{"OnTicksAdded(3, 2)", "OnTicksAdded(4, 2)"}));
  auto last = ticks->Call("Item", {Variant(3)}).Dispatch();
  EXPECT_EQ(last->Get("PriceType").ToInt(), Constant("tptTrade"));
  EXPECT_EQ(last->Get("Price").ToDouble(), 99.75);
  EXPECT_EQ(ticks->Call("Item", {Variant(0)}).Dispatch()->Get("PriceType").ToInt(),
            Constant("tptAsk"));

  // Six at once on a limit of four: the newest four, reported as four.
  std::vector<TickData> six(6, TickOf("tptBid", 1.0, 1));
  OnHome([&] { return PushTicks(*sim_, "F.US.EP", six); });
  EXPECT_EQ(log_->Take(), std::vector<std::string>{"OnTicksAdded(4, 4)"});

  cel_->Call("RemoveTicks", {Variant(ticks)});
  EXPECT_EQ(cel_->Get("AllTicks").Dispatch()->Count(), 0);
  EXPECT_EQ(OnHome([&] { return PushTicks(*sim_, "F.US.EP", push); }), 0u);
  EXPECT_THROW(cel_->Call("RemoveTicks", {Variant(ticks)}), com::ComError);
}

TEST_F(MarketDataTest, RequestsAnswerAsScripted) {
  struct Case {
    const char* label;
    Answer answer;
    std::string ticks_event, bars_event;
    int64_t listed;
  } cases[] = {
      {"succeed", Answer::Succeed(), "OnTicksResolved(3, -)", "OnTimedBarsResolved(7, -)", 1},
      {"fail", Answer::Fail(5, "no entitlement"), "OnTicksResolved(0, no entitlement)",
       "OnTimedBarsResolved(0, no entitlement)", 0},
      {"fail without error", Answer::FailWithoutError(), "OnTicksResolved(0, -)",
       "OnTimedBarsResolved(0, -)", 0},
  };
  for (const auto& c : cases) {
    Control::Instance().script().Set("RequestTicks", c.answer);
    Control::Instance().script().Set("RequestTimedBars", c.answer);
    auto ticks = RequestTicks("F.US.EP", 10);
    auto bars = RequestBars("F.US.EP", 5, "pfds1Min");
    EXPECT_EQ(Events(2), (std::vector<std::string>{c.ticks_event, c.bars_event})) << c.label;
    EXPECT_EQ(cel_->Get("AllTicks").Dispatch()->Count(), c.listed) << c.label;
    EXPECT_EQ(cel_->Get("AllTimedBars").Dispatch()->Count(), c.listed) << c.label;
    if (c.listed) {
      cel_->Call("RemoveTicks", {Variant(ticks)});
      cel_->Call("RemoveTimedBars", {Variant(bars)});
    }
  }
}

TEST_F(MarketDataTest, HeldAnswerComesOnRelease) {
  Control::Instance().script().Set("RequestTimedBars", Answer::Hold());
  SetTimedBarsAnswer("F.US.EP", std::vector<BarData>{});
  RequestBars("F.US.EP", 100, "pfds1Min");
  com_->apartment()->Run([] {});
  EXPECT_TRUE(log_->Take().empty());
  EXPECT_EQ(Control::Instance().Release("RequestTimedBars", Answer::Succeed()), 1u);
  EXPECT_EQ(Events(1), std::vector<std::string>{"OnTimedBarsResolved(0, -)"});
}

TEST_F(MarketDataTest, ScriptedCallFailuresPassToTheCaller) {
  for (const char* call : {"CreateTicksRequest", "CreateTimedBarsRequest"}) {
    Control::Instance().script().Set(call, Answer::Fail(17, "refused"));
    try {
      cel_->Call(call);
      ADD_FAILURE() << call;
    } catch (const com::ComError& e) {
      EXPECT_EQ(e.code(), 17);
      EXPECT_EQ(e.description(), "refused");
    }
  }
  EXPECT_THROW(cel_->Call("RequestTicks", {Variant(42)}), com::ComError);
}

TEST_F(MarketDataTest, GeneratedBarsCoverTheRangeAtTheRequestedPeriod) {
  struct Case {
    const char* period;
    int64_t seconds;
  } cases[] = {{"pfds1Min", 60}, {"hpDaily", 86400}};
  for (const auto& c : cases) {
    auto bars = RequestBars("F.US.EP", 5, c.period);
    Events(1);
    ASSERT_EQ(bars->Count(), 7) << c.period;
    auto items = bars->Enumerate();
    for (size_t i = 1; i < items.size(); ++i) {
      auto t0 = items[i - 1].Dispatch()->Get("Timestamp").Date();
      auto t1 = items[i].Dispatch()->Get("Timestamp").Date();
      EXPECT_EQ(AddSeconds(t0, c.seconds), t1) << c.period << " bar " << i;
    }
    auto forming = items.back().Dispatch()->Get("Timestamp").Date();
    EXPECT_EQ(forming.second, 0) << c.period;
    if (c.seconds == 86400) {
      EXPECT_EQ(forming.hour * 60 + forming.minute, 0);
    }
    cel_->Call("RemoveTimedBars", {Variant(bars)});
  }
}

TEST_F(MarketDataTest, PushedBarsKeepTheWindowAndIndexesAreChecked) {
  SetTimedBarsAnswer("F.US.EP", std::vector<BarData>{BarAt(0, 1), BarAt(1, 2), BarAt(2, 3)});
  auto bars = RequestBars("F.US.EP", 1, "pfds1Min");  // a range of two, answered with three
  Events(1);
  EXPECT_EQ(OnHome([&] { return PushTimedBar(*sim_, "F.US.EP", BarAt(3, 4)); }), 1u);
  EXPECT_EQ(bars->Count(), 3);
  EXPECT_EQ(bars->Call("Item", {Variant(0)}).Dispatch()->Get("Close").ToDouble(), 2.0);

  OnHome([&] { return UpdateTimedBar(*sim_, "F.US.EP", -1, BarAt(3, 9)); });
  EXPECT_EQ(bars->Call("Item", {Variant(2)}).Dispatch()->Get("Close").ToDouble(), 9.0);
  EXPECT_THROW(OnHome([&] { return UpdateTimedBar(*sim_, "F.US.EP", 3, BarAt(3, 0)); }),
               com::ComError);
  EXPECT_THROW(OnHome([&] { return RemoveTimedBar(*sim_, "F.US.EP", -4); }), com::ComError);
  OnHome([&] { return RemoveTimedBar(*sim_, "F.US.EP", 0); });
  EXPECT_EQ(bars->Count(), 2);
  EXPECT_EQ(log_->Take(),
            (std::vector<std::string>{"OnTimedBarsAdded(3)", "OnTimedBarsUpdated(3, 2)",
                                      "OnTimedBarsRemoved(2, 0)"}));
}

TEST_F(MarketDataTest, RequestSettingsAndOutputsAreJournaled) {
  Control::Instance().journal().Clear();
  SetMaxTickLimit(5);
  auto request = cel_->Call("CreateTicksRequest").Dispatch();
  request->Put("Limit", 10);
  EXPECT_EQ(request->Get("Limit").ToInt(), 5);  // kept as capped, journaled as written
  auto bars = cel_->Call("CreateTimedBarsRequest").Dispatch();
  EXPECT_TRUE(bars->Get("HistoricalPeriod").IsEmpty());
  bars->Call("IncludeOutput", {Variant(Constant("tbrContractVolume")), Variant(true)});
  auto entries = Control::Instance().journal().Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[1].object, "CQGTicksRequest");
  EXPECT_EQ(entries[1].args, std::vector<Variant>{Variant(10)});
  EXPECT_EQ(entries[3].member, "IncludeOutput");
  EXPECT_EQ(entries[3].kind, com::CallKind::Method);
}

// A push aimed at one of several live requests of a symbol reaches that one only; a
// request that does not exist is refused before anything changes.
TEST_F(MarketDataTest, TargetedPushesReachOneRequestOfTheSymbol) {
  SetTicksAnswer("F.US.EP", std::vector<TickData>{});
  SetTimedBarsAnswer("F.US.EP", std::vector<BarData>{BarAt(0, 1.0), BarAt(1, 1.0)});
  auto t0 = RequestTicks("F.US.EP", 10), t1 = RequestTicks("F.US.EP", 10);
  auto b0 = RequestBars("F.US.EP", 5, "pfds1Min"), b1 = RequestBars("F.US.EP", 5, "pfds1Min");
  Events(4);
  std::vector<TickData> one = {TickOf("tptAsk", 100.0, 2)};
  struct Case {
    const char* label;
    std::function<size_t(std::optional<size_t>)> push;
    com::DispatchPtr first, second;
  } cases[] = {
      {"ticks", [&](auto r) { return PushTicks(*sim_, "F.US.EP", one, r); }, t0, t1},
      {"bar", [&](auto r) { return PushTimedBar(*sim_, "F.US.EP", BarAt(2, 2.0), r); }, b0, b1},
      {"remove", [&](auto r) { return RemoveTimedBar(*sim_, "F.US.EP", 0, r); }, b0, b1},
  };
  for (const auto& c : cases) {
    int64_t first = c.first->Count(), second = c.second->Count();
    EXPECT_EQ(OnHome([&] { return c.push(1); }), 1u) << c.label;
    EXPECT_EQ(c.first->Count(), first) << c.label;
    EXPECT_NE(c.second->Count(), second) << c.label;
    EXPECT_EQ(log_->Take().size(), 1u) << c.label;
    EXPECT_THROW(OnHome([&] { return c.push(2); }), com::ComError) << c.label;
    EXPECT_EQ(c.first->Count(), first) << c.label;
    EXPECT_TRUE(log_->Take().empty()) << c.label;
    EXPECT_EQ(OnHome([&] { return c.push(std::nullopt); }), 2u) << c.label;
    log_->Take();
  }
  // Update: only request 0's newest bar is rewritten.
  EXPECT_EQ(OnHome([&] { return UpdateTimedBar(*sim_, "F.US.EP", -1, BarAt(9, 7.0), 0); }), 1u);
  auto newest = [](const com::DispatchPtr& bars) {
    return bars->Call("Item", {Variant(bars->Count() - 1)}).Dispatch()->Get("Close").ToDouble();
  };
  EXPECT_EQ(newest(b0), 7.0);
  EXPECT_EQ(newest(b1), 2.0);
}

// Tick fields carry what a server may send, unchanged in kind and value.
TEST_F(MarketDataTest, TickPriceAndVolumeKeepTheirKind) {
  struct Case {
    Variant price, volume;
  } cases[] = {{100.25, 2.5},
               {Variant(int32_t{-2147483647 - 1}), int64_t{3}},
               {-2147483648.0, 0.125},
               {99.0, Variant(int32_t{-2147483647 - 1})}};
  for (const auto& c : cases) {
    auto ticks = MakeTicks("F.US.EP", {TickData{Constant("tptBid"), c.price, c.volume, {}}});
    auto tick = ticks->Call("Item", {Variant(0)}).Dispatch();
    EXPECT_EQ(tick->Get("Price").type(), c.price.type()) << c.price.ToString();
    EXPECT_EQ(tick->Get("Price"), c.price);
    EXPECT_EQ(tick->Get("Volume").type(), c.volume.type()) << c.volume.ToString();
    EXPECT_EQ(tick->Get("Volume"), c.volume);
  }
}

// The zone the simulator's DATEs are in follows the live simulator's TimeZoneCode.
TEST_F(MarketDataTest, ServerZoneFollowsTheTimeZoneCode) {
  auto config = cel_->Get("APIConfiguration").Dispatch();
  EXPECT_EQ(com::DateZone(), "America/New_York");  // the simulator's own initial setting
  struct Case {
    const char* code;
    const char* zone;
  } cases[] = {{"tzChina", "Asia/Shanghai"},
               {"tzHongKong", "Asia/Hong_Kong"},
               {"tzJapan", "Asia/Tokyo"},
               {"tzCentral", "America/Chicago"},
               {"tzPacific", "America/Los_Angeles"},
               {"tzGreenwich", "Europe/London"}};
  for (const auto& c : cases) {
    config->Put("TimeZoneCode", Constant(c.code));
    EXPECT_EQ(config->Get("TimeZoneCode").ToInt(), Constant(c.code));
    EXPECT_EQ(com::DateZone(), c.zone) << c.code;
  }
  config->Put("TimeZoneCode", 12345);
  EXPECT_EQ(com::DateZone(), "") << "an unknown code: the machine's local zone";
  EXPECT_EQ(ZoneNameOf(Constant("tzChina")), "Asia/Shanghai");
}

}  // namespace
}  // namespace mx::cqgcel
