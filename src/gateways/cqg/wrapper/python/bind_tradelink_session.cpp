// TradeLink's state fields, Init, Logon, Logoff and the account look-up; the shared
// argument checks.
#include <pybind11/stl.h>

#include "gateways/cqg/wrapper/python/bind_tradelink.h"
#include "platform/com/python/variant_py.h"

namespace mx::tradelink::bind {

namespace {

std::string TypeName(py::handle value) { return py::str(py::type::of(value).attr("__name__")); }

}  // namespace

std::string TextArg(py::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) {
    throw py::type_error(std::string(name) + " must be str, not " + TypeName(value));
  }
  return value.cast<std::string>();
}

int64_t IntArg(py::handle value, const char* name) {
  PyObject* o = value.ptr();
  if (PyUnicode_Check(o) || PyBytes_Check(o) || !PyNumber_Check(o)) {
    throw py::type_error(std::string(name) + " must be an integer, not " + TypeName(value));
  }
  py::object number = py::reinterpret_steal<py::object>(PyNumber_Long(o));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0) throw py::value_error(std::string(name) + " does not fit in 64 bits");
  return v;
}

bool OnComThread() {
  auto apartment = com::Apartment::Current();
  return apartment && !apartment->IsClosed();
}

py::object DispatchOrNone(const com::DispatchPtr& object) {
  return com::py_glue::ToPython(com::Variant(object));
}

void init_tradelink_session(py::module_& /*m*/, TradeLinkClass& cls) {
  using Event = std::shared_ptr<com::ManualResetEvent>;
  cls.def(py::init<>(), R"(Constructed by the COM host on its thread (no arguments).)")
      .def_property_readonly("eventGatewayIsUp",
                             [](TradeLink& t) -> Event { return t.eventGatewayIsUp; })
      .def_property_readonly("eventGatewayIsDown",
                             [](TradeLink& t) -> Event { return t.eventGatewayIsDown; })
      .def_property_readonly("eventAccountIsReady",
                             [](TradeLink& t) -> Event { return t.eventAccountIsReady; })
      .def_property_readonly("eventOrderPlaced",
                             [](TradeLink& t) -> Event { return t.eventOrderPlaced; })
      .def_property_readonly("eventQuoteDone",
                             [](TradeLink& t) -> Event { return t.eventQuoteDone; })
      .def_property_readonly("eventOrderbookDone",
                             [](TradeLink& t) -> Event { return t.eventOrderbookDone; })
      .def_property_readonly("eventBarDone", [](TradeLink& t) -> Event { return t.eventBarDone; })
      .def_property(
          "subscribe_bars_data", [](TradeLink& t) { return t.subscribe_bars_data; },
          [](TradeLink& t, py::dict d) { t.subscribe_bars_data = std::move(d); })
      .def_property(
          "account_balance", [](TradeLink& t) { return t.account_balance; },
          [](TradeLink& t, py::object v) { t.account_balance = std::move(v); })
      .def_property(
          "positions", [](TradeLink& t) { return t.positions; },
          [](TradeLink& t, py::object v) { t.positions = std::move(v); })
      .def_property(
          "order_id", [](TradeLink& t) { return t.order_id(); },
          [](TradeLink& t, py::handle v) {
            if (v.is_none()) {
              t.set_order_id(std::nullopt);
            } else {
              t.set_order_id(TextArg(v, "order_id"));
            }
          },
          R"(Identifier (GUID text) of the order just placed, or None.)")
      .def_property_readonly("comHost", [](TradeLink& t) { return t.comHost; })
      .def_property_readonly("gateway", [](TradeLink& t) { return t.gateway; })
      .def_property(
          "GWAccountID", [](TradeLink& t) { return t.GWAccountID(); },
          [](TradeLink& t, py::handle v) { t.set_GWAccountID(IntArg(v, "GWAccountID")); },
          R"(The subscribed CQG gateway account; AttributeError before one is subscribed.)");

  cls.def("Init", &TradeLink::Init, py::arg("gateway"),
          R"(Takes the gateway's comHost (its cqgCEL) and the gateway itself. The gateway's six
callables (get_mx_security_from_cqg_symbol, get_cqg_symbol_from_mx_security, process_quote,
process_orderbook, process_order, process_deal) are looked up here, once, and kept:
assigning another function to one of them on the gateway afterwards has no effect.)")
      .def(
          "Logon",
          [](TradeLink& t, py::handle user_name, py::handle password) {
            t.Logon(TextArg(user_name, "user_name"), TextArg(password, "password"));
          },
          py::arg("user_name"), py::arg("password"),
          R"(GWLogon and wait for the gateway to come up; RuntimeError "GW connection timeout!".)")
      .def(
          "Logoff", &TradeLink::Logoff,
          R"(GWLogoff and wait for the gateway to go down; RuntimeError "GW disconnection timeout!".)")
      .def(
          "get_account_from_gwaccountid",
          [](TradeLink& t, py::handle id) {
            return DispatchOrNone(t.get_account_from_gwaccountid(IntArg(id, "GWAccountID")));
          },
          py::arg("GWAccountID"),
          R"(The CQG account with this GWAccountID, or None; traces each account visited.)");
}

}  // namespace mx::tradelink::bind
