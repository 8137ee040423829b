#include "gateways/cqg/wrapper/tradelink/host_api.h"

#include <datetime.h>
#include <time.h>

namespace mx::tradelink {
namespace {

HostApi* api = nullptr;          // never freed
PyObject* module_ptr = nullptr;  // borrowed from the module, which lives for the process
PyObject* timeout_name = nullptr;
PyObject* pause_name = nullptr;

double ModuleSeconds(PyObject* name) {
  py::object value = py::reinterpret_steal<py::object>(PyObject_GetAttr(module_ptr, name));
  if (!value) throw py::error_already_set();
  if (PyBool_Check(value.ptr()) || (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr()))) {
    Raise(PyExc_TypeError, std::string(PyUnicode_AsUTF8(name)) + " must be a number of seconds");
  }
  double seconds = PyFloat_AsDouble(value.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return seconds;
}

void EnsureDateTimeApi() {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  }
}

}  // namespace

void Raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

const HostApi& HostApi::Get() { return *api; }

void HostApi::Load() {
  if (api != nullptr) return;
  auto* a = new HostApi();
  auto data = py::module_::import("morvex_trader.core.data");
  a->Quote = data.attr("Quote");
  a->OrderBook = data.attr("OrderBook");
  a->Bar = data.attr("Bar");
  a->AccountBalance = py::module_::import("morvex_trader.core.balance").attr("AccountBalance");
  a->PositionData = py::module_::import("morvex_trader.core.position").attr("PositionData");
  auto constants = py::module_::import("morvex_trader.core.constants");
  py::object direction = constants.attr("Direction");
  a->LONG = direction.attr("LONG");
  a->SHORT = direction.attr("SHORT");
  py::object status = constants.attr("OrderStatus");
  const char* statuses[] = {"SUBMITTED", "FILLED", "CANCELLED", "FAILED", "UNKNOWN"};
  for (int i = 0; i < 5; ++i) a->status[i] = status.attr(statuses[i]);
  py::object order_type = constants.attr("OrderType");
  a->LIMIT = order_type.attr("LIMIT");
  a->MARKET = order_type.attr("MARKET");
  a->STOP = order_type.attr("STOP");
  a->replace = py::module_::import("dataclasses").attr("replace");
  EnsureDateTimeApi();
  api = a;
}

void SetModule(py::module_ m) {
  module_ptr = m.ptr();
  timeout_name = PyUnicode_InternFromString("TIMEOUT");
  pause_name = PyUnicode_InternFromString("ACCOUNT_SWITCH_PAUSE");
}

double Timeout() { return ModuleSeconds(timeout_name); }

double AccountSwitchPause() { return ModuleSeconds(pause_name); }

py::object ModuleLock() { return py::reinterpret_borrow<py::module_>(module_ptr).attr("lock"); }

py::object NowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // The calendar fields change once a second: keep the last second's (per thread).
  thread_local time_t last_second = -1;
  thread_local tm local{};
  if (ts.tv_sec != last_second) {
    localtime_r(&ts.tv_sec, &local);
    last_second = ts.tv_sec;
  }
  PyObject* o = PyDateTime_FromDateAndTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                           local.tm_hour, local.tm_min, local.tm_sec,
                                           static_cast<int>(ts.tv_nsec / 1000));
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

py::object ToNaiveSecond(const com::Variant& value, const char* what) {
  if (value.type() != com::Variant::Type::Date) {
    Raise(PyExc_TypeError, std::string(what) + " is not a date-time");
  }
  const com::DateTime& d = value.Date();
  PyObject* o = PyDateTime_FromDateAndTime(d.year, d.month, d.day, d.hour, d.minute, d.second, 0);
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

}  // namespace mx::tradelink
