// TradeLink's orders: place_order, cancel_order; convert_orderstatus_cqg2mx.
#include <pybind11/stl.h>

#include <vector>

#include "gateways/cqg/wrapper/python/bind_tradelink.h"
#include "gateways/cqg/wrapper/tradelink/cel_tables.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"

namespace mx::tradelink::bind {

void init_tradelink_orders(py::module_& m, TradeLinkClass& cls) {
  m.def(
      "convert_orderstatus_cqg2mx",
      [](py::handle status) {
        HostStatus host{};
        bool known = false;
        if (PyLong_Check(status.ptr())) {
          int overflow = 0;
          long long v = PyLong_AsLongLongAndOverflow(status.ptr(), &overflow);
          known = overflow == 0 && TranslateOrderStatus(v, &host);
        }
        if (!known) {
          throw py::value_error("Order status " + std::string(py::str(status)) +
                                " is not valid to be handled by morvex_trader.");
        }
        return HostApi::Get().status[static_cast<int>(host)];
      },
      py::arg("status"),
      R"(The host OrderStatus of a CQG order status; ValueError outside the 17 statuses.)");

  cls.def("place_order", &TradeLink::place_order, py::arg("order"),
          R"(Creates and places the order; returns its GUID once CQG reports it (at most
TIMEOUT seconds: RuntimeError "Order placing timeout!..." otherwise).)")
      .def(
          "cancel_order",
          [](TradeLink& t, py::handle orderid) { t.cancel_order(TextArg(orderid, "orderid")); },
          py::arg("orderid"),
          R"(Cancels the order with this GUID; the outcome arrives through OnOrderChanged.)")
      .def(
          "_place_timeline",
          [](const TradeLink& t) {
            auto offsets = t.place_timeline().Offsets();
            return std::vector<int64_t>(offsets.begin(), offsets.end());
          },
          R"(Benchmark hook: nanoseconds from the start of the latest place_order to each of
its steps (-1 for a step not reached), while _set_place_timing(True) is in force.)");

  m.def(
      "_set_place_timing", [](bool on) { PlaceTimeline::Enable(on); }, py::arg("on"),
      R"(Benchmark hook: turns the recording of place_order's steps on or off (off by default).)");
}

}  // namespace mx::tradelink::bind
