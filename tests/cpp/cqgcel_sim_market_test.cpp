// The simulator's market mode: the clock driven by apartment timers gives exactly the
// ticks that a stepped clock gives, at any speed, and a market running flat out still
// lets calls from other threads through.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "com_test_support.h"
#include "platform/com/com.h"
#include "platform/com/marshal.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {
namespace {

using com::Variant;
using namespace std::chrono_literals;

// (timestamp, price type, price, volume) of every tick added to a collection.
using TickRow = std::tuple<std::string, int64_t, double, int64_t>;

struct TickLog : com::IEventSink {
  std::mutex mu;
  std::vector<TickRow> ticks;
  int resolved = 0;
  void OnEvent(int, std::string_view name, com::Args args) override {
    if (name == "OnTicksResolved") {
      std::lock_guard lk(mu);
      ++resolved;
      return;
    }
    if (name != "OnTicksAdded") return;
    const auto& collection = args[0].Dispatch();
    int64_t count = collection->Count();
    int64_t added = args[1].ToInt();
    std::lock_guard lk(mu);
    for (int64_t i = count - added; i < count; ++i) {
      auto tick = collection->Call("Item", {Variant(i)}).Dispatch();
      ticks.emplace_back(tick->Get("Timestamp").ToString(), tick->Get("PriceType").ToInt(),
                         tick->Get("Price").ToDouble(), tick->Get("Volume").ToInt());
    }
  }
  std::vector<TickRow> Ticks() {
    std::lock_guard lk(mu);
    return ticks;
  }
  int Resolved() {
    std::lock_guard lk(mu);
    return resolved;
  }
};

MarketSettings Settings(double speed) {
  MarketSettings s;
  s.config.seed = 42;
  s.config.start_time = market::MakeTime(2024, 5, 6, 9, 30);
  s.config.history = market::kMicrosPerDay / 24;
  market::InstrumentSpec ep;
  ep.full_name = "F.US.EP";
  ep.update_interval = 100'000;
  s.instruments = {ep};
  s.accounts = {{300001, "PAPER", 100'000.0}};
  s.speed = speed;
  return s;
}

class SimMarketTest : public ::testing::Test {
 protected:
  void Start(double speed) {
    Register();
    Control::Instance().Reset();
    MarketSettingsStore::Instance().Set(Settings(speed));
    com_ = std::make_unique<com::testing::ComThread>([this] {
      object_ = com::CreateObject(kProgId);
      connection_ = com::ConnectEvents(object_, log_);
    });
    cel_ = com::MakeProxy(object_, com_->apartment());
    sim_ = Control::Instance().Live();
    ASSERT_TRUE(sim_);
  }
  void TearDown() override {
    Control::Instance().Reset();
    if (com_) {
      com_->apartment()->Run([this] { connection_.Disconnect(); });
      sim_.reset();
      cel_.reset();
      object_.reset();
      com_.reset();
    }
  }
  void RequestTicks(const char* symbol) {
    auto request = cel_->Call("CreateTicksRequest").Dispatch();
    request->Put("Symbol", Variant(symbol));
    request->Put("Limit", Variant(int32_t{10}));
    cel_->Call("RequestTicks", {Variant(request)});
  }
  template <class Pred>
  bool WaitFor(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // The ticks of a stepped market (speed 0, AdvanceBy) from its start for `seconds`.
  std::vector<TickRow> SteppedTicks(double seconds) {
    Start(0.0);
    RequestTicks("EP");
    EXPECT_TRUE(WaitFor([&] { return log_->Resolved() == 1; }));
    sim_->RunOnHome([&] { MarketOf(*sim_)->AdvanceBy(seconds); });
    auto ticks = log_->Ticks();
    TearDown();
    return ticks;
  }
  market::SimTime MarketNow() {
    market::SimTime now = 0;
    sim_->RunOnHome([&] { now = MarketOf(*sim_)->market().Now(); });
    return now;
  }

  std::shared_ptr<TickLog> log_ = std::make_shared<TickLog>();
  com::DispatchPtr object_, cel_;
  com::Connection connection_;
  std::unique_ptr<com::testing::ComThread> com_;
  std::shared_ptr<Simulator> sim_;
};

TEST_F(SimMarketTest, TheRunningClockGivesTheTicksOfTheSteppedClockAtEverySpeed) {
  const market::SimTime start = Settings(0).config.start_time;
  for (double speed : {50.0, 2000.0, std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(speed);
    log_ = std::make_shared<TickLog>();  // a fresh log for each market
    Start(speed);
    RequestTicks("F.US.EP");
    ASSERT_TRUE(WaitFor([&] { return log_->Ticks().size() >= 300; }, 20s));
    MarketSettingsStore::Instance().Clear();  // stops the clock
    const market::SimTime stopped = MarketNow();
    const auto ticks = log_->Ticks();
    TearDown();

    log_ = std::make_shared<TickLog>();
    const auto reference = SteppedTicks(static_cast<double>(stopped - start) / 1e6);
    // The running market subscribed a little later: its ticks are the reference's last.
    ASSERT_GE(reference.size(), ticks.size());
    EXPECT_TRUE(std::equal(ticks.begin(), ticks.end(),
                           reference.end() - static_cast<ptrdiff_t>(ticks.size())));
  }
}

TEST_F(SimMarketTest, AMarketRunningFlatOutStillServesOtherThreads) {
  Start(std::numeric_limits<double>::infinity());
  RequestTicks("EP");
  ASSERT_TRUE(WaitFor([&] { return log_->Ticks().size() > 1000; }));
  std::vector<std::chrono::steady_clock::duration> round_trips;
  for (int i = 0; i < 50; ++i) {
    auto start = std::chrono::steady_clock::now();
    cel_->Get("IsStarted");
    round_trips.push_back(std::chrono::steady_clock::now() - start);
  }
  std::sort(round_trips.begin(), round_trips.end());
  // A tick runs the market for a few milliseconds at most before calls get their turn.
  EXPECT_LT(round_trips[round_trips.size() / 2], 100ms);
  EXPECT_LT(round_trips.back(), 1000ms);
}

}  // namespace
}  // namespace mx::cqgcel
