// Updater: the polling driver. Long-polls getUpdates on a thread of its own and hands
// every update to its Dispatcher, which runs the handlers on another thread.
//
// On start it learns the bot's username (getMe) so that commands addressed to other bots
// are told apart, then skips the backlog: updates that waited on the service from before
// the start are confirmed and dropped, never handled (getUpdates with offset -1 returns
// only the newest of them and makes the service forget the rest). From then on each poll
// asks for the updates after the last one received, so every update is handed on once.
//
// Faults: time-outs, connection failures and server errors are retried with a growing
// pause (backoff_initial doubling up to backoff_max); 429 waits the retry_after it is
// given; 401/404 (token refused), 409 (another poller or a webhook) and other refusals are
// reported once on standard error, then retried with backoff without further lines until
// polling works again.
//
// Thread-safety: start_polling() and stop() may be called from any thread, but not from a
// handler; stop() returns after both threads have ended, within milliseconds even during
// a long poll.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
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
  bool drop_pending_updates = true;
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

  // Starts the dispatcher and the polling thread and returns at once. No-op when running.
  void start_polling();
  // Ends polling and the dispatcher; idempotent.
  void stop();
  bool running() const;

  // Number of getUpdates answers received so far (every poll that came back, even empty).
  std::uint64_t polls_answered() const { return polls_answered_.load(); }

 private:
  void run();
  // Handles a failed request: reports it when due and waits before the next try.
  // Returns false when stop() cut the wait short.
  bool pause_after(const std::exception& error);

  std::shared_ptr<BotApiClient> bot_;
  PollingOptions options_;
  Reporter report_;
  Dispatcher dispatcher_;
  Interrupt interrupt_;

  mutable std::mutex mutex_;
  std::thread thread_;    // guarded by mutex_
  bool running_ = false;  // guarded by mutex_

  // Polling-thread state.
  std::chrono::milliseconds backoff_{0};
  std::string reported_;  // the kind of fault reported last; cleared by a good answer
  std::atomic<std::uint64_t> polls_answered_{0};
};

}  // namespace mx::telegram
