// The chat commands of the bot: ten command handlers and echo.
//
// Each handler checks its arguments, writes its request into the record of the bot's
// client (flag and parameters in one critical section) and answers the chat the message
// came from. Handlers run on the dispatcher thread and never touch Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/telegram/dispatcher.h"
#include "plugins/telegram/customed_ext_bot.h"

namespace mx::bot {

// Registers echo as the message handler first, then the commands in their order: stop,
// balance, positions, orders, deals, cancel_order, cancel_orders, send_order,
// close_positions, report (the session report picture, served by the engine) and status.
void register_chat_commands(telegram::Dispatcher& dispatcher, CustomedExtBot& bot);

// The bot's command summary (the description of TelegramBot).
extern const std::string_view kCommandSummary;

// Local date and time "YYYY-MM-DD HH:MM:SS.ffffff"; the point and the microseconds are
// left out when the microseconds are zero.
std::string format_time_stamp(std::chrono::system_clock::time_point when);

// The argument list shown by /orders: ['a', 'b'] as Python writes a list of texts.
std::string argument_list(const std::vector<std::string>& args);

// An optionally signed decimal integer that fits 64 bits, or nothing.
std::optional<std::int64_t> parse_count(std::string_view text);

}  // namespace mx::bot
