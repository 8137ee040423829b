// The parts of Bot API updates that the client acts on, read from the service's JSON.
//
// Plain values; the whole update is kept as JSON in `raw` for callers that want every
// field (TelegramBot.get_updates hands them to Python).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace mx::telegram {

struct MessageEntity {
  std::string type;         // "bot_command", "mention", ...
  std::int64_t offset = 0;  // in UTF-16 code units, as the service counts
  std::int64_t length = 0;  // in UTF-16 code units
};

struct Message {
  std::int64_t message_id = 0;
  std::int64_t date = 0;  // Unix time, seconds
  std::int64_t chat_id = 0;
  std::optional<std::int64_t> from_id;  // sender's user id; absent in channels
  std::optional<std::string> text;
  std::vector<MessageEntity> entities;
};

struct Update {
  std::int64_t update_id = 0;
  // A new message. Edited messages, channel posts and the other kinds leave this empty:
  // the client acts only on new messages.
  std::optional<Message> message;
  nlohmann::json raw;
};

// Reads one update. Throws ApiError when the object has no integer update_id (the offset
// cannot advance past such an entry); a message that lacks what a message must have
// (chat, id) is treated as absent.
Update parse_update(const nlohmann::json& object);

// Reads the "result" array of getUpdates.
std::vector<Update> parse_updates(const nlohmann::json& result);

}  // namespace mx::telegram
