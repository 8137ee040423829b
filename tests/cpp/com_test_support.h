// A COM thread for the runtime tests: enters COM, runs a set-up task, then pumps until
// stopped (the same loop the COM host runs).
#pragma once

#include <functional>
#include <future>
#include <thread>

#include "platform/com/apartment.h"
#include "platform/com/com.h"

namespace mx::com::testing {

class ComThread {
 public:
  explicit ComThread(std::function<void()> setup = {}) {
    std::promise<std::shared_ptr<Apartment>> ready;
    auto got = ready.get_future();
    thread_ = std::thread([this, setup = std::move(setup), &ready] {
      CoInitialize();
      if (setup) setup();
      ready.set_value(Apartment::Current());
      auto apartment = Apartment::Current();
      for (;;) {
        auto r = apartment->MsgWaitForMultipleObjects(stop_, std::nullopt);
        if (r == Apartment::WaitResult::InputQueued) {
          if (apartment->PumpWaitingMessages().quit) break;
          continue;
        }
        break;
      }
      CoUninitialize();
    });
    apartment_ = got.get();
  }
  ~ComThread() { Stop(); }
  void Stop() {
    stop_.Set();
    if (thread_.joinable()) thread_.join();
  }
  const std::shared_ptr<Apartment>& apartment() const { return apartment_; }
  std::thread::id id() const { return apartment_->home(); }

 private:
  OsEvent stop_;
  std::thread thread_;
  std::shared_ptr<Apartment> apartment_;
};

}  // namespace mx::com::testing
