#include "platform/telegram/interrupt.h"

#include <curl/curl.h>

#include <algorithm>

namespace mx::telegram {

void Interrupt::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  // curl_multi_wakeup may be called from any thread; the handle stays alive while
  // registered, since detach() takes the same mutex.
  if (active_multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(active_multi_));
  woken_.notify_all();
}

void Interrupt::reset() {
  std::lock_guard lock(mutex_);
  cancelled_ = false;
}

bool Interrupt::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool Interrupt::wait_for(std::chrono::milliseconds duration) {
  // The condition variable adds the duration to the clock's time in nanoseconds: a
  // duration near the type's limit would overflow into a wait that ends at once.
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365);
  duration = std::clamp(duration, std::chrono::milliseconds(0), kLongest);
  std::unique_lock lock(mutex_);
  return !woken_.wait_for(lock, duration, [this] { return cancelled_; });
}

bool Interrupt::attach(void* multi_handle) {
  std::lock_guard lock(mutex_);
  if (cancelled_) return false;
  active_multi_ = multi_handle;
  return true;
}

void Interrupt::detach() {
  std::lock_guard lock(mutex_);
  active_multi_ = nullptr;
}

}  // namespace mx::telegram
