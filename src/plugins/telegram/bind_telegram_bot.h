// Python layer of the bot plug-in: the classes CustomedExtBot, Updater and TelegramBot,
// the error TelegramError, and the registry that closes every bot at interpreter exit.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace mx::bot {

namespace py = pybind11;

// What the module read from morvex_trader_config when it was loaded.
struct ModuleConfig {
  std::string token;  // never exposed to Python, never printed
  std::int64_t chat_id = 0;
  std::string base_url;
};

void init_errors(py::module_& m);
void init_telegram_bot(py::module_& m, const ModuleConfig& config);

// Closes every TelegramBot still alive (registered with atexit by the module).
void close_all_bots();

}  // namespace mx::bot
