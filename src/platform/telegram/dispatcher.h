// Dispatcher: runs the handlers of received updates on a thread of its own, one at a time
// and in the order the updates arrived.
//
// A new message whose first entity is a bot command at offset 0 goes to the command
// handler registered under the command's name, provided the command is not addressed to
// another bot ("/name@OtherBot"); a command without a handler is dropped. A text message
// that is not a command goes to the message handler. Everything else (edited messages,
// channel posts, updates without a message, messages without text) is dropped, and so
// is any message the filter refuses. A handler that throws is reported on standard error
// (one line, token removed) and the next update is handled as usual.
//
// Thread-safety: register handlers and the filter before start(); post(), stop() and
// set_bot_username() may be called from any thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/telegram/bot_api_client.h"
#include "platform/telegram/interrupt.h"
#include "platform/telegram/update.h"

namespace mx::telegram {

// What a handler receives: the update, its message, the command's arguments (empty for
// the message handler), the client to answer with and the dispatcher's interrupt, which
// the handler passes to its client calls so that stop() can cut them short.
struct HandlerContext {
  const Update& update;
  const Message& message;
  const std::vector<std::string>& args;
  BotApiClient& bot;
  Interrupt& interrupt;
};

using Handler = std::function<void(const HandlerContext&)>;
using MessageFilter = std::function<bool(const Message&)>;
using Reporter = std::function<void(const std::string& line)>;

// Writes one line to standard error at once.
void report_to_stderr(const std::string& line);

class Dispatcher {
 public:
  explicit Dispatcher(BotApiClient& bot, Reporter report = report_to_stderr);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  void add_command_handler(const std::string& command, Handler handler);  // name without "/"
  void add_message_handler(Handler handler);
  void set_message_filter(MessageFilter filter);
  // The bot's own username (from getMe): commands addressed to any other name are not ours.
  void set_bot_username(std::string username);

  void start();
  // Ends the thread: the handler that runs is interrupted at its next client call (or
  // finishes), updates still queued are dropped. Idempotent.
  void stop();
  bool running() const;

  void post(std::vector<Update> updates);
  // Handles one update on the calling thread (the thread's body; tests use it directly).
  void process(const Update& update);

 private:
  void run();

  BotApiClient& bot_;
  Reporter report_;
  std::map<std::string, Handler> command_handlers_;  // set before start()
  Handler message_handler_;                          // set before start()
  MessageFilter filter_;                             // set before start()
  Interrupt interrupt_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Update> queue_;  // guarded by mutex_
  std::string username_;      // guarded by mutex_
  bool stopping_ = false;     // guarded by mutex_
  std::thread thread_;
};

}  // namespace mx::telegram
