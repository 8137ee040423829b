#include "platform/telegram/command.h"

#include <algorithm>
#include <cctype>

#include "platform/telegram/text.h"

namespace mx::telegram {

namespace {

std::string ascii_lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

bool is_command(const Message& message) {
  return message.text && !message.entities.empty() &&
         message.entities.front().type == "bot_command" && message.entities.front().offset == 0;
}

std::optional<CommandCall> parse_command(const Message& message) {
  if (!is_command(message)) return std::nullopt;
  const std::string& text = *message.text;
  auto length =
      static_cast<std::size_t>(std::max<std::int64_t>(message.entities.front().length, 0));
  std::string_view command = std::string_view(text).substr(0, byte_offset_of_utf16(text, length));
  if (!command.empty() && command.front() == '/') command.remove_prefix(1);

  CommandCall call;
  auto at = command.find('@');
  call.name = ascii_lower(std::string(command.substr(0, at)));
  if (at != std::string_view::npos) call.addressee = std::string(command.substr(at + 1));
  // Arguments are the words of the whole text after its first word (the command).
  call.args = split_words(text);
  if (!call.args.empty()) call.args.erase(call.args.begin());
  return call;
}

bool addressed_to(const CommandCall& call, const std::string& own_username) {
  return call.addressee.empty() || ascii_lower(call.addressee) == ascii_lower(own_username);
}

}  // namespace mx::telegram
