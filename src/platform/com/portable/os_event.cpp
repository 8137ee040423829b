#include "platform/com/sync.h"

#include <algorithm>

#include "platform/com/apartment.h"

namespace mx::com {

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
