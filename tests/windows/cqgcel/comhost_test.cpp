// The COM host's core against the registered CQGCEL server through real COM: its start
// and shutdown trace lines in order, a data error at start-up, a quit message, a
// creation failure, and a whole trading session with C++ sinks on the COM thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"
#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "gateways/cqg/wrapper/comhost/trace.h"
#include "platform/com/apartment.h"
#include "platform/com/com_error.h"
#include "sim_server.h"

namespace mx::comhost {
namespace {

using cqgcel::test::SimServer;

// A sink that records events (name, first argument) and the thread they arrive on.
struct SessionSink : CELSinkBase {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::pair<std::string, Variant>> seen;  // guarded by mu
  std::vector<std::thread::id> threads;               // guarded by mu
  Variant instrument, order_seen, fill;               // guarded by mu

  void Record(std::string name, Variant first = {}) {
    std::lock_guard lk(mu);
    seen.emplace_back(std::move(name), std::move(first));
    threads.push_back(std::this_thread::get_id());
    cv.notify_all();
  }
  void OnCELStarted() override { Record("OnCELStarted"); }
  void OnGWConnectionStatusChanged(const Variant& status) override {
    Record("OnGWConnectionStatusChanged", status);
  }
  void OnInstrumentResolved(const Variant& symbol, const Variant& cqgInstrument,
                            const Variant&) override {
    {
      std::lock_guard lk(mu);
      instrument =
          Variant(cqgInstrument.IsEmpty() ? "" : cqgInstrument.Dispatch()->Get("FullName").Text());
    }
    Record("OnInstrumentResolved", symbol);
  }
  void OnInstrumentChanged(const Variant& cqgInstrument, const Variant& quotes,
                           const Variant&) override {
    // Read on the COM thread, where the objects live.
    double price =
        quotes.Dispatch()->Call("Item", {int32_t{0}}).Dispatch()->Get("Price").ToDouble();
    (void)cqgInstrument;
    Record("OnInstrumentChanged", price);
  }
  void OnOrderChanged(const Variant& changeType, const Variant& cqgOrder, const Variant&,
                      const Variant& cqgFill, const Variant&) override {
    std::string line = std::to_string(changeType.ToInt32()) + " " +
                       cqgOrder.Dispatch()->Get("GUID").Text() + " " +
                       std::to_string(cqgOrder.Dispatch()->Get("GWStatus").ToInt32());
    if (!cqgFill.IsEmpty()) line += " fill " + cqgFill.Dispatch()->Get("Quantity").ToString();
    Record("OnOrderChanged", line);
  }

  // Waits (10 s at most) until `count` events named `name` have arrived.
  bool WaitFor(const std::string& name, size_t count = 1) {
    std::unique_lock lk(mu);
    return cv.wait_for(lk, std::chrono::seconds(10), [&] {
      return static_cast<size_t>(std::count_if(seen.begin(), seen.end(), [&](const auto& e) {
               return e.first == name;
             })) >= count;
    });
  }
  // Waits (10 s at most) for an order report equal to `line` (or starting with it).
  bool WaitForOrder(const std::string& line, bool prefix = false) {
    std::unique_lock lk(mu);
    return cv.wait_for(lk, std::chrono::seconds(10), [&] {
      return std::any_of(seen.begin(), seen.end(), [&](const auto& e) {
        return e.first == "OnOrderChanged" &&
               (prefix ? e.second.Text().rfind(line, 0) == 0 : e.second.Text() == line);
      });
    });
  }
  std::vector<std::string> Orders() {
    std::lock_guard lk(mu);
    std::vector<std::string> out;
    for (const auto& [name, value] : seen) {
      if (name == "OnOrderChanged") out.push_back(value.Text());
    }
    return out;
  }
};

// The trace lines written while `body` runs, without their thread prefix, each with
// "caller" or "COM" for the thread that wrote it.
std::vector<std::string> TraceOf(const std::function<uint64_t()>& body) {
  testing::internal::CaptureStdout();
  uint64_t com_thread = 0;
  try {
    com_thread = body();
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  std::istringstream in(testing::internal::GetCapturedStdout());
  const uint64_t caller = CurrentThreadId();
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto colon = line.find(": ");
    if (colon == std::string::npos) continue;
    uint64_t id = std::stoull(line.substr(0, colon));
    std::string who = id == caller ? "caller" : id == com_thread ? "COM" : "other";
    lines.push_back(who + " " + line.substr(colon + 2));
  }
  return lines;
}

class ComHostOverCom : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadCelTypeLibrary();
    SimServer::Instance().Reset();
  }
  void TearDown() override { SimServer::Instance().Reset(); }
};

TEST_F(ComHostOverCom, StartAndShutdownTraceInOrder) {
  auto sink = std::make_shared<SessionSink>();
  auto lines = TraceOf([&] {
    auto host = std::make_shared<ComHost>();
    host->Init([sink] { return sink; }, {});
    uint64_t id = host->threadId();
    host->Shutdown();
    return id;
  });
  const std::string pumping = "COM Starting message pumping..";
  auto at = std::find(lines.begin(), lines.end(), pumping);
  ASSERT_NE(at, lines.end());
  lines.erase(at);
  const std::vector<std::string> expected{"caller Waiting for CQGCEL creation..",
                                          "COM COM framework is initializing...",
                                          "COM COM framework is initialized!",
                                          "COM CQG.CQGCEL.4 creation...",
                                          "COM CQG.CQGCEL.4 created!",
                                          "COM Marshal CQGCEL in stream",
                                          "COM CQGCEL is marshaled in stream",
                                          "COM Internal sink subscription to events",
                                          "COM Internal sink ctor",
                                          "COM Internal sink subscribed",
                                          "COM Sink subscription to events",
                                          "COM Sink subscribed",
                                          "COM Internal sink is initialized",
                                          "caller CQGCEL is created!",
                                          "caller Marshaled CQGCEL from stream",
                                          "caller CQGCEL is marshaled from stream!",
                                          "caller CQGCEL default configuring...",
                                          "caller Startup CQGCEL..",
                                          "caller Waiting for CQGCEL start..",
                                          "COM SinkInternal: CELStarted!",
                                          "caller CQGCEL has started.",
                                          "caller CQGCEL is being shut down..",
                                          "COM COM framework is uninitializing...",
                                          "COM COM framework is uninitialized!",
                                          "caller CQGCEL is shut down."};
  EXPECT_EQ(lines, expected);
  ASSERT_TRUE(sink->WaitFor("OnCELStarted"));
}

TEST_F(ComHostOverCom, DataErrorAtStartupIsTracedAndFlagged) {
  SimServer::Instance().SetAnswer("Startup", "fail", 0, 7, "no market data");
  std::shared_ptr<ComHost> host;
  auto lines = TraceOf([&] {
    host = std::make_shared<ComHost>();
    host->Init([] { return std::make_shared<CELSinkBase>(); }, {});
    return host->threadId();
  });
  EXPECT_TRUE(host->errorHappened);
  auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("COM SinkInternal: OnDataError: Code: 7 Description: no market data"));
  EXPECT_TRUE(has("caller Error happened during CQGCEL start up!"));
  host->Shutdown();
}

TEST_F(ComHostOverCom, QuitMessageEndsTheComThreadAndShutdownStillReturns) {
  auto host = std::make_shared<ComHost>();
  host->Init([] { return std::make_shared<CELSinkBase>(); }, {});
  SimServer::Instance().PostQuit(3);
  // The COM thread leaves its pump, uninitialises and ends; Shutdown then only joins.
  auto lines = TraceOf([&] {
    host->Shutdown();
    return host->threadId();
  });
  EXPECT_EQ(lines.back(), "caller CQGCEL is shut down.");
  EXPECT_FALSE(host->thread.joinable());
}

TEST_F(ComHostOverCom, CreationFailureRaisesInInit) {
  SimServer::Instance().SetAnswer("CreateObject", "fail", 0, static_cast<int>(E_ACCESSDENIED),
                                  "licence expired");
  auto host = std::make_shared<ComHost>();
  try {
    host->Init([] { return std::make_shared<CELSinkBase>(); }, {});
    FAIL() << "Init returned";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot create CQG.CQGCEL.4: licence expired");
  }
  EXPECT_EQ(host->cqgCEL, nullptr);
  host->Shutdown();  // nothing to do, and no hang
}

// The host's DLLs and this program share one COM runtime, as the Python modules do: a
// sink here, called on the thread the host started, finds the apartment the host made
// there. (That they share one C++ runtime, so one numbering of thread ids, is what
// com_runtime_test's Apartment.RunWaitsForTheHomeThreadAndRethrows shows.)
TEST_F(ComHostOverCom, ModulesShareTheComThreadsApartment) {
  struct ApartmentSink : SessionSink {
    std::shared_ptr<com::Apartment> seen;  // guarded by mu
    std::thread::id ran_on;                // guarded by mu
    void OnCELStarted() override {
      {
        std::lock_guard lk(mu);
        seen = com::Apartment::Current();
        ran_on = std::this_thread::get_id();
      }
      SessionSink::OnCELStarted();
    }
  };
  auto sink = std::make_shared<ApartmentSink>();
  auto host = std::make_shared<ComHost>();
  host->Init([sink] { return sink; }, {});
  ASSERT_TRUE(sink->WaitFor("OnCELStarted"));
  {
    std::lock_guard lk(sink->mu);
    ASSERT_NE(sink->seen, nullptr);
    EXPECT_EQ(sink->seen->home(), sink->ran_on);
  }
  host->Shutdown();
}

TEST_F(ComHostOverCom, WholeSessionThroughRealCom) {
  auto sink = std::make_shared<SessionSink>();
  auto host = std::make_shared<ComHost>();
  host->Init([sink] { return sink; }, {});
  auto& sim = SimServer::Instance();
  auto cel = host->cqgCEL;
  const int up = CelTypeLibrary().Constant("csConnectionUp");

  cel->Call("GWLogon", {"trader", "secret"});
  ASSERT_TRUE(sink->WaitFor("OnGWConnectionStatusChanged"));
  EXPECT_EQ(sink->seen.back().second.ToInt32(), up);

  sim.DefineSymbol("F.US.EP");
  cel->Call("NewInstrument", {"EP"});
  ASSERT_TRUE(sink->WaitFor("OnInstrumentResolved"));
  EXPECT_EQ(sink->instrument.Text(), "F.US.EP");

  sim.PushQuote("EP", CelTypeLibrary().Constant("qtAsk"), 4321.5);
  ASSERT_TRUE(sink->WaitFor("OnInstrumentChanged"));
  EXPECT_DOUBLE_EQ(sink->seen.back().second.ToDouble(), 4321.5);

  // Objects read through the marshalled CQGCEL are proxies; passed back, they are the
  // server's own again.
  auto instrument = cel->Get("Instruments").Dispatch()->Call("Item", {int32_t{0}}).Dispatch();
  auto account = cel->Get("Accounts").Dispatch()->Call("Item", {int32_t{0}}).Dispatch();
  auto order = cel->Call("CreateOrder", {CelTypeLibrary().Constant("otLimit"), instrument, account,
                                         int32_t{2}, CelTypeLibrary().Constant("osdBuy"), 4300.0})
                   .Dispatch();
  const std::string guid = order->Get("GUID").Text();
  const auto tl = [](const char* name) { return std::to_string(CelTypeLibrary().Constant(name)); };
  const std::string added = tl("ctAdded") + " " + guid + " ";
  const std::string filled = tl("ctChanged") + " " + guid + " " + tl("osFilled") + " fill 2";
  order->Call("Place");
  ASSERT_TRUE(sink->WaitForOrder(added, true));
  sim.FillOrder(guid, 2, 4300.0);
  ASSERT_TRUE(sink->WaitForOrder(filled));

  auto cancel = cel->Call("CreateOrder", {CelTypeLibrary().Constant("otLimit"), instrument, account,
                                          int32_t{1}, CelTypeLibrary().Constant("osdSell"), 4400.0})
                    .Dispatch();
  const std::string cancel_guid = cancel->Get("GUID").Text();
  cancel->Call("Place");
  ASSERT_TRUE(sink->WaitForOrder(tl("ctChanged") + " " + cancel_guid + " " + tl("osInOrderBook")));
  cancel->Call("Cancel");
  ASSERT_TRUE(sink->WaitForOrder(tl("ctChanged") + " " + cancel_guid + " " + tl("osCanceled")));
  // The first report of each order is its ctAdded; the fill came once.
  auto orders = sink->Orders();
  auto first_of = [&](const std::string& id) {
    return *std::find_if(orders.begin(), orders.end(), [&](const std::string& line) {
      return line.find(id) != std::string::npos;
    });
  };
  EXPECT_EQ(first_of(guid).rfind(added, 0), 0u) << first_of(guid);
  EXPECT_EQ(first_of(cancel_guid).rfind(tl("ctAdded") + " " + cancel_guid, 0), 0u);
  EXPECT_EQ(std::count(orders.begin(), orders.end(), filled), 1);

  cel->Call("GWLogoff");
  ASSERT_TRUE(sink->WaitFor("OnGWConnectionStatusChanged", 2));
  EXPECT_EQ(sink->seen.back().second.ToInt32(), CelTypeLibrary().Constant("csConnectionDown"));

  // Every event arrived on the COM thread, never on this one.
  {
    std::lock_guard lk(sink->mu);
    for (auto id : sink->threads) EXPECT_EQ(id, host->thread.get_id());
  }
  host->Shutdown();
}

}  // namespace
}  // namespace mx::comhost
