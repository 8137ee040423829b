#include "platform/telegram/updater.h"

#include <pthread.h>

#include <algorithm>

#include "platform/telegram/errors.h"

namespace mx::telegram {

Updater::Updater(std::shared_ptr<BotApiClient> bot, PollingOptions options, Reporter report)
    : bot_(std::move(bot)),
      options_(std::move(options)),
      report_(std::move(report)),
      dispatcher_(*bot_, report_) {}

Updater::~Updater() { stop(); }

void Updater::start_polling() {
  std::lock_guard lock(mutex_);
  if (running_) return;
  running_ = true;
  interrupt_.reset();
  dispatcher_.start();
  thread_ = std::thread([this] { run(); });
}

void Updater::stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    thread = std::move(thread_);
  }
  interrupt_.cancel();
  if (thread.joinable()) thread.join();
  dispatcher_.stop();
}

bool Updater::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

bool Updater::pause_after(const std::exception& error) {
  std::string kind = "network";
  std::string line;
  std::chrono::milliseconds pause = backoff_ == std::chrono::milliseconds(0)
                                        ? options_.backoff_initial
                                        : std::min(backoff_ * 2, options_.backoff_max);
  backoff_ = pause;

  if (const auto* api = dynamic_cast<const ApiError*>(&error)) {
    int code = api->error_code();
    kind = "api " + std::to_string(code);
    if (code == 429 && api->retry_after()) {
      pause = std::chrono::seconds(std::max<std::int64_t>(*api->retry_after(), 0));
      backoff_ = std::chrono::milliseconds(0);  // a rate limit is not a fault of the link
    } else if (code == 401 || code == 404) {
      line = "telegram: the Bot API refused the bot token (" + std::to_string(code) + ": " +
             api->what() + "); check TELEGRAM_TOKEN. Polling retries quietly.";
    } else if (code == 409) {
      line = std::string("telegram: getUpdates conflict (409: ") + api->what() +
             "): another program polls this bot, or a webhook is set. Polling retries quietly.";
    } else if (code >= 500 || code == 0) {
      line = std::string("telegram: the Bot API failed (") + api->what() + "); polling retries.";
    } else {
      line = "telegram: the Bot API refused getUpdates (" + std::to_string(code) + ": " +
             api->what() + "); polling retries quietly.";
    }
  } else {
    line = std::string("telegram: polling failed (") + error.what() + "); polling retries.";
  }
  if (!line.empty() && kind != reported_) {
    reported_ = kind;
    report_(bot_->redact(line));
  }
  return interrupt_.wait_for(pause);
}

void Updater::run() {
  pthread_setname_np(pthread_self(), "tg-poller");
  bool know_username = false;
  bool backlog_skipped = !options_.drop_pending_updates;
  std::optional<std::int64_t> offset;

  GetUpdatesRequest request;
  request.allowed_updates = options_.allowed_updates;
  request.limit = 100;

  while (!interrupt_.cancelled()) {
    try {
      if (!know_username) {
        dispatcher_.set_bot_username(bot_->get_me(&interrupt_).username);
        know_username = true;
      }
      if (!backlog_skipped) {
        GetUpdatesRequest newest = request;
        newest.offset = -1;
        newest.timeout_seconds = 0;
        auto backlog = bot_->get_updates(newest, &interrupt_);
        if (!backlog.empty()) offset = backlog.back().update_id + 1;
        backlog_skipped = true;
      }
      request.offset = offset;
      request.timeout_seconds = options_.poll_timeout_seconds;
      auto updates = bot_->get_updates(request, &interrupt_);
      polls_answered_.fetch_add(1);
      backoff_ = std::chrono::milliseconds(0);
      if (!reported_.empty()) {
        report_("telegram: polling works again.");
        reported_.clear();
      }
      for (const auto& update : updates) {
        // Advance past every update, in whatever order they came.
        offset = std::max(offset.value_or(update.update_id + 1), update.update_id + 1);
      }
      if (!updates.empty()) dispatcher_.post(std::move(updates));
    } catch (const Cancelled&) {
      return;
    } catch (const std::exception& error) {
      if (!pause_after(error)) return;
    }
  }
}

}  // namespace mx::telegram
