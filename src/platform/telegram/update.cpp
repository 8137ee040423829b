#include "platform/telegram/update.h"

#include <algorithm>

#include "platform/telegram/errors.h"
#include "platform/telegram/json_split.h"

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

namespace {

void add_entry(UpdateBatch& batch, const nlohmann::json& object) {
  const char* unusable = !object.is_object()                ? "it is not an object"
                         : !integer_at(object, "update_id") ? "it has no integer update_id"
                                                            : nullptr;
  if (unusable != nullptr) {
    batch.skipped.push_back({std::nullopt, unusable});
    batch.ids.push_back(std::nullopt);
    return;
  }
  batch.updates.push_back(parse_update(object));
  batch.ids.push_back(batch.updates.back().update_id);
}

}  // namespace

UpdateBatch parse_updates(const nlohmann::json& result) {
  if (!result.is_array())
    throw ApiError(0, "malformed getUpdates answer: the result is not a list");
  UpdateBatch batch;
  batch.updates.reserve(result.size());
  batch.ids.reserve(result.size());
  for (const auto& object : result) add_entry(batch, object);
  return batch;
}

UpdateBatch parse_update_texts(const std::vector<std::string_view>& entries) {
  UpdateBatch batch;
  batch.ids.reserve(entries.size());
  for (std::string_view text : entries) {
    nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
    if (!object.is_discarded()) {
      add_entry(batch, object);
      continue;
    }
    // Unreadable as it stands: its update_id may still be read once lone surrogates are
    // replaced, so that polling can confirm past it.
    nlohmann::json repaired =
        nlohmann::json::parse(replace_lone_surrogate_escapes(text), nullptr, false);
    std::optional<std::int64_t> id;
    if (repaired.is_object()) id = integer_at(repaired, "update_id");
    batch.skipped.push_back(
        {id, "its text cannot be decoded (a lone surrogate escape, or bytes that are not UTF-8)"});
    batch.ids.push_back(id);
  }
  return batch;
}

NextOffset next_offset(std::optional<std::int64_t> requested, const UpdateBatch& batch) {
  NextOffset next{requested && *requested > 0 ? requested : std::nullopt, true};
  // Lowest update_id the next entry can have: every entry is at or after the offset
  // asked for, and after the entry before it.
  std::optional<std::int64_t> lowest = next.offset;
  for (const auto& id : batch.ids) {
    std::optional<std::int64_t> past;
    if (id) {
      past = *id + 1;
    } else if (lowest) {
      past = *lowest + 1;
    } else {
      next.confirmed_all = false;
      continue;
    }
    next.offset = std::max(next.offset.value_or(*past), *past);
    lowest = std::max(lowest.value_or(*past), *past);
  }
  return next;
}

}  // namespace mx::telegram
