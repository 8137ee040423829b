// The process-wide, non-reentrant lock that serialises every statement of every database
// connection of the db plug-in (and its closings).
//
// A binary lock like Python's threading.Lock: any thread may release it, and it remembers
// which thread took it last so that a thread asking again for a lock it holds gets a
// LockReentryError at once instead of waiting for ever. Thread-safe.
//
// Callers that hold Python's GIL must not wait here: wait_until_free() lets them wait
// (GIL released) without taking the lock, then try_acquire() with the GIL held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace mx::sqlite {

class StatementLock {
 public:
  StatementLock() = default;
  StatementLock(const StatementLock&) = delete;
  StatementLock& operator=(const StatementLock&) = delete;

  // Waits until the lock is free and takes it. Throws LockReentryError when the calling
  // thread holds it already.
  void acquire();
  // Takes the lock if it is free; never waits.
  bool try_acquire();
  // Waits until the lock is free without taking it; a `timeout` bounds the wait. Returns
  // whether it was seen free. Throws LockReentryError when the caller holds it and would
  // wait for ever.
  bool wait_until_free(std::optional<std::chrono::steady_clock::duration> timeout);
  // Releases the lock; returns false (and changes nothing) when it was not held.
  bool release();

  bool locked() const;
  bool held_by_this_thread() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  bool locked_ = false;    // guarded by mutex_
  std::thread::id owner_;  // guarded by mutex_: the thread that took it last
  int free_waiters_ = 0;   // guarded by mutex_: threads in wait_until_free
};

// The lock shared by every database of the process.
StatementLock& statement_lock();

// Holds `lock` for a scope.
class StatementLockGuard {
 public:
  explicit StatementLockGuard(StatementLock& lock) : lock_(lock) { lock_.acquire(); }
  ~StatementLockGuard() { lock_.release(); }
  StatementLockGuard(const StatementLockGuard&) = delete;
  StatementLockGuard& operator=(const StatementLockGuard&) = delete;

 private:
  StatementLock& lock_;
};

}  // namespace mx::sqlite
