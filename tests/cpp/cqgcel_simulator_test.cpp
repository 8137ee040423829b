#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "com_test_support.h"
#include "platform/com/com.h"
#include "platform/com/marshal.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {
namespace {

using com::Variant;
using namespace std::chrono_literals;

struct Log : com::IEventSink {
  std::mutex mu;
  std::vector<std::string> events;
  std::vector<std::string> errors;  // Code/Description of OnDataError's object
  void OnEvent(int, std::string_view name, com::Args args) override {
    std::lock_guard lk(mu);
    events.emplace_back(name);
    if (name == "OnDataError") {
      errors.push_back(args[0].IsEmpty() ? "none"
                                         : args[0].Dispatch()->Get("Code").ToString() + " " +
                                               args[0].Dispatch()->Get("Description").Text());
    }
  }
  std::vector<std::string> Events() {
    std::lock_guard lk(mu);
    return events;
  }
};

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Register();
    Control::Instance().Reset();
    com_ = std::make_unique<com::testing::ComThread>([this] {
      object_ = com::CreateObject(kProgId);
      connection_ = com::ConnectEvents(object_, log_);
    });
    cel_ = com::MakeProxy(object_, com_->apartment());
  }
  void TearDown() override {
    com_->apartment()->Run([this] { connection_.Disconnect(); });
    com_.reset();
    Control::Instance().Reset();
  }
  // Waits (bounded) until the log holds `n` events.
  std::vector<std::string> EventsAfter(size_t n) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (log_->Events().size() < n && std::chrono::steady_clock::now() < deadline) {
      com_->apartment()->Run([] {});  // a round trip lets posted answers run
    }
    return log_->Events();
  }

  std::shared_ptr<Log> log_ = std::make_shared<Log>();
  com::DispatchPtr object_;
  com::DispatchPtr cel_;
  com::Connection connection_;
  std::unique_ptr<com::testing::ComThread> com_;
};

TEST_F(SimulatorTest, StartupIsAnsweredAsScripted) {
  struct Case {
    const char* label;
    Answer answer;
    std::vector<std::string> events;
    std::vector<std::string> errors;
  } cases[] = {
      {"succeed", Answer::Succeed(), {"OnCELStarted"}, {}},
      {"fail", Answer::Fail(7, "no data"), {"OnDataError", "OnCELStarted"}, {"7 no data"}},
      {"fail without error",
       Answer::FailWithoutError("x"),
       {"OnDataError", "OnCELStarted"},
       {"none"}},
  };
  for (const auto& c : cases) {
    log_->events.clear();
    log_->errors.clear();
    Control::Instance().script().Set("Startup", c.answer);
    cel_->Call("Startup");
    EXPECT_EQ(EventsAfter(c.events.size()), c.events) << c.label;
    EXPECT_EQ(log_->errors, c.errors) << c.label;
  }
}

TEST_F(SimulatorTest, HeldAnswersWaitForRelease) {
  Control::Instance().script().Set("Startup", Answer::Hold());
  cel_->Call("Startup");
  com_->apartment()->Run([] {});
  EXPECT_TRUE(log_->Events().empty());
  EXPECT_EQ(Control::Instance().Release("Startup", Answer::Fail(3, "late")), 1u);
  EXPECT_EQ(EventsAfter(2), (std::vector<std::string>{"OnDataError", "OnCELStarted"}));
  EXPECT_EQ(Control::Instance().Release("Startup", Answer::Succeed()), 0u);
}

TEST_F(SimulatorTest, JournalRecordsCallsAndWritesInOrder) {
  auto configuration = cel_->Get("APIConfiguration").Dispatch();
  configuration->Put("UseOrderSide", true);
  configuration->Get("UseOrderSide");  // plain reads are not journaled
  cel_->Call("Shutdown");
  auto entries = Control::Instance().journal().Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].object, "APIConfiguration");
  EXPECT_EQ(entries[0].member, "UseOrderSide");
  EXPECT_EQ(entries[0].kind, com::CallKind::Put);
  EXPECT_EQ(entries[0].args, std::vector<Variant>{Variant(true)});
  EXPECT_EQ(entries[1].member, "Shutdown");
  EXPECT_EQ(entries[1].kind, com::CallKind::Method);
}

TEST_F(SimulatorTest, ControlRaisesEventsOnTheComThread) {
  Control::Instance().RaiseEvent("OnGWConnectionStatusChanged",
                                 {Variant(Constant("csConnectionUp"))}, true);
  EXPECT_EQ(log_->Events(), std::vector<std::string>{"OnGWConnectionStatusChanged"});
  EXPECT_THROW(Control::Instance().RaiseEvent("OnNothing", {}, true), std::invalid_argument);
  EXPECT_THROW(Control::Instance().RaiseEvent("OnIdle", {Variant(1)}, true), std::invalid_argument);
}

TEST(CelLibrary, EventsAndConstants) {
  EXPECT_EQ(CelEvents().size(), 104);
  EXPECT_EQ(CelEvents().DispId("OnLineTimeChanged"), 1);
  EXPECT_EQ(CelEvents().DispId("OnStrategyQuoteRequestResolved"), 104);
  EXPECT_EQ(EventArity(CelEvents().DispId("OnOrderChanged")), 5);
  EXPECT_EQ(EventArity(CelEvents().DispId("OnIdle")), 0);
  // Every name once; every value once.
  std::map<std::string, int32_t> seen;
  std::set<int32_t> values;
  for (const auto& [name, value] : CelTypeLibrary()->constants()) {
    EXPECT_TRUE(seen.emplace(name, value).second) << name;
    EXPECT_TRUE(values.insert(value).second) << name;
  }
}

// The server's numbers are unlike every table of the code (the interface's event order,
// the constants' seeds), so that a host assuming either breaks at once.
TEST(CelLibrary, TheServerNumbersUnlikeAnyTableInTheCode) {
  ASSERT_EQ(SimulatorEvents()->size(), kEventCount);
  for (const auto& [name, index] : CelEvents().members()) {
    EXPECT_NE(SimulatorEvents()->DispId(name), index) << name;
    EXPECT_GT(SimulatorEvents()->DispId(name), kEventCount) << name;
  }
  const std::pair<const char*, int32_t> seeds[] = {
#define CEL_CONSTANT(name, seed) {#name, seed},
#include "platform/cqgcel/interface/cel_constants.def"
  };
  std::set<int32_t> seed_values;
  for (const auto& [name, seed] : seeds) seed_values.insert(seed);
  for (const auto& [name, seed] : seeds) {
    EXPECT_EQ(seed_values.count(Constant(name)), 0u) << name << " keeps a seed's number";
  }
  // What a host reads: the library of the created object and its class's source events.
  Register();
  com::CoInitialize();
  auto cel = com::CreateObject(kProgId);
  EXPECT_EQ(com::TypeLibraryOf(cel), CelTypeLibrary());
  auto events = com::SourceEventsOf(cel);
  ASSERT_EQ(events.size(), static_cast<size_t>(kEventCount));
  EXPECT_EQ(events.front(), (com::EventInterface::Member{"OnLineTimeChanged", DispIdOf(1)}));
  cel.reset();
  com::CoUninitialize();
}

TEST(CelLibrary, CreationCanBeScriptedToFail) {
  Register();
  Control::Instance().script().Set("CreateObject", Answer::Fail(99, "licence missing"));
  com::testing::ComThread com([] {
    try {
      com::CreateObject(kProgId);
      ADD_FAILURE() << "created";
    } catch (const com::ComError& e) {
      EXPECT_EQ(e.code(), 99);
      EXPECT_STREQ(e.what(), "licence missing");
    }
  });
  Control::Instance().Reset();
}

}  // namespace
}  // namespace mx::cqgcel
