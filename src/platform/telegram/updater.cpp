#include "platform/telegram/updater.h"

#include <pthread.h>

#include <algorithm>

#include "platform/telegram/durations.h"
#include "platform/telegram/errors.h"

namespace mx::telegram {

namespace {

std::int64_t unix_seconds_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Updater::Updater(std::shared_ptr<BotApiClient> bot, PollingOptions options, Reporter report)
    : bot_(std::move(bot)),
      options_(std::move(options)),
      report_(std::move(report)),
      dispatcher_(*bot_, report_) {}

Updater::~Updater() { stop(); }

void Updater::start_polling() {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = true;
    generation = ++generation_;
    interrupt_.reset();
  }
  StartPoint start = skip_backlog();  // a request: made without holding the lock
  std::lock_guard lock(mutex_);
  if (!running_ || generation != generation_) return;  // stop() came meanwhile
  dispatcher_.start();
  thread_ = std::thread([this, start] { run(start); });
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

void Updater::report_skipped(const BotApiClient& bot, const UpdateBatch& batch,
                             const Reporter& report) {
  for (const SkippedUpdate& skipped : batch.skipped) {
    std::string line = "telegram: skipped an update that cannot be read (";
    if (skipped.update_id) line += "update_id " + std::to_string(*skipped.update_id) + ": ";
    line += skipped.reason + ")";
    report(bot.redact(line));
  }
}

Updater::StartPoint Updater::skip_backlog() {
  StartPoint start;
  if (!options_.drop_pending_updates) return start;
  const std::int64_t started_at = unix_seconds_now();
  GetUpdatesRequest newest;
  newest.offset = -1;  // the newest pending update only; the service forgets the older ones
  newest.timeout_seconds = 0;
  newest.allowed_updates = options_.allowed_updates;
  newest.request_timeout = options_.start_timeout;
  try {
    NextOffset next = next_offset(newest.offset, bot_->get_updates(newest, &interrupt_));
    if (next.confirmed_all) {
      start.offset = next.offset;
      return start;
    }
    throw ApiError(0, "the newest pending update has no update_id");
  } catch (const Cancelled&) {
    return start;  // stop() during the start: nothing will poll
  } catch (const std::exception& error) {
    report_(
        bot_->redact(std::string("telegram: could not skip the updates pending at the start (") +
                     error.what() + "); messages dated before the start are dropped instead."));
  }
  start.drop_dated_before = started_at;
  return start;
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
      pause = clamped_seconds(*api->retry_after(), options_.max_retry_after);
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

void Updater::run(StartPoint start) {
  pthread_setname_np(pthread_self(), "tg-poller");
  bool know_username = false;
  std::optional<std::int64_t> offset = start.offset;
  std::optional<std::int64_t> dated_before = start.drop_dated_before;

  GetUpdatesRequest request;
  request.allowed_updates = options_.allowed_updates;
  request.limit = 100;

  while (!interrupt_.cancelled()) {
    try {
      if (!know_username) {
        dispatcher_.set_bot_username(bot_->get_me(&interrupt_).username);
        know_username = true;
      }
      request.offset = offset;
      request.timeout_seconds = options_.poll_timeout_seconds;
      UpdateBatch batch = bot_->get_updates(request, &interrupt_);
      polls_answered_.fetch_add(1);
      backoff_ = std::chrono::milliseconds(0);
      if (!reported_.empty()) {
        report_("telegram: polling works again.");
        reported_.clear();
      }
      report_skipped(*bot_, batch, report_);
      NextOffset next = next_offset(offset, batch);
      offset = next.offset;
      if (dated_before) {
        std::erase_if(batch.updates, [&](const Update& update) {
          return update.message && update.message->date < *dated_before;
        });
        // An answer short of the limit held the rest of the backlog: later ones are new.
        if (batch.entries() < static_cast<std::size_t>(request.limit)) dated_before.reset();
      }
      if (!batch.updates.empty()) dispatcher_.post(std::move(batch.updates));
      if (!next.confirmed_all) {
        throw ApiError(0, "getUpdates answered an entry without an update_id to confirm");
      }
    } catch (const Cancelled&) {
      return;
    } catch (const std::exception& error) {
      if (!pause_after(error)) return;
    }
  }
}

}  // namespace mx::telegram
