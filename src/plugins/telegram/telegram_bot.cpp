#include "plugins/telegram/telegram_bot.h"

#include "plugins/telegram/chat_commands.h"

namespace mx::bot {

namespace {

telegram::ClientOptions client_options(const BotSettings& settings) {
  telegram::ClientOptions options;
  options.base_url = settings.base_url;
  return options;
}

}  // namespace

TelegramBot::TelegramBot(std::string token, BotSettings settings) : settings_(std::move(settings)) {
  client_ = std::make_shared<CustomedExtBot>(std::move(token), client_options(settings_));
  updater_ = std::make_unique<telegram::Updater>(client_, settings_.polling);
  client_->initialise_record();

  auto& dispatcher = updater_->dispatcher();
  const std::int64_t served_chat = settings_.chat_id;
  dispatcher.set_message_filter(
      [served_chat](const telegram::Message& message) { return message.chat_id == served_chat; });
  register_chat_commands(dispatcher, *client_);

  updater_->start_polling();
}

TelegramBot::~TelegramBot() { close(); }

void TelegramBot::send_message(std::string_view text, std::int64_t chat_id, bool silent) {
  client_->send_message(chat_id, text, nullptr, silent);
}

void TelegramBot::send_photo(std::string_view photo, std::string_view caption, std::int64_t chat_id,
                             std::string_view filename) {
  client_->send_photo(chat_id, photo, caption, nullptr, filename);
}

std::vector<telegram::Update> TelegramBot::get_updates() {
  telegram::UpdateBatch batch = client_->get_updates(telegram::GetUpdatesRequest{});
  telegram::Updater::report_skipped(*client_, batch, telegram::report_to_stderr);
  return std::move(batch.updates);
}

void TelegramBot::close() { updater_->stop(); }

}  // namespace mx::bot
