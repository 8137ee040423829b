#include "plugins/sqlite3/statement_lock.h"

#include "plugins/sqlite3/sqlite_error.h"

namespace mx::sqlite {
namespace {

constexpr const char* kReentryMessage =
    "the db lock is already held by this thread; it is not reentrant";

}  // namespace

void StatementLock::acquire() {
  std::unique_lock guard(mutex_);
  if (locked_ && owner_ == std::this_thread::get_id()) throw LockReentryError(kReentryMessage);
  freed_.wait(guard, [this] { return !locked_; });
  locked_ = true;
  owner_ = std::this_thread::get_id();
}

bool StatementLock::try_acquire() {
  std::lock_guard guard(mutex_);
  if (locked_) return false;
  locked_ = true;
  owner_ = std::this_thread::get_id();
  return true;
}

bool StatementLock::wait_until_free(std::optional<std::chrono::steady_clock::duration> timeout) {
  std::unique_lock guard(mutex_);
  if (!timeout && locked_ && owner_ == std::this_thread::get_id()) {
    throw LockReentryError(kReentryMessage);
  }
  ++free_waiters_;
  bool free = timeout ? freed_.wait_for(guard, *timeout, [this] { return !locked_; })
                      : (freed_.wait(guard, [this] { return !locked_; }), true);
  --free_waiters_;
  return free;
}

bool StatementLock::release() {
  bool wake_all;
  {
    std::lock_guard guard(mutex_);
    if (!locked_) return false;
    locked_ = false;
    owner_ = std::thread::id();
    // A thread in wait_until_free does not take the lock, so a single wake-up could be
    // spent on it while a taker keeps sleeping: wake everyone when such threads wait.
    wake_all = free_waiters_ > 0;
  }
  if (wake_all) {
    freed_.notify_all();
  } else {
    freed_.notify_one();
  }
  return true;
}

bool StatementLock::locked() const {
  std::lock_guard guard(mutex_);
  return locked_;
}

bool StatementLock::held_by_this_thread() const {
  std::lock_guard guard(mutex_);
  return locked_ && owner_ == std::this_thread::get_id();
}

StatementLock& statement_lock() {
  // Never destroyed: a thread still waiting at process exit must not meet a dead lock.
  static StatementLock* lock = new StatementLock;
  return *lock;
}

}  // namespace mx::sqlite
