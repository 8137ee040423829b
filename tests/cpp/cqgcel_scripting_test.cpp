// Scripted synchronous failures, member faults and read gates of the simulator's objects.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/com/com_error.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/member_faults.h"
#include "platform/cqgcel/script.h"
#include "platform/cqgcel/sim_accounts.h"

namespace mx::cqgcel {
namespace {

using namespace std::chrono_literals;

TEST(ScriptRaise, OnlyARaiseAnswerThrowsAndResetEndsIt) {
  Script script;
  script.Set("Place", Answer::Fail(5, "answered"));
  EXPECT_NO_THROW(script.RaiseIfScripted("Place"));  // a failed answer is an event, not a throw
  script.Set("Place", Answer::Raise(0, ""));
  try {
    script.RaiseIfScripted("Place");
    FAIL() << "no throw";
  } catch (const com::ComError& e) {
    EXPECT_EQ(e.code(), com::hresult::kFail);
    EXPECT_STREQ(e.what(), "Place failed");
  }
  EXPECT_NO_THROW(script.RaiseIfScripted("Cancel"));
  script.Reset();
  EXPECT_NO_THROW(script.RaiseIfScripted("Place"));
}

TEST(MemberFaults, WhereSelectsTheObjectAndUnknownNamesAreRefused) {
  auto& control = Control::Instance();
  control.Reset();
  SimPosition ep, enq;
  ep.instrument_name = "F.US.EP";
  enq.instrument_name = "F.US.ENQ";
  control.faults().Add(
      {"CQGPosition", "OTE", {{"InstrumentName", com::Variant("F.US.ENQ")}}, 9, "gone", nullptr});
  EXPECT_NO_THROW(ep.Invoke("OTE", com::CallKind::Get, {}));
  EXPECT_THROW(enq.Invoke("OTE", com::CallKind::Get, {}), com::ComError);
  EXPECT_NO_THROW(enq.Invoke("Quantity", com::CallKind::Get, {}));
  EXPECT_THROW(control.faults().Add({"CQGNothing", "OTE", {}, 0, "", nullptr}),
               std::invalid_argument);
  EXPECT_THROW(control.faults().Add({"CQGPosition", "Colour", {}, 0, "", nullptr}),
               std::invalid_argument);
  control.Reset();
  EXPECT_NO_THROW(enq.Invoke("OTE", com::CallKind::Get, {}));
}

TEST(ReadGate, HoldsTheReaderUntilOpenedOrItsDeadline) {
  auto gate = std::make_shared<ReadGate>(2s);
  std::thread reader([&] { gate->Arrive(); });
  ASSERT_TRUE(gate->WaitArrived(2s));
  gate->Open();
  reader.join();
  EXPECT_FALSE(gate->expired());
  gate->Arrive();  // open: passes at once
  EXPECT_EQ(gate->arrivals(), 2);

  ReadGate forgotten(20ms);
  auto start = std::chrono::steady_clock::now();
  forgotten.Arrive();
  EXPECT_TRUE(forgotten.expired());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace mx::cqgcel
