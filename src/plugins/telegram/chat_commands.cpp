#include "plugins/telegram/chat_commands.h"

#include <charconv>
#include <ctime>

namespace mx::bot {

using telegram::HandlerContext;

const std::string_view kCommandSummary =
    "\n"
    "    <Morvex-Trader TelegramBot> Available commands:\"\n"
    "    1. /stop\n"
    "    2. /balance\n"
    "    3. /positions\n"
    "    4. /orders\n"
    "    5. /deals\n"
    "    6. /cancel_order\n"
    "    7. /cancel_orders\n"
    "    8. /send_order\n"
    "    9. /close_positions\n"
    "    10. /help\n"
    "    ";

namespace {

constexpr std::string_view kOrdersUsage =
    "/orders [parameters]: Fetch orders\n"
    "- filter:str (optional) if \"-a\", only return alive orders\n"
    "- n:int (optional) number of displayed records";
constexpr std::string_view kDealsUsage =
    "/deals [parameters]: fetch done deals\n"
    "- n:int (optional) number of displayed records";
constexpr std::string_view kCancelOrderUsage =
    "/cancel_order [parameters]: cancel an active order\n"
    "- order_id: str, the id of the order\n"
    "- gateway_name: str, the name of the gateway";
constexpr std::string_view kSendOrderUsage =
    "/send_order [parameters] send an order with string instruction:\n"
    "- order_string: str, security_code, quantity, direction(l/s), offset(o/c),\n"
    "                order_type(m/l/s), gateway_name, price(None),\n"
    "                stop_price(None)";
constexpr std::string_view kClosePositionsUsage =
    "/close_positions [parameters]:\n"
    "- gateway_name: str, the name of the gateway";

constexpr std::size_t kOrderStringPieces = 8;

const char* flag_text(bool flag) { return flag ? "True" : "False"; }

void reply(const HandlerContext& ctx, std::string_view text) {
  ctx.bot.send_message(ctx.message.chat_id, text, &ctx.interrupt);
}

std::string ack(std::string_view text) {
  return "[" + format_time_stamp(std::chrono::system_clock::now()) + "] " + std::string(text);
}

// Python's repr() of a text: single quotes unless the text holds one and no double quote.
std::string python_repr(const std::string& text) {
  char quote =
      text.find('\'') != std::string::npos && text.find('"') == std::string::npos ? '"' : '\'';
  std::string out(1, quote);
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c == quote) {
          out += '\\';
          out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\x";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += quote;
  return out;
}

void stop(const HandlerContext& ctx, CustomedExtBot& bot) {
  bot.with_record([](RequestRecord& r) { r.morvex_trader_status = "Terminated"; });
  reply(ctx, ack("Terminating Morvex-Trader..."));
}

void balance(const HandlerContext& ctx, CustomedExtBot& bot) {
  bot.with_record([](RequestRecord& r) { r.get_balance = true; });
  reply(ctx, ack("Fetching balance..."));
}

void status(const HandlerContext& ctx, CustomedExtBot& bot) {
  bot.with_record([](RequestRecord& r) { r.get_status = true; });
  reply(ctx, ack("Fetching status..."));
}

void positions(const HandlerContext& ctx, CustomedExtBot& bot) {
  bot.with_record([](RequestRecord& r) { r.get_positions = true; });
  reply(ctx, ack("Fetching positions..."));
}

void orders(const HandlerContext& ctx, CustomedExtBot& bot) {
  const auto& args = ctx.args;
  reply(ctx, ack(argument_list(args) + "..."));

  bool raise_active = false;
  std::optional<std::int64_t> count;
  if (args.size() > 2) return reply(ctx, kOrdersUsage);
  if (args.size() == 2) {
    if (args[0] != "-a" && args[1] != "-a") return reply(ctx, kOrdersUsage);
    const std::string& other = args[0] != "-a" ? args[0] : args[1];
    // "-a -a" leaves no count: usage, like any other unusable pair.
    if (other == "-a" || !(count = parse_count(other))) return reply(ctx, kOrdersUsage);
    raise_active = true;
  } else if (args.size() == 1) {
    if (args[0] == "-a") {
      raise_active = true;
    } else if (!(count = parse_count(args[0]))) {
      return reply(ctx, kOrdersUsage);
    }
  }
  auto [active, shown] = bot.with_record([&](RequestRecord& r) {
    if (raise_active) r.active_orders = true;
    if (count) r.num_orders_displayed = *count;
    r.get_orders = true;
    return std::pair{r.active_orders, r.num_orders_displayed};
  });
  reply(ctx, ack("Fetching orders (active_orders=" + std::string(flag_text(active)) +
                 ", num_orders_displayed=" + std::to_string(shown) + ")..."));
}

void deals(const HandlerContext& ctx, CustomedExtBot& bot) {
  const auto& args = ctx.args;
  std::optional<std::int64_t> count;
  if (args.size() > 1) return reply(ctx, kDealsUsage);
  if (args.size() == 1 && !(count = parse_count(args[0]))) return reply(ctx, kDealsUsage);
  std::int64_t shown = bot.with_record([&](RequestRecord& r) {
    if (count) r.num_deals_displayed = *count;
    r.get_deals = true;
    return r.num_deals_displayed;
  });
  reply(ctx, ack("Fetching deals (num_deals_displayed=" + std::to_string(shown) + ")..."));
}

void cancel_order(const HandlerContext& ctx, CustomedExtBot& bot) {
  const auto& args = ctx.args;
  if (args.size() != 2) return reply(ctx, kCancelOrderUsage);
  bot.with_record([&](RequestRecord& r) {
    r.cancel_order = true;
    r.cancel_order_id = args[0];
    r.gateway_name = args[1];
  });
  reply(ctx, ack("Canceling order: order_id=" + args[0] + ",gateway_name=" + args[1] + "..."));
}

void cancel_orders(const HandlerContext& ctx, CustomedExtBot& bot) {
  bot.with_record([](RequestRecord& r) { r.cancel_orders = true; });
  reply(ctx, ack("Canceling all active orders..."));
}

void send_order(const HandlerContext& ctx, CustomedExtBot& bot) {
  const auto& args = ctx.args;
  if (args.size() != 1) return reply(ctx, kSendOrderUsage);
  std::size_t commas = 0;
  for (char c : args[0]) commas += c == ',';
  if (commas + 1 != kOrderStringPieces) return reply(ctx, kSendOrderUsage);
  bot.with_record([&](RequestRecord& r) {
    r.send_order = true;
    r.order_string = args[0];
  });
  reply(ctx, ack("Send order (" + args[0] + ")..."));
}

void close_positions(const HandlerContext& ctx, CustomedExtBot& bot) {
  const auto& args = ctx.args;
  if (args.size() >= 2) return reply(ctx, kClosePositionsUsage);
  bot.with_record([&](RequestRecord& r) {
    if (args.size() == 1) r.close_positions_gateway_name = args[0];
    r.close_positions = true;
  });
  reply(ctx, ack("Closing positions..."));
}

void report(const HandlerContext& ctx, CustomedExtBot& bot) {
  bot.with_record([](RequestRecord& r) { r.get_report = true; });
  reply(ctx, ack("Fetching session report..."));
}

void echo(const HandlerContext& ctx) { reply(ctx, "[ECHO] " + *ctx.message.text); }

}  // namespace

std::string format_time_stamp(std::chrono::system_clock::time_point when) {
  auto since_epoch = when.time_since_epoch();
  auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(since_epoch - seconds).count();
  std::time_t t = static_cast<std::time_t>(seconds.count());
  std::tm local{};
  localtime_r(&t, &local);
  char text[40];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::string out(text, n);
  if (micros != 0) {
    char fraction[24];
    std::snprintf(fraction, sizeof fraction, ".%06lld", static_cast<long long>(micros));
    out += fraction;
  }
  return out;
}

std::string argument_list(const std::vector<std::string>& args) {
  std::string out = "[";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i != 0) out += ", ";
    out += python_repr(args[i]);
  }
  return out + "]";
}

std::optional<std::int64_t> parse_count(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse with the sign so that the most negative value fits.
  std::string digits = (negative ? "-" : "") + std::string(text);
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

void register_chat_commands(telegram::Dispatcher& dispatcher, CustomedExtBot& bot) {
  using Command = void (*)(const HandlerContext&, CustomedExtBot&);
  static constexpr std::pair<const char*, Command> kCommands[] = {
      {"stop", stop},
      {"balance", balance},
      {"positions", positions},
      {"orders", orders},
      {"deals", deals},
      {"cancel_order", cancel_order},
      {"cancel_orders", cancel_orders},
      {"send_order", send_order},
      {"close_positions", close_positions},
      {"report", report},
      {"status", status},
  };
  dispatcher.add_message_handler(echo);
  for (const auto& [name, command] : kCommands) {
    dispatcher.add_command_handler(
        name, [command, &bot](const HandlerContext& ctx) { command(ctx, bot); });
  }
}

}  // namespace mx::bot
