// ManualResetEvent and OsEvent: the two kinds of event the COM host and the gateway use.
//
// ManualResetEvent: a flag with set, clear, is-set and wait (with or without a time-out);
// it starts clear and, once set, stays set until cleared.
// OsEvent: the CreateEvent stand-in (auto-reset, initially not signalled): Set wakes one
// wait (including an apartment's MsgWaitForMultipleObjects) and the wake consumes it.
// A closed OsEvent is an invalid handle: waits on it fail.
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
  void Set();
  void Reset();
  // Consumes the signal: true when it was signalled.
  bool TryConsume();
  bool IsClosed() const { return closed_.load(std::memory_order_acquire); }
  bool IsSignalled() const { return signalled_.load(std::memory_order_acquire); }
  void Close();
  // Plain wait outside an apartment; false on time-out or when closed.
  bool Wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

 private:
  friend class Apartment;
  void AddWaiter(const std::shared_ptr<Apartment>& a);
  void RemoveWaiter(const Apartment* a);

  std::atomic<bool> signalled_{false};
  std::atomic<bool> closed_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::weak_ptr<Apartment>> waiters_;  // guarded by mu_
};

}  // namespace mx::com
