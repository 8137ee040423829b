// The parts of Apartment that both backends share: the cross-thread Run and the idle
// hooks. How a task reaches the home thread (Post) is each backend's own.
#include "platform/com/apartment.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "platform/com/backend.h"
#include "platform/com/com_error.h"
#include "platform/com/spin.h"

namespace mx::com {
namespace {

// One cross-thread call: the caller waits until the home thread finishes it. Finish
// notifies under the lock, so a waiter that has seen `done` may free it at once.
struct Completion {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;  // guarded by mu
  std::atomic<bool> finished{false};
  std::exception_ptr error;

  void Finish(std::exception_ptr e) {
    std::lock_guard lk(mu);
    error = std::move(e);
    done = true;
    finished.store(true, std::memory_order_release);
    cv.notify_one();
  }
  void Wait() {
    SpinWhile(backend::kRunSpin, [this] { return !finished.load(std::memory_order_acquire); });
    std::unique_lock lk(mu);  // also orders us after Finish's unlock
    cv.wait(lk, [this] { return done; });
  }
};

}  // namespace

void Apartment::Run(const Task& task) {
  if (IsHomeThread()) {
    task();
    return;
  }
  Completion done;
  bool posted = Post(
      [&] {
        std::exception_ptr error;
        try {
          task();
        } catch (...) {
          error = std::current_exception();
        }
        done.Finish(std::move(error));
      },
      [&] { done.Finish(std::make_exception_ptr(ComError::Disconnected())); });
  if (!posted) throw ComError::Disconnected();
  done.Wait();
  if (done.error) std::rethrow_exception(done.error);
}

bool Apartment::IsClosed() const {
  std::lock_guard lk(mu_);
  return closed_;
}

void Apartment::RunIdleHooks() {
  for (auto& hook : idle_hooks_) hook();
}

void Apartment::AddIdleHook(Task hook) { idle_hooks_.push_back(std::move(hook)); }

}  // namespace mx::com
