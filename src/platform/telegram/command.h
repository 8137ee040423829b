// Recognising bot commands in a message, the way the Bot API marks them.
//
// A message is a command when its first entity is a "bot_command" starting at offset 0.
// "/name" and "/name@bot_username" are both commands; the name is compared without
// regard to letter case. Pure functions; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/telegram/update.h"

namespace mx::telegram {

struct CommandCall {
  std::string name;               // lower case, without "/" and without "@..."
  std::string addressee;          // the part after "@", empty when none
  std::vector<std::string> args;  // the words after the command, split on white space
};

// True when the message is a command (whether or not it is addressed to this bot).
bool is_command(const Message& message);

// The command of the message, or nothing when it is not a command.
std::optional<CommandCall> parse_command(const Message& message);

// True when a command with this addressee is meant for the bot named `own_username`:
// no addressee, or the same name without regard to letter case.
bool addressed_to(const CommandCall& call, const std::string& own_username);

}  // namespace mx::telegram
