// Apartment: a thread's message queue, the wait that wakes on a handle or on queued input,
// pumping, quit messages and timers (the single-threaded-apartment model of COM and Win32).
//
// A thread enters an apartment with CoInitialize and leaves it with CoUninitialize
// (com.h); objects it creates belong to it. Other threads post messages (tasks) to it;
// they run on the apartment's thread only while it pumps. Leaving the apartment (or the
// thread ending) closes it: queued messages are abandoned (their callers see
// "disconnected") and later posts are refused.
//
// Thread-safety: Post*, PostQuit, IsHomeThread, IsClosed, Close from any thread;
// MsgWaitForMultipleObjects and PumpWaitingMessages on the home thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/com/sync.h"

namespace mx::com {

class Apartment : public std::enable_shared_from_this<Apartment> {
 public:
  using Task = std::function<void()>;

  enum class WaitResult { Signalled, InputQueued, Timeout, Failed };
  struct PumpResult {
    bool quit = false;      // a quit message was among the dispatched messages
    int exit_code = 0;      // its code
    size_t dispatched = 0;  // messages run
  };

  // The calling thread's apartment, or nullptr when it has not entered one.
  static std::shared_ptr<Apartment> Current();

  // Queue a task; `abandon` runs instead (on whichever thread closes the apartment) when
  // the apartment closes before the task ran. False when the apartment is closed.
  bool Post(Task task, Task abandon = {});
  bool PostAfter(std::chrono::nanoseconds delay, Task task);
  bool PostQuit(int exit_code = 0);

  // Post `task` and wait for it to run; runs it at once on the home thread. An error the
  // task throws is rethrown here; a closed apartment throws ComError (disconnected).
  void Run(const Task& task);

  bool IsHomeThread() const { return std::this_thread::get_id() == home_; }
  bool IsClosed() const;
  std::thread::id home() const { return home_; }

  // MsgWaitForMultipleObjects on one handle with QS_ALLEVENTS: Signalled when `handle` is
  // (its signal consumed), InputQueued when a message or a due timer is waiting, Timeout,
  // or Failed (closed handle, wrong thread, closed apartment, or an injected failure).
  WaitResult MsgWaitForMultipleObjects(OsEvent& handle,
                                       std::optional<std::chrono::milliseconds> timeout);
  // Dispatches every waiting message (and messages they post) in order; stops at a quit
  // message, which it reports.
  PumpResult PumpWaitingMessages();

  // Called on the home thread just before it blocks in a wait, and when it closes (the
  // COM host releases the interpreter lock there).
  void AddIdleHook(Task hook);
  // Test hook: the next wait returns Failed.
  void InjectWaitFailure();

  // Refuse posts, abandon queued messages. Idempotent.
  void Close();

  ~Apartment();

 private:
  Apartment();
  void RunIdleHooks();

  const std::thread::id home_;
  mutable std::mutex mu_;
  bool closed_ = false;           // guarded by mu_
  bool inject_failure_ = false;   // guarded by mu_
  std::vector<Task> idle_hooks_;  // home thread only

#if defined(_WIN32)
  // Windows: the thread's own message queue is the queue. A task travels as a message to
  // a message-only window of the home thread and waits in `pending_` until it runs, so
  // that closing can abandon it; a quit is PostThreadMessage(WM_QUIT), in the same queue.
  friend struct ApartmentWindow;  // the window procedure (win/apartment.cpp)
  struct Pending {
    Task run;
    Task abandon;
  };
  unsigned long thread_id_ = 0;                    // the home thread's Win32 identifier
  void* window_ = nullptr;                         // HWND; created and destroyed on the home thread
  std::unordered_map<uint64_t, Pending> pending_;  // guarded by mu_
  std::unordered_map<uint64_t, Task> timers_;      // guarded by mu_
  uint64_t next_id_ = 1;                           // guarded by mu_
  size_t dispatched_ = 0;  // tasks run by the pump under way; home thread only
#else
  void Notify();                                                  // wake a wait
  void MoveDueTimers(std::chrono::steady_clock::time_point now);  // mu_ held

  struct Message {
    Task run;
    Task abandon;
    bool quit = false;
    int exit_code = 0;
  };
  struct Timer {
    std::chrono::steady_clock::time_point due;
    uint64_t seq;
    Task run;
    bool operator>(const Timer& o) const { return due != o.due ? due > o.due : seq > o.seq; }
  };

  friend class OsEvent;
  std::condition_variable cv_;
  std::deque<Message> queue_;                                                    // guarded by mu_
  std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer> > timers_;  // mu_
  uint64_t timer_seq_ = 0;                                                       // guarded by mu_
  std::atomic<uint64_t> posted_{0};                                              // messages ever posted (lets a wait spin unlocked)
#endif

 public:
  // Used by CoInitialize / CoUninitialize (com.h).
  static std::shared_ptr<Apartment> EnterCurrent();
  static bool LeaveCurrent();
};

}  // namespace mx::com
