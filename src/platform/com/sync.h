// ManualResetEvent and OsEvent: the two kinds of event the COM host and the gateway use.
//
// ManualResetEvent: a flag with set, clear, is-set and wait (with or without a time-out);
// it starts clear and, once set, stays set until cleared.
// OsEvent: an auto-reset event, initially not signalled (a Win32 event made by CreateEvent
// on Windows, its stand-in elsewhere): Set wakes one wait (including an apartment's
// MsgWaitForMultipleObjects) and the wake consumes it. A closed OsEvent is an invalid
// handle: waits on it fail.
//
// Thread-safety: every operation of both may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace mx::com {

class Apartment;

class ManualResetEvent {
 public:
  void Set();
  void Clear();
  bool IsSet() const;
  void Wait();
  // True when the flag is or becomes set within `seconds`.
  bool Wait(double seconds);

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;  // guarded by mu_
};

class OsEvent {
 public:
#if defined(_WIN32)
  OsEvent();
  ~OsEvent();
  OsEvent(const OsEvent&) = delete;
  OsEvent& operator=(const OsEvent&) = delete;
#endif
  void Set();
  void Reset();
  // Consumes the signal: true when it was signalled.
  bool TryConsume();
  bool IsClosed() const { return closed_.load(std::memory_order_acquire); }
#if defined(_WIN32)
  bool IsSignalled() const;
#else
  bool IsSignalled() const { return signalled_.load(std::memory_order_acquire); }
#endif
  void Close();
  // Plain wait outside an apartment; false on time-out or when closed.
  bool Wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

 private:
  friend class Apartment;
#if defined(_WIN32)
  // Two Win32 events: the auto-reset one that Set signals, and a manual-reset one that
  // Close signals so that every wait wakes and fails. Both handles live until destruction
  // (closing a handle that a wait is using is undefined in Win32).
  void* event_;
  void* closed_event_;
  std::atomic<bool> closed_{false};
#else
  void AddWaiter(const std::shared_ptr<Apartment>& a);
  void RemoveWaiter(const Apartment* a);

  std::atomic<bool> signalled_{false};
  std::atomic<bool> closed_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::weak_ptr<Apartment> > waiters_;  // guarded by mu_
#endif
};

}  // namespace mx::com
