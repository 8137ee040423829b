#include "platform/telegram/dispatcher.h"

#include <pthread.h>

#include <cstdio>
#include <exception>

#include "platform/telegram/command.h"
#include "platform/telegram/errors.h"

namespace mx::telegram {

void report_to_stderr(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

Dispatcher::Dispatcher(BotApiClient& bot, Reporter report)
    : bot_(bot), report_(std::move(report)) {}

Dispatcher::~Dispatcher() { stop(); }

void Dispatcher::add_command_handler(const std::string& command, Handler handler) {
  command_handlers_[command] = std::move(handler);
}

void Dispatcher::add_message_handler(Handler handler) { message_handler_ = std::move(handler); }

void Dispatcher::set_message_filter(MessageFilter filter) { filter_ = std::move(filter); }

void Dispatcher::set_bot_username(std::string username) {
  std::lock_guard lock(mutex_);
  username_ = std::move(username);
}

void Dispatcher::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  interrupt_.reset();
  thread_ = std::thread([this] { run(); });
}

void Dispatcher::stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
    thread = std::move(thread_);
  }
  interrupt_.cancel();
  wake_.notify_all();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // stop() called by a handler: the thread ends when the handler returns
    } else {
      thread.join();
    }
  }
}

bool Dispatcher::running() const {
  std::lock_guard lock(mutex_);
  return thread_.joinable() && !stopping_;
}

void Dispatcher::post(std::vector<Update> updates) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    for (auto& update : updates) queue_.push_back(std::move(update));
  }
  wake_.notify_one();
}

void Dispatcher::run() {
  pthread_setname_np(pthread_self(), "tg-dispatcher");
  for (;;) {
    Update update;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      update = std::move(queue_.front());
      queue_.pop_front();
    }
    process(update);
  }
}

void Dispatcher::process(const Update& update) {
  if (!update.message) return;  // edited messages and other kinds are not acted on
  const Message& message = *update.message;
  if (filter_ && !filter_(message)) return;

  const Handler* handler = nullptr;
  std::string what;
  std::vector<std::string> args;
  if (auto call = parse_command(message)) {
    std::string username;
    {
      std::lock_guard lock(mutex_);
      username = username_;
    }
    if (!addressed_to(*call, username)) return;
    auto it = command_handlers_.find(call->name);
    if (it == command_handlers_.end()) return;
    handler = &it->second;
    what = "/" + call->name;
    args = std::move(call->args);
  } else if (message.text && message_handler_) {
    handler = &message_handler_;
    what = "text messages";
  }
  if (handler == nullptr) return;

  try {
    (*handler)(HandlerContext{update, message, args, bot_, interrupt_});
  } catch (const Cancelled&) {
    // stop() cut the handler short: nothing to report.
  } catch (const std::exception& error) {
    report_(bot_.redact("telegram: the handler of " + what + " failed: " + error.what()));
  } catch (...) {
    report_("telegram: the handler of " + what + " failed with an unknown error");
  }
}

}  // namespace mx::telegram
