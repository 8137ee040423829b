#include "platform/com/apartment.h"

#include <cstdio>
#include <exception>

#include "platform/com/backend.h"
#include "platform/com/com_error.h"
#include "platform/com/spin.h"

namespace mx::com {
namespace {

struct ThreadApartment {
  std::shared_ptr<Apartment> apartment;
  int entered = 0;
  ~ThreadApartment() {
    if (apartment) apartment->Close();  // the thread ends without CoUninitialize
  }
};
thread_local ThreadApartment tls_apartment;

// A short spin before sleeping saves the sleep/wake cost of a quick round trip.
constexpr auto kSpin = std::chrono::microseconds(50);

}  // namespace

const std::chrono::microseconds backend::kRunSpin = kSpin;

Apartment::Apartment() : home_(std::this_thread::get_id()) {}

Apartment::~Apartment() { Close(); }

std::shared_ptr<Apartment> Apartment::Current() { return tls_apartment.apartment; }

std::shared_ptr<Apartment> Apartment::EnterCurrent() {
  auto& t = tls_apartment;
  if (!t.apartment) t.apartment.reset(new Apartment());
  ++t.entered;
  return t.apartment;
}

bool Apartment::LeaveCurrent() {
  auto& t = tls_apartment;
  if (!t.apartment) return false;
  if (--t.entered == 0) {
    t.apartment->Close();
    t.apartment.reset();
  }
  return true;
}

bool Apartment::Post(Task task, Task abandon) {
  {
    std::lock_guard lk(mu_);
    if (closed_) return false;
    queue_.push_back(Message{std::move(task), std::move(abandon), false, 0});
    posted_.fetch_add(1, std::memory_order_release);
  }
  cv_.notify_one();
  return true;
}

bool Apartment::PostAfter(std::chrono::nanoseconds delay, Task task) {
  {
    std::lock_guard lk(mu_);
    if (closed_) return false;
    timers_.push(Timer{std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay),
                       timer_seq_++, std::move(task)});
  }
  cv_.notify_one();
  return true;
}

bool Apartment::PostQuit(int exit_code) {
  {
    std::lock_guard lk(mu_);
    if (closed_) return false;
    queue_.push_back(Message{{}, {}, true, exit_code});
    posted_.fetch_add(1, std::memory_order_release);
  }
  cv_.notify_one();
  return true;
}

void Apartment::Notify() {
  { std::lock_guard lk(mu_); }
  cv_.notify_all();
}

void Apartment::MoveDueTimers(std::chrono::steady_clock::time_point now) {
  while (!timers_.empty() && timers_.top().due <= now) {
    queue_.push_back(Message{std::move(const_cast<Timer&>(timers_.top()).run), {}, false, 0});
    timers_.pop();
  }
}

void Apartment::InjectWaitFailure() {
  std::lock_guard lk(mu_);
  inject_failure_ = true;
  cv_.notify_all();
}

Apartment::WaitResult Apartment::MsgWaitForMultipleObjects(
    OsEvent& handle, std::optional<std::chrono::milliseconds> timeout) {
  if (!IsHomeThread() || handle.IsClosed()) return WaitResult::Failed;
  using clock = std::chrono::steady_clock;
  const auto deadline = timeout ? clock::now() + *timeout : clock::time_point::max();
  handle.AddWaiter(shared_from_this());
  WaitResult result = WaitResult::Failed;
  bool hooks_ran = false;
  std::unique_lock lk(mu_);
  for (;;) {
    if (closed_ || handle.IsClosed()) break;
    if (inject_failure_) {
      inject_failure_ = false;
      break;
    }
    if (handle.TryConsume()) {
      result = WaitResult::Signalled;
      break;
    }
    auto now = clock::now();
    MoveDueTimers(now);
    if (!queue_.empty()) {
      result = WaitResult::InputQueued;
      break;
    }
    if (now >= deadline) {
      result = WaitResult::Timeout;
      break;
    }
    if (!hooks_ran) {  // about to block: let the hooks drop what must not be held
      hooks_ran = true;
      uint64_t seen = posted_.load(std::memory_order_acquire);
      lk.unlock();
      RunIdleHooks();
      // Right after handling input, more tends to follow (a caller's next call): spin a
      // moment before sleeping. No timer ever wakes the thread; an idle one sleeps.
      SpinWhile(kSpin, [&] {
        return posted_.load(std::memory_order_acquire) == seen && !handle.IsSignalled();
      });
      lk.lock();
      continue;
    }
    auto wake = deadline;
    if (!timers_.empty() && timers_.top().due < wake) wake = timers_.top().due;
    if (wake == clock::time_point::max()) {
      cv_.wait(lk);
    } else {
      cv_.wait_until(lk, wake);
    }
  }
  lk.unlock();
  handle.RemoveWaiter(this);
  return result;
}

Apartment::PumpResult Apartment::PumpWaitingMessages() {
  PumpResult r;
  for (;;) {
    Message m;
    {
      std::lock_guard lk(mu_);
      MoveDueTimers(std::chrono::steady_clock::now());
      if (queue_.empty()) break;
      m = std::move(queue_.front());
      queue_.pop_front();
    }
    if (m.quit) {
      r.quit = true;
      r.exit_code = m.exit_code;
      break;
    }
    ++r.dispatched;
    try {
      m.run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "apartment: a posted task failed: %s\n", e.what());
    }
  }
  return r;
}

void Apartment::Close() {
  std::deque<Message> abandoned;
  {
    std::lock_guard lk(mu_);
    if (closed_) return;
    closed_ = true;
    abandoned.swap(queue_);
    while (!timers_.empty()) timers_.pop();
  }
  cv_.notify_all();
  if (IsHomeThread()) RunIdleHooks();
  for (auto& m : abandoned) {
    if (m.abandon) m.abandon();
  }
}

}  // namespace mx::com
