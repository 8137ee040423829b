// The parts of Bot API updates that the client acts on, read from the service's JSON.
//
// Plain values; the whole update is kept as JSON in `raw` for callers that want every
// field (TelegramBot.get_updates hands them to Python).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
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

// An entry of a getUpdates answer that the client cannot use: not an object, no
// update_id, or text a JSON parser refuses (a lone surrogate escape, bytes that are not
// UTF-8). It is never handled; polling confirms past it.
struct SkippedUpdate {
  std::optional<std::int64_t> update_id;  // when it could still be read
  std::string reason;                     // why it was skipped, for the report line
};

// One getUpdates answer: the usable updates, and the entries that were skipped.
struct UpdateBatch {
  std::vector<Update> updates;
  std::vector<SkippedUpdate> skipped;
  // The update_id of every entry in the order of the answer (nothing where unreadable).
  std::vector<std::optional<std::int64_t>> ids;

  std::size_t entries() const { return ids.size(); }
};

// Reads one update. Throws ApiError when the object has no integer update_id (the offset
// cannot advance past such an entry); a message that lacks what a message must have
// (chat, id) is treated as absent.
Update parse_update(const nlohmann::json& object);

// Reads the "result" array of getUpdates, entry by entry: an unusable entry is skipped
// (listed in `skipped`), never fatal. Throws ApiError only when the result is not a list.
UpdateBatch parse_updates(const nlohmann::json& result);

// The same from the entries' texts, for an answer that cannot be parsed whole.
UpdateBatch parse_update_texts(const std::vector<std::string_view>& entries);

// The offset that confirms every entry of `batch`, which was asked for with `requested`.
// An entry whose update_id cannot be read lies after the entry before it (answers are in
// update order) or at `requested`, so confirming that lower bound confirms it and no
// update the client has not received. `confirmed_all` is false when some entry has no
// such bound (the first entry, with no positive offset asked for).
struct NextOffset {
  std::optional<std::int64_t> offset;
  bool confirmed_all = true;
};
NextOffset next_offset(std::optional<std::int64_t> requested, const UpdateBatch& batch);

}  // namespace mx::telegram
