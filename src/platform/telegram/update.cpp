#include "platform/telegram/update.h"

#include "platform/telegram/errors.h"

namespace mx::telegram {

namespace {

std::optional<std::int64_t> integer_at(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<std::int64_t>();
}

std::optional<Message> parse_message(const nlohmann::json& object) {
  if (!object.is_object()) return std::nullopt;
  auto chat = object.find("chat");
  if (chat == object.end() || !chat->is_object()) return std::nullopt;
  auto chat_id = integer_at(*chat, "id");
  auto message_id = integer_at(object, "message_id");
  if (!chat_id || !message_id) return std::nullopt;

  Message message;
  message.message_id = *message_id;
  message.chat_id = *chat_id;
  message.date = integer_at(object, "date").value_or(0);
  if (auto from = object.find("from"); from != object.end() && from->is_object()) {
    message.from_id = integer_at(*from, "id");
  }
  if (auto text = object.find("text"); text != object.end() && text->is_string()) {
    message.text = text->get<std::string>();
  }
  if (auto entities = object.find("entities"); entities != object.end() && entities->is_array()) {
    for (const auto& entity : *entities) {
      if (!entity.is_object()) continue;
      auto type = entity.find("type");
      auto offset = integer_at(entity, "offset");
      auto length = integer_at(entity, "length");
      if (type == entity.end() || !type->is_string() || !offset || !length) continue;
      message.entities.push_back({type->get<std::string>(), *offset, *length});
    }
  }
  return message;
}

}  // namespace

Update parse_update(const nlohmann::json& object) {
  if (!object.is_object())
    throw ApiError(0, "malformed getUpdates answer: an update is not an object");
  auto id = integer_at(object, "update_id");
  if (!id) throw ApiError(0, "malformed getUpdates answer: an update has no update_id");
  Update update;
  update.update_id = *id;
  if (auto message = object.find("message"); message != object.end()) {
    update.message = parse_message(*message);
  }
  update.raw = object;
  return update;
}

std::vector<Update> parse_updates(const nlohmann::json& result) {
  if (!result.is_array())
    throw ApiError(0, "malformed getUpdates answer: the result is not a list");
  std::vector<Update> updates;
  updates.reserve(result.size());
  for (const auto& object : result) updates.push_back(parse_update(object));
  return updates;
}

}  // namespace mx::telegram
