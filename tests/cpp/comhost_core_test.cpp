#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"
#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"

namespace mx::comhost {
namespace {

struct CppSink : CELSinkBase {
  std::atomic<int> started{0};
  std::atomic<int> status{-1};
  std::atomic<std::thread::id> thread{};
  void OnCELStarted() override {
    ++started;
    thread = std::this_thread::get_id();
  }
  void OnGWConnectionStatusChanged(const Variant& s) override { status = s.ToInt32(); }
  void OnIdle() override { throw std::runtime_error("idle failed"); }
};

class ComHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cqgcel::Register();
    LoadCelTypeLibrary();
    cqgcel::Control::Instance().Reset();
  }
  void TearDown() override { cqgcel::Control::Instance().Reset(); }
};

TEST_F(ComHostTest, StartsDeliversToACppSinkAndShutsDown) {
  auto host = std::make_shared<ComHost>();
  auto sink = std::make_shared<CppSink>();
  bool configured = false;
  auto returned =
      host->Init([sink] { return sink; },
                 [&](const com::DispatchPtr& c) { configured = c->Get("UseOrderSide").ToBool(); });
  EXPECT_EQ(returned, sink);
  EXPECT_TRUE(configured);  // the defaults were written first
  EXPECT_FALSE(host->errorHappened);
  cqgcel::Control::Instance().RaiseEvent("OnIdle", {}, true);  // traced, not fatal
  cqgcel::Control::Instance().RaiseEvent("OnGWConnectionStatusChanged", {Variant(2)}, true);
  // The start event reached this sink (after the internal one) before the events above.
  EXPECT_EQ(sink->started, 1);
  EXPECT_NE(sink->thread.load(), std::this_thread::get_id());
  EXPECT_EQ(sink->status, 2);
  host->Shutdown();
  host->Shutdown();
}

TEST_F(ComHostTest, DataErrorSetsTheFlagBeforeReleasingInit) {
  cqgcel::Control::Instance().script().Set("Startup", cqgcel::Answer::Fail(1, "down"));
  auto host = std::make_shared<ComHost>();
  host->Init([] { return std::make_shared<CELSinkBase>(); }, {});
  EXPECT_TRUE(host->errorHappened);
  host->Shutdown();
}

TEST_F(ComHostTest, PreparationFailureRaisesInInit) {
  auto host = std::make_shared<ComHost>();
  EXPECT_THROW(
      host->Init(
          []() -> std::shared_ptr<com::IEventSink> { throw std::runtime_error("no sink for you"); },
          {}),
      std::runtime_error);
  EXPECT_THROW(host->Init([] { return std::make_shared<CELSinkBase>(); }, {}), std::runtime_error);
  host->Shutdown();
  EXPECT_EQ(host->cqgCEL, nullptr);
}

TEST_F(ComHostTest, StopAllEndsHostsNeverShutDown) {
  auto host = std::make_shared<ComHost>();
  host->Init([] { return std::make_shared<CELSinkBase>(); }, {});
  ComHost::StopAll();
  EXPECT_FALSE(host->thread.joinable());
}

}  // namespace
}  // namespace mx::comhost
