// Interrupt: lets one thread abandon another thread's request or wait at once.
//
// A request in flight (HttpTransport::post_json) registers its libcurl multi handle here;
// cancel() wakes that handle's poll so the request ends within microseconds instead of
// at the end of a long poll. wait_for() is a sleep that cancel() cuts short.
// Thread-safety: every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mx::telegram {

class Interrupt {
 public:
  // Marks the interrupt cancelled, wakes the request in flight and every wait_for().
  void cancel();
  // Clears the cancelled mark so the owner can be started again.
  void reset();
  bool cancelled() const;
  // Sleeps for `duration` (negative: not at all; at most a year) unless cancelled first;
  // returns false when cancelled.
  bool wait_for(std::chrono::milliseconds duration);

  // Used by HttpTransport around a request: registers the libcurl multi handle that
  // cancel() must wake (false when already cancelled), and removes it again.
  bool attach(void* multi_handle);
  void detach();

 private:
  mutable std::mutex mutex_;
  std::condition_variable woken_;
  bool cancelled_ = false;        // guarded by mutex_
  void* active_multi_ = nullptr;  // CURLM*, guarded by mutex_
};

}  // namespace mx::telegram
