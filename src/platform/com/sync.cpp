#include "platform/com/sync.h"

#include <algorithm>

#include "platform/com/apartment.h"

namespace mx::com {

void ManualResetEvent::Set() {
  std::lock_guard lk(mu_);
  set_ = true;
  cv_.notify_all();
}

void ManualResetEvent::Clear() {
  std::lock_guard lk(mu_);
  set_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard lk(mu_);
  return set_;
}

void ManualResetEvent::Wait() {
  std::unique_lock lk(mu_);
  cv_.wait(lk, [this] { return set_; });
}

bool ManualResetEvent::Wait(double seconds) {
  std::unique_lock lk(mu_);
  if (seconds <= 0) return set_;
  auto d = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(std::min(seconds, 1e9)));
  return cv_.wait_for(lk, d, [this] { return set_; });
}

void OsEvent::Set() {
  signalled_.store(true);
  std::vector<std::weak_ptr<Apartment>> waiters;
  {
    std::lock_guard lk(mu_);
    waiters = waiters_;
    cv_.notify_all();
  }
  for (auto& w : waiters) {
    if (auto a = w.lock()) a->Notify();
  }
}

void OsEvent::Reset() { signalled_.store(false); }

bool OsEvent::TryConsume() {
  bool expected = true;
  return signalled_.compare_exchange_strong(expected, false);
}

void OsEvent::Close() {
  closed_.store(true, std::memory_order_release);
  Set();  // wake every wait so that it sees the closed handle
  signalled_.store(false);
}

bool OsEvent::Wait(std::optional<std::chrono::milliseconds> timeout) {
  std::unique_lock lk(mu_);
  auto ready = [this] { return IsClosed() || TryConsume(); };
  bool ok = timeout ? cv_.wait_for(lk, *timeout, ready) : (cv_.wait(lk, ready), true);
  return ok && !IsClosed();
}

void OsEvent::AddWaiter(const std::shared_ptr<Apartment>& a) {
  std::lock_guard lk(mu_);
  waiters_.push_back(a);
}

void OsEvent::RemoveWaiter(const Apartment* a) {
  std::lock_guard lk(mu_);
  std::erase_if(waiters_, [a](const std::weak_ptr<Apartment>& w) {
    auto p = w.lock();
    return !p || p.get() == a;
  });
}

}  // namespace mx::com
