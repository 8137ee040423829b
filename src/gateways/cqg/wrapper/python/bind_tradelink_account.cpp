// TradeLink's account subscription, balance and positions.
#include "gateways/cqg/wrapper/python/bind_tradelink.h"

namespace mx::tradelink::bind {

void init_tradelink_account(py::module_& /*m*/, TradeLinkClass& cls) {
  cls.def(
         "subscribe_account_and_positions",
         [](TradeLink& t, py::handle id) {
           t.subscribe_account_and_positions(IntArg(id, "GWAccountID"));
         },
         py::arg("GWAccountID"),
         R"(Switches account updates off and on, waits for the accounts (RuntimeError
"Accounts coming timeout!"), selects the account (ValueError when missing), subscribes its
positions and reads account_balance and positions.)")
      .def(
          "unsubscribe_account_and_positions",
          [](TradeLink& t, py::handle id) {
            t.unsubscribe_account_and_positions(IntArg(id, "GWAccountID"));
          },
          py::arg("GWAccountID"), R"(Switches account updates and the position subscription off.)")
      .def("update_account_balance", &TradeLink::update_account_balance,
           R"(Rebuilds account_balance from the account summary; a failure is written as a
dated line, never raised.)")
      .def("update_positions", &TradeLink::update_positions,
           R"(Rebuilds positions from the account's open positions.)");
}

}  // namespace mx::tradelink::bind
