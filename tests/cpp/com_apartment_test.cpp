#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "com_test_support.h"
#include "platform/com/apartment.h"
#include "platform/com/com.h"
#include "platform/com/com_error.h"

namespace mx::com {
namespace {

using namespace std::chrono_literals;
using WaitResult = Apartment::WaitResult;

class ApartmentTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitialize(); }
  void TearDown() override { CoUninitialize(); }
  Apartment& here() { return *Apartment::Current(); }
  OsEvent handle;
};

TEST_F(ApartmentTest, WaitWakesOnTheHandleOrOnQueuedInput) {
  EXPECT_EQ(here().MsgWaitForMultipleObjects(handle, 1ms), WaitResult::Timeout);
  handle.Set();
  EXPECT_EQ(here().MsgWaitForMultipleObjects(handle, 1ms), WaitResult::Signalled);
  EXPECT_EQ(here().MsgWaitForMultipleObjects(handle, 1ms), WaitResult::Timeout);  // auto-reset
  auto self = Apartment::Current();
  std::thread([&] { self->Post([] {}); }).join();
  EXPECT_EQ(here().MsgWaitForMultipleObjects(handle, std::nullopt), WaitResult::InputQueued);
  here().PumpWaitingMessages();
  std::thread setter([&] {
    std::this_thread::sleep_for(5ms);
    handle.Set();
  });
  EXPECT_EQ(here().MsgWaitForMultipleObjects(handle, std::nullopt), WaitResult::Signalled);
  setter.join();
}

TEST_F(ApartmentTest, UnexpectedResults) {
  here().InjectWaitFailure();
  EXPECT_EQ(here().MsgWaitForMultipleObjects(handle, std::nullopt), WaitResult::Failed);
  WaitResult other_thread;
  auto self = Apartment::Current();
  std::thread([&] { other_thread = self->MsgWaitForMultipleObjects(handle, 1ms); }).join();
  EXPECT_EQ(other_thread, WaitResult::Failed);
  OsEvent closed;
  closed.Close();
  EXPECT_EQ(here().MsgWaitForMultipleObjects(closed, std::nullopt), WaitResult::Failed);
}

TEST_F(ApartmentTest, PumpRunsEverythingInOrderAndStopsAtQuit) {
  std::vector<int> ran;
  here().Post([&] {
    ran.push_back(1);
    here().Post([&] { ran.push_back(3); });  // posted while pumping: same pump
  });
  here().Post([&] { ran.push_back(2); });
  auto r = here().PumpWaitingMessages();
  EXPECT_FALSE(r.quit);
  EXPECT_EQ(r.dispatched, 3u);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));

  here().Post([&] { ran.push_back(4); });
  here().PostQuit(9);
  here().Post([&] { ran.push_back(5); });
  r = here().PumpWaitingMessages();
  EXPECT_TRUE(r.quit);
  EXPECT_EQ(r.exit_code, 9);
  EXPECT_EQ(ran.back(), 4);  // the message after the quit waits for the next pump
  here().PumpWaitingMessages();
  EXPECT_EQ(ran.back(), 5);
}

TEST_F(ApartmentTest, TimersBecomeInputWhenDue) {
  bool fired = false;
  here().PostAfter(5ms, [&] { fired = true; });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(here().MsgWaitForMultipleObjects(handle, 2s), WaitResult::InputQueued);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 5ms);
  here().PumpWaitingMessages();
  EXPECT_TRUE(fired);
}

TEST_F(ApartmentTest, IdleHooksRunBeforeBlocking) {
  int hooks = 0;
  here().AddIdleHook([&] { ++hooks; });
  here().Post([] {});
  here().MsgWaitForMultipleObjects(handle, 1ms);  // input was there: no block
  EXPECT_EQ(hooks, 0);
  here().PumpWaitingMessages();
  here().MsgWaitForMultipleObjects(handle, 1ms);
  EXPECT_EQ(hooks, 1);
}

TEST(Apartment, RunWaitsForTheHomeThreadAndRethrows) {
  testing::ComThread com;
  std::thread::id ran_on;
  com.apartment()->Run([&] { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, com.id());
  EXPECT_THROW(com.apartment()->Run([] { throw ComError(5, "boom"); }), ComError);
}

TEST(Apartment, ClosingAbandonsQueuedCallsAndRefusesNewOnes) {
  std::promise<std::shared_ptr<Apartment>> entered;
  std::promise<void> leave;
  std::thread home([&] {
    entered.set_value(Apartment::EnterCurrent());
    leave.get_future().wait();  // nobody pumps; then the thread leaves COM
    Apartment::LeaveCurrent();
  });
  std::shared_ptr<Apartment> apartment = entered.get_future().get();
  std::atomic<bool> ran{false};
  std::thread caller([&] {
    try {
      apartment->Run([&] { ran = true; });
      ADD_FAILURE() << "the call returned normally";
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), hresult::kDisconnected);
    }
  });
  // Whether the call is still queued when the home leaves, or is posted after: disconnected.
  leave.set_value();
  caller.join();
  home.join();
  EXPECT_FALSE(ran);
  EXPECT_FALSE(apartment->Post([] {}));
  EXPECT_THROW(apartment->Run([] {}), ComError);
}

TEST(ManualResetEvent, StaysSetUntilCleared) {
  ManualResetEvent e;
  EXPECT_FALSE(e.Wait(0.001));
  std::thread setter([&] { e.Set(); });
  EXPECT_TRUE(e.Wait(5.0));
  setter.join();
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(0.0));
  e.Clear();
  EXPECT_FALSE(e.IsSet());
}

}  // namespace
}  // namespace mx::com
