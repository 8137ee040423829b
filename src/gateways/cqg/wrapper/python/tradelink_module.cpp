// morvex_trader.gateways.cqg.wrapper.tradelink: the CQG gateway class TradeLink, its
// module values (TIMEOUT, TIMEZONE, INVALID_VALUE, lock) and free functions.
#include <pybind11/pybind11.h>

#include "gateways/cqg/wrapper/python/bind_tradelink.h"
#include "gateways/cqg/wrapper/tradelink/cel_names.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"

namespace py = pybind11;

PYBIND11_MODULE(tradelink, m) {
  using namespace mx::tradelink;
  m.doc() = "The CQG gateway TradeLink: session, quotes, order book, bars, orders, account.";
  // CELSinkBase, Dispatch, ComError and the type library come from comhost: a failure to
  // load it fails this import.
  py::module_::import("morvex_trader.gateways.cqg.wrapper.comhost");
  CelNames::Get();
  HostApi::Load();

  m.attr("TIMEOUT") = 10;
  m.attr("TIMEZONE") = py::module_::import("zoneinfo").attr("ZoneInfo")("Asia/Hong_Kong");
  m.attr("INVALID_VALUE") = -2147483648LL;
  m.attr("lock") = py::module_::import("_thread").attr("allocate_lock")();
  // Pause between switching account updates off and on again (subscribe_account_and_
  // positions); read at each use, so a test can shorten it as it shortens TIMEOUT.
  m.attr("ACCOUNT_SWITCH_PAUSE") = 2.0;
  SetModule(m);

  bind::TradeLinkClass cls(m, "TradeLink", R"(The CQG gateway: CQGCEL's event sink and the
host gateway's way to log on, subscribe market data, trade and read its account.

Created by ComHost.Init(TradeLink, ...) on the COM thread; then Init(gateway). A Python
subclass may override any event; the events it does not override stay in C++.)");
  bind::init_tradelink_session(m, cls);
  bind::init_tradelink_quotes(m, cls);
  bind::init_tradelink_account(m, cls);
  bind::init_tradelink_orders(m, cls);
  bind::init_tradelink_marketdata(m, cls);
  bind::init_tradelink_events(cls);
  bind::CheckEventBindings(cls);
}
