#include "platform/com/sync.h"

#include <algorithm>

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

}  // namespace mx::com
