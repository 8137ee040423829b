// CustomedExtBot: the Bot API client of the bot plug-in, carrying the request record that
// chat commands write and the engine reads and clears.
//
// Thread-safety: the record is guarded by one mutex. Every access goes through
// with_record(), so a command writes its flag and its parameters in one critical section
// and a reader sees either none or all of them. The mutex is never held across a network
// call or a wait for anything else.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/telegram/bot_api_client.h"

namespace mx::bot {

// The requests waiting for the engine; the initial values are those of a new bot.
struct RequestRecord {
  std::string morvex_trader_status = "Running";
  bool get_balance = false;
  bool get_positions = false;
  bool get_orders = false;
  std::int64_t num_orders_displayed = 1;
  bool active_orders = false;
  bool get_deals = false;
  std::int64_t num_deals_displayed = 1;
  bool cancel_order = false;
  std::optional<std::string> cancel_order_id;
  std::optional<std::string> gateway_name;
  bool cancel_orders = false;
  bool send_order = false;
  std::string order_string;
  bool close_positions = false;
  std::optional<std::string> close_positions_gateway_name;
  bool get_report = false;
  bool get_status = false;
};

class CustomedExtBot : public telegram::BotApiClient {
 public:
  using telegram::BotApiClient::BotApiClient;

  // Runs `f(record)` under the record's lock and returns what it returns.
  template <class F>
  decltype(auto) with_record(F&& f) {
    std::lock_guard lock(record_mutex_);
    return f(record_);
  }

  void initialise_record() {
    with_record([](RequestRecord& record) { record = RequestRecord{}; });
  }

 private:
  std::mutex record_mutex_;
  RequestRecord record_;  // guarded by record_mutex_
};

}  // namespace mx::bot
