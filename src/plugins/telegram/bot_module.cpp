// morvex_trader.plugins.telegram.bot: Telegram remote control of the platform.
//
// Loading the module reads TELEGRAM_TOKEN, TELEGRAM_CHAT_ID (and, when given,
// TELEGRAM_API_URL) from morvex_trader_config, then creates the module-level `bot`, which
// polls from then on.
#include <pybind11/pybind11.h>

#include "platform/telegram/bot_api_client.h"
#include "plugins/common/python_text.h"
#include "plugins/telegram/bind_telegram_bot.h"
#include "plugins/telegram/chat_commands.h"

namespace py = pybind11;
using mx::bot::ModuleConfig;

namespace {

ModuleConfig read_config() {
  py::module_ config = py::module_::import("morvex_trader_config");
  auto required = [&](const char* key) {
    if (!py::hasattr(config, key))
      throw py::import_error(std::string("morvex_trader_config has no ") + key);
    return config.attr(key);
  };
  ModuleConfig out;
  py::object token = required("TELEGRAM_TOKEN");
  if (!py::isinstance<py::str>(token)) throw py::type_error("TELEGRAM_TOKEN must be a str");
  out.token = mx::plugins::utf8_of(token, "TELEGRAM_TOKEN");

  py::object chat_id = required("TELEGRAM_CHAT_ID");
  if (py::isinstance<py::bool_>(chat_id) || !PyIndex_Check(chat_id.ptr())) {
    throw py::type_error("TELEGRAM_CHAT_ID must be an int");
  }
  out.chat_id = chat_id.cast<std::int64_t>();

  out.base_url = std::string(mx::telegram::kDefaultBaseUrl);
  if (py::hasattr(config, "TELEGRAM_API_URL")) {
    py::object url = config.attr("TELEGRAM_API_URL");
    if (!url.is_none()) {
      if (!py::isinstance<py::str>(url)) throw py::type_error("TELEGRAM_API_URL must be a str");
      out.base_url = mx::plugins::utf8_of(url, "TELEGRAM_API_URL");
    }
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(bot, m) {
  m.doc() = "Telegram remote control: chat commands write requests that the engine serves.";
  static const ModuleConfig config = read_config();

  mx::bot::init_errors(m);
  mx::bot::init_telegram_bot(m, config);
  m.attr("TELEGRAM_CHAT_ID") = config.chat_id;
  m.attr("TELEGRAM_API_URL") = config.base_url;
  m.attr("COMMAND_SUMMARY") = std::string(mx::bot::kCommandSummary);

  m.def(
      "selftest",
      [m]() {
        py::module_ self = m;
        if (!py::hasattr(self, "bot") || self.attr("bot").is_none()) {
          self.attr("bot") = self.attr("TelegramBot")(config.token);
        }
        self.attr("chat_id") = config.chat_id;
        py::object bot = self.attr("bot");
        bot.attr("send_message")("Yes I am here!", self.attr("chat_id"));
        bot.attr("close")();
        py::print("Closed.", py::arg("flush") = true);
      },
      "Stand-alone check: sends \"Yes I am here!\" to the configured chat, closes, prints "
      "\"Closed.\".");

  // Threads of a bot never closed are stopped before the interpreter goes away.
  py::module_::import("atexit").attr("register")(py::cpp_function(&mx::bot::close_all_bots));

  m.attr("bot") = m.attr("TelegramBot")(config.token);
}
