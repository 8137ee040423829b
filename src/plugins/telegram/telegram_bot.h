// TelegramBot: the bot service. Builds the client with its request record, the polling
// driver and the chat commands, and starts polling; the engine then reads and clears the
// record and answers through send_message.
//
// Commands and text are served only from the configured chat; other chats get no reply.
// Thread-safety: every member may be called from any thread except the dispatcher's.
// Destruction closes the bot.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/telegram/updater.h"
#include "plugins/telegram/customed_ext_bot.h"

namespace mx::bot {

struct BotSettings {
  std::string base_url{telegram::kDefaultBaseUrl};
  std::int64_t chat_id = 0;  // the chat served, and the default destination of send_message
  telegram::PollingOptions polling{};
};

class TelegramBot {
 public:
  // Throws std::invalid_argument for a malformed token (the text does not quote it).
  // Returns once polling has started: after one short request that skips the backlog (at
  // most settings.polling.start_timeout, see Updater::start_polling).
  TelegramBot(std::string token, BotSettings settings);
  ~TelegramBot();
  TelegramBot(const TelegramBot&) = delete;
  TelegramBot& operator=(const TelegramBot&) = delete;

  telegram::Updater& updater() { return *updater_; }
  CustomedExtBot& client() { return *client_; }
  std::int64_t chat_id() const { return settings_.chat_id; }

  // Throws telegram::ApiError (the service's description) or telegram::NetworkError.
  void send_message(std::string_view text, std::int64_t chat_id, bool silent = false);
  // Uploads a photo (an image file's bytes) with a caption, under `filename` (empty: named
  // by its kind); errors as send_message's, and std::invalid_argument for a photo or
  // caption beyond the service's limits.
  void send_photo(std::string_view photo, std::string_view caption, std::int64_t chat_id,
                  std::string_view filename = {});
  // The updates waiting on the service, without waiting for new ones (an entry that
  // cannot be read is left out, with one line on standard error).
  std::vector<telegram::Update> get_updates();
  // Stops polling and the dispatcher; returns within milliseconds. Idempotent.
  void close();

 private:
  BotSettings settings_;
  std::shared_ptr<CustomedExtBot> client_;
  std::unique_ptr<telegram::Updater> updater_;
};

}  // namespace mx::bot
