// Updater: the polling driver. Long-polls getUpdates on a thread of its own and hands
// every update to its Dispatcher, which runs the handlers on another thread.
//
// Backlog: updates that waited on the service from before the start are dropped, never
// handled; everything sent after the start is. start_polling() itself asks the service for
// the newest pending update only (getUpdates with offset -1, no wait), which makes the
// service forget the older ones, and polling starts after it, so a command sent the moment
// start_polling() has returned is served. When the service cannot be asked within
// start_timeout (it is down, or slow), start_polling() reports it and returns anyway;
// polling then drops the messages dated before the start instead (the service's clock
// against ours, to the second), until it has read the whole backlog.
//
// The polling thread learns the bot's username (getMe) before its first poll, so that
// commands addressed to other bots are told apart; then each poll asks for the updates
// after the last one received, so every update is handed on once. An entry of an answer
// that cannot be read is skipped with one line on standard error and confirmed like the
// others.
//
// Faults: time-outs, connection failures and server errors are retried with a growing
// pause (backoff_initial doubling up to backoff_max); 429 waits the retry_after it is
// given (at most max_retry_after); 401/404 (token refused), 409 (another poller or a
// webhook) and other refusals are reported once on standard error, then retried with
// backoff without further lines until polling works again.
//
// Thread-safety: start_polling() and stop() may be called from any thread, but not from a
// handler; stop() returns after both threads have ended, within milliseconds even during
// a long poll.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/telegram/bot_api_client.h"
#include "platform/telegram/dispatcher.h"
#include "platform/telegram/interrupt.h"

namespace mx::telegram {

struct PollingOptions {
  int poll_timeout_seconds = 10;  // long-poll time of each getUpdates
  std::chrono::milliseconds backoff_initial{250};
  std::chrono::milliseconds backoff_max{30000};
  std::chrono::milliseconds max_retry_after{std::chrono::hours(1)};  // longest 429 wait obeyed
  bool drop_pending_updates = true;
  std::chrono::milliseconds start_timeout{3000};  // bound of start_polling()'s one request
  std::vector<std::string> allowed_updates{"message"};
};

class Updater {
 public:
  Updater(std::shared_ptr<BotApiClient> bot, PollingOptions options = {},
          Reporter report = report_to_stderr);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  BotApiClient& bot() { return *bot_; }
  const std::shared_ptr<BotApiClient>& shared_bot() const { return bot_; }
  Dispatcher& dispatcher() { return dispatcher_; }

  // Skips the backlog (at most start_timeout), then starts the dispatcher and the polling
  // thread. No-op when running.
  void start_polling();
  // Ends polling and the dispatcher; idempotent.
  void stop();
  bool running() const;

  // Number of getUpdates answers received so far (every poll that came back, even empty).
  std::uint64_t polls_answered() const { return polls_answered_.load(); }

  // Reports the entries of an answer that were skipped, one line each.
  static void report_skipped(const BotApiClient& bot, const UpdateBatch& batch,
                             const Reporter& report);

 private:
  // Where polling begins: after the newest update pending at the start, or (when that
  // could not be learnt) from the oldest, dropping messages dated before `since`.
  struct StartPoint {
    std::optional<std::int64_t> offset;
    std::optional<std::int64_t> drop_dated_before;  // Unix seconds
  };
  StartPoint skip_backlog();
  void run(StartPoint start);
  // Handles a failed request: reports it when due and waits before the next try.
  // Returns false when stop() cut the wait short.
  bool pause_after(const std::exception& error);

  std::shared_ptr<BotApiClient> bot_;
  PollingOptions options_;
  Reporter report_;
  Dispatcher dispatcher_;
  Interrupt interrupt_;

  mutable std::mutex mutex_;
  std::thread thread_;            // guarded by mutex_
  bool running_ = false;          // guarded by mutex_
  std::uint64_t generation_ = 0;  // guarded by mutex_; counts start_polling() calls

  // Polling-thread state.
  std::chrono::milliseconds backoff_{0};
  std::string reported_;  // the kind of fault reported last; cleared by a good answer
  std::atomic<std::uint64_t> polls_answered_{0};
};

}  // namespace mx::telegram
