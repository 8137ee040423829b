// Python properties for the fields of the request record, one getter and one setter per
// field under the field's name. Used for TelegramBot and for its client CustomedExtBot.
//
// Setters check the kind of value: flags take a bool, counts an int, texts a str, the
// optional texts a str or None; anything else raises TypeError, and a str that UTF-8
// cannot hold raises UnicodeEncodeError naming the field. Each access holds the
// record's lock only for the copy.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "plugins/common/python_text.h"
#include "plugins/telegram/customed_ext_bot.h"

namespace mx::bot {

namespace py = pybind11;

std::int64_t count_from_python(py::handle value, const char* name);

template <class Class, class ClientOf>
void bind_request_fields(Class& cls, ClientOf client_of) {
  using Self = typename Class::type;

  auto bind = [&](const char* name, auto RequestRecord::*field, auto convert, const char* doc) {
    using Value = std::remove_reference_t<decltype(std::declval<RequestRecord&>().*field)>;
    cls.def_property(
        name,
        [client_of, field](Self& self) {
          return client_of(self).with_record([&](RequestRecord& r) -> Value { return r.*field; });
        },
        [client_of, field, convert, name](Self& self, py::object value) {
          Value stored = convert(value, name);
          client_of(self).with_record([&](RequestRecord& r) { r.*field = std::move(stored); });
        },
        doc);
  };

  auto flag = [](py::handle value, const char* name) {
    if (!py::isinstance<py::bool_>(value))
      throw py::type_error(std::string(name) + " must be a bool");
    return value.cast<bool>();
  };
  auto count = [](py::handle value, const char* name) { return count_from_python(value, name); };
  auto text = [](py::handle value, const char* name) {
    if (!py::isinstance<py::str>(value)) throw py::type_error(std::string(name) + " must be a str");
    return plugins::utf8_of(value, name);
  };
  auto optional_text = [](py::handle value, const char* name) -> std::optional<std::string> {
    if (value.is_none()) return std::nullopt;
    if (!py::isinstance<py::str>(value)) {
      throw py::type_error(std::string(name) + " must be a str or None");
    }
    return plugins::utf8_of(value, name);
  };

  bind("morvex_trader_status", &RequestRecord::morvex_trader_status, text,
       "Requested run state of the platform: \"Running\", or \"Terminated\" after /stop.");
  bind("get_balance", &RequestRecord::get_balance, flag, "Report the balance (/balance).");
  bind("get_positions", &RequestRecord::get_positions, flag, "Report the positions (/positions).");
  bind("get_orders", &RequestRecord::get_orders, flag, "Report orders (/orders).");
  bind("num_orders_displayed", &RequestRecord::num_orders_displayed, count,
       "How many orders to report.");
  bind("active_orders", &RequestRecord::active_orders, flag, "Report only orders still alive.");
  bind("get_deals", &RequestRecord::get_deals, flag, "Report done deals (/deals).");
  bind("num_deals_displayed", &RequestRecord::num_deals_displayed, count,
       "How many deals to report.");
  bind("cancel_order", &RequestRecord::cancel_order, flag, "Cancel one order (/cancel_order).");
  bind("cancel_order_id", &RequestRecord::cancel_order_id, optional_text,
       "Id of the order to cancel.");
  bind("gateway_name", &RequestRecord::gateway_name, optional_text,
       "Gateway of the order to cancel.");
  bind("cancel_orders", &RequestRecord::cancel_orders, flag,
       "Cancel all active orders (/cancel_orders).");
  bind("send_order", &RequestRecord::send_order, flag, "Place a new order (/send_order).");
  bind("order_string", &RequestRecord::order_string, text,
       "The order instruction: 8 comma-separated fields.");
  bind("close_positions", &RequestRecord::close_positions, flag,
       "Close positions (/close_positions).");
  bind("close_positions_gateway_name", &RequestRecord::close_positions_gateway_name, optional_text,
       "Restrict the closing to this gateway (None: every gateway).");
  bind("get_report", &RequestRecord::get_report, flag,
       "Send the session report picture (/report).");
  bind("get_status", &RequestRecord::get_status, flag,
       "Report connections, quote ages, working orders, write queue and P&L (/status).");
}

}  // namespace mx::bot
