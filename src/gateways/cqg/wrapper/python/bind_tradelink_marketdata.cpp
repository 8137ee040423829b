// TradeLink's order book and timed bars: subscribe_orderbook, unsubscribe_orderbook,
// get_ticks_from_cqg_symbol, TickType2String; subscribe_bar, unsubscribe_bar,
// get_timedbars_from_cqg_symbol, dumpBar, get_subscribe_bars_data, FREQ_ALLOWED (the
// events: bind_tradelink_events.cpp).
#include "gateways/cqg/wrapper/python/bind_tradelink.h"
#include "gateways/cqg/wrapper/tradelink/marketdata_support.h"
#include "platform/com/python/variant_py.h"

namespace mx::tradelink::bind {

void init_tradelink_marketdata(py::module_& m, TradeLinkClass& cls) {
  m.attr("FREQ_ALLOWED") = py::make_tuple("1Day", "1Min");
  m.def(
      "TickType2String", [](py::handle tickType) { return TickType2String(tickType); },
      py::arg("tickType"),
      R"(The name of a CQG tick price type ("Ask price", "Bid price", "Settlement price",
"Trade price"); KeyError for anything else.)");

  // Order book.
  cls.def(
         "subscribe_orderbook",
         [](TradeLink& t, py::handle cqg_symbol) {
           t.subscribe_orderbook(TextArg(cqg_symbol, "cqg_symbol"));
         },
         py::arg("cqg_symbol"),
         R"(Opens a tick request (current ticks, then every new one) and waits for its
resolution, at most TIMEOUT seconds; returns normally either way.)")
      .def(
          "unsubscribe_orderbook",
          [](TradeLink& t, py::handle cqg_symbol) {
            t.unsubscribe_orderbook(TextArg(cqg_symbol, "cqg_symbol"));
          },
          py::arg("cqg_symbol"), R"(Removes the symbol's tick request, if there is one.)")
      .def(
          "get_ticks_from_cqg_symbol",
          [](TradeLink& t, py::handle cqg_symbol) {
            return DispatchOrNone(t.get_ticks_from_cqg_symbol(TextArg(cqg_symbol, "cqg_symbol")));
          },
          py::arg("cqg_symbol"),
          R"(The first tick collection in AllTicks whose Request.Symbol contains cqg_symbol, or None.)");

  // Timed bars.
  cls.def(
         "subscribe_bar",
         [](TradeLink& t, py::handle cqg_symbol, py::handle lookback_period, py::handle freq) {
           std::string symbol = TextArg(cqg_symbol, "cqg_symbol");
           int64_t lookback = IntArg(lookback_period, "lookback_period");
           t.subscribe_bar(symbol, lookback, TextArg(freq, "freq"));
         },
         py::arg("cqg_symbol"), py::arg("lookback_period"), py::arg("freq") = "1Min",
         R"(Requests timed bars ("1Min" or "1Day") with a look-back and updates, and waits
for the answer, at most TIMEOUT seconds; returns normally either way.)")
      .def(
          "get_timedbars_from_cqg_symbol",
          [](TradeLink& t, py::handle cqg_symbol) {
            return DispatchOrNone(
                t.get_timedbars_from_cqg_symbol(TextArg(cqg_symbol, "cqg_symbol")));
          },
          py::arg("cqg_symbol"),
          R"(The first timed-bars object in AllTimedBars whose Request.Symbol contains cqg_symbol, or None.)")
      .def("dumpBar", &TradeLink::dumpBar, py::arg("bar"), py::arg("index"),
           R"(Traces one CQG bar's index, Timestamp, prices and volumes.)")
      .def("get_subscribe_bars_data", &TradeLink::get_subscribe_bars_data, py::arg("security"),
           R"(The security's stored bars, oldest first, repaired in place (each invalid value
takes the nearest valid one of its field, earlier bars first); None when there are none.
ValueError "The latest bar is INVALID: <bar>." when a field is invalid in every bar.)");

  // unsubscribe_bar runs inside the host's safe_call, which receives its failures.
  py::cpp_function unsubscribe(
      [](TradeLink& t, py::handle cqg_symbol) {
        t.unsubscribe_bar(TextArg(cqg_symbol, "cqg_symbol"));
      },
      py::name("unsubscribe_bar"), py::arg("self"), py::arg("cqg_symbol"),
      R"(Removes the symbol's timed bars at CQG and its stored bars.)");
  py::object safe_call = py::module_::import("morvex_trader.core.utility").attr("safe_call");
  cls.attr("unsubscribe_bar") = safe_call(unsubscribe);
}

}  // namespace mx::tradelink::bind
