// TradeLink: construction, Init, shared helpers, log-on / log-off, account look-up, and
// the connection-status and data-error events.
#include <array>
#include <chrono>
#include <thread>

#include "gateways/cqg/wrapper/comhost/trace.h"
#include "gateways/cqg/wrapper/python/sink_py.h"
#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"
#include "gateways/cqg/wrapper/tradelink/cel_names.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"
#include "platform/com/python/interpreter.h"
#include "platform/com/python/variant_py.h"

namespace mx::tradelink {

using comhost::Trace;

namespace {

const char* const kGatewayMethodNames[TradeLink::kGatewayMethodCount] = {
    "get_mx_security_from_cqg_symbol",
    "get_cqg_symbol_from_mx_security",
    "process_quote",
    "process_orderbook",
    "process_order",
    "process_deal"};

}  // namespace

void RethrowAsRuntimeError(const py::error_already_set& error) {
  std::string text;
  {
    comhost::py_glue::ComThreadGil gil;
    text = com::py_glue::DescribePythonError(error);
  }
  throw std::runtime_error(text);
}

TradeLink::TradeLink()
    : eventGatewayIsUp(std::make_shared<com::ManualResetEvent>()),
      eventGatewayIsDown(std::make_shared<com::ManualResetEvent>()),
      eventAccountIsReady(std::make_shared<com::ManualResetEvent>()),
      eventOrderPlaced(std::make_shared<com::ManualResetEvent>()),
      eventQuoteDone(std::make_shared<com::ManualResetEvent>()),
      eventOrderbookDone(std::make_shared<com::ManualResetEvent>()),
      eventBarDone(std::make_shared<com::ManualResetEvent>()),
      subscribe_bars_data(),
      account_balance(HostApi::Get().AccountBalance()),
      positions(py::list()),
      comHost(py::none()),
      gateway(py::none()) {}
// The constructor is bound with the GIL held (Python constructs the instance, also on the
// COM thread through the sink factory).

TradeLink::~TradeLink() {
  // Python fields go under the GIL; when the interpreter is gone they are left alone.
  std::array<py::object*, 5 + kGatewayMethodCount> fields = {&subscribe_bars_data, &account_balance,
                                                             &positions, &comHost, &gateway};
  for (size_t i = 0; i < kGatewayMethodCount; ++i) fields[5 + i] = &gateway_methods_[i];
  com::py_glue::DropPythonReferences(fields);
}

std::optional<std::string> TradeLink::order_id() const {
  std::lock_guard lk(order_mu_);
  return order_id_;
}

void TradeLink::set_order_id(std::optional<std::string> value) {
  std::lock_guard lk(order_mu_);
  order_id_ = std::move(value);
}

int64_t TradeLink::GWAccountID() const {
  if (!gw_account_id_) {
    Raise(PyExc_AttributeError, "GWAccountID is not set: no account has been subscribed");
  }
  return *gw_account_id_;
}

const com::DispatchPtr& TradeLink::cel() const {
  if (!cel_) Raise(PyExc_RuntimeError, "TradeLink.Init(gateway) has not been called");
  return cel_;
}

bool TradeLink::WaitEvent(com::ManualResetEvent& event) {
  double seconds = Timeout();
  py::gil_scoped_release release;
  return WaitEventWithoutGil(event, seconds);
}

bool TradeLink::WaitEventWithoutGil(com::ManualResetEvent& event, double seconds) {
  // A short spin first: answers usually come within microseconds, and a sleeping wait
  // costs a wake-up of the scheduler.
  auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
  while (std::chrono::steady_clock::now() < spin_until) {
    if (event.IsSet()) return true;
    std::this_thread::yield();
  }
  return event.Wait(seconds);
}

py::handle TradeLink::GatewayMethod(int which) {
  py::object& m = gateway_methods_[which];
  if (!m) {
    if (!gateway || gateway.is_none()) {
      Raise(PyExc_RuntimeError, "TradeLink.Init(gateway) has not been called");
    }
    m = gateway.attr(kGatewayMethodNames[which]);  // AttributeError when missing
  }
  return m;
}

py::object TradeLink::LookupSecurity(std::string_view symbol) {
  return LookupSecurity(py::str(symbol.data(), symbol.size()));
}

py::object TradeLink::LookupSecurity(const py::str& text) {
  py::handle fn = GatewayMethod(kGetMxSecurity);
  PyObject* result = PyObject_CallOneArg(fn.ptr(), text.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

void TradeLink::Init(py::object gw) {
  py::object host = gw.attr("comHost");
  py::object cel_object = host.attr("cqgCEL");
  com::Variant cel_value = com::py_glue::FromPython(cel_object);
  if (cel_value.type() != com::Variant::Type::Dispatch) {
    Raise(PyExc_RuntimeError, "the gateway's comHost has no cqgCEL: ComHost.Init has not run");
  }
  comHost = std::move(host);
  gateway = std::move(gw);
  cel_ = cel_value.Dispatch();
  for (int i = 0; i < kGatewayMethodCount; ++i) {
    gateway_methods_[i] = py::getattr(gateway, kGatewayMethodNames[i], py::none());
    if (gateway_methods_[i].is_none()) gateway_methods_[i] = py::object();
  }
}

void TradeLink::Logon(const std::string& user_name, const std::string& password) {
  const auto& cel = this->cel();
  Trace("Connecting to GW");
  {
    py::gil_scoped_release release;
    cel->Call("GWLogon", {Variant(user_name), Variant(password)});
  }
  Trace("Waiting for GW connection...");
  if (!WaitEvent(*eventGatewayIsUp)) Raise(PyExc_RuntimeError, "GW connection timeout!");
}

void TradeLink::Logoff() {
  const auto& cel = this->cel();
  Trace("Logoff from GW");
  com::DispatchPtr account = get_account_from_gwaccountid(GWAccountID());
  eventGatewayIsDown->Clear();
  {
    py::gil_scoped_release release;
    cel->Call("GWLogoff");
  }
  if (!WaitEvent(*eventGatewayIsDown)) Raise(PyExc_RuntimeError, "GW disconnection timeout!");
  std::string name;
  if (account) {
    py::gil_scoped_release release;
    name = account->Get("GWAccountName").ToString();
  }
  // With no account found the log-off has still completed; the line names no account.
  Trace("Successfully logoff account " + name);
}

com::DispatchPtr TradeLink::get_account_from_gwaccountid(int64_t id) {
  const auto& cel = this->cel();
  AccountWalk walk;
  {
    py::gil_scoped_release release;
    walk = WalkAccounts(cel, id);
    for (const auto& a : walk.visited) {
      std::string values = std::to_string(a.id) + " name: " + a.name;
      Trace("GW Account id: " + values);
      if (a.id == id) Trace("[Found] GW Account id: " + values);
    }
  }
  return walk.found;
}

void TradeLink::OnGWConnectionStatusChanged(const Variant& connectionStatus) {
  AtComBoundary([&] { HandleGWConnectionStatusChanged(connectionStatus); });
}

void TradeLink::HandleGWConnectionStatusChanged(const Variant& connectionStatus) {
  const auto& names = CelNames::Get();
  int64_t status = connectionStatus.ToInt();
  if (status == names.csConnectionUp) {
    Trace("GW connection is UP!");
    eventGatewayIsUp->Set();
  }
  if (status == names.csConnectionDown) {
    Trace("GW connection is DOWN!");
    eventGatewayIsDown->Set();
  }
}

void TradeLink::OnDataConnectionStatusChanged(const Variant& newStatus) {
  AtComBoundary([&] { HandleDataConnectionStatusChanged(newStatus); });
}

void TradeLink::HandleDataConnectionStatusChanged(const Variant& newStatus) {
  comhost::WriteLine("DataConnectionStatus=" + std::to_string(newStatus.ToInt()));
}

void TradeLink::OnDataError(const Variant& cqgError, const Variant& errorDescription) {
  AtComBoundary([&] { HandleDataError(cqgError, errorDescription); });
}

void TradeLink::HandleDataError(const Variant& cqgError, const Variant& /*errorDescription*/) {
  if (cqgError.IsEmpty()) return;
  const auto& error = cqgError.Dispatch();
  Trace("OnDataError: Code: " + error->Get("Code").ToString() +
        " Description: " + error->Get("Description").ToString());
}

}  // namespace mx::tradelink
