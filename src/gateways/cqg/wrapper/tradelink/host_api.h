// What the gateway takes from the host and from its own module, looked up once.
//
// Host record classes and constants (Quote, OrderBook, Bar, AccountBalance, PositionData,
// Direction, OrderStatus), dataclasses.replace, and helpers that build host values from
// the COM thread without a round trip through Python code: the current local time and the
// order/bar time conversion. Records themselves are never cached.
//
// The module's own values: TIMEOUT is read from the module attribute at every wait (a
// host or a test may assign it), `lock` is the module's Python lock.
//
// Thread-safety: everything here needs the GIL, except Load's callers' later reads of the
// immutable HostApi fields (which are Python objects: use them under the GIL too).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "platform/com/variant.h"

namespace mx::tradelink {

namespace py = pybind11;

struct HostApi {
  py::object Quote, OrderBook, Bar, AccountBalance, PositionData;
  py::object LONG, SHORT;          // Direction members
  py::object LIMIT, MARKET, STOP;  // OrderType members
  py::object status[5];            // OrderStatus: SUBMITTED, FILLED, CANCELLED, FAILED, UNKNOWN
  py::object replace;              // dataclasses.replace

  // Loaded by the module's init; never destroyed (outlives the interpreter's teardown).
  static const HostApi& Get();
  static void Load();
};

// The tradelink module (its TIMEOUT, lock); set once at module init.
void SetModule(py::module_ m);
// TIMEOUT in seconds, read now; TypeError when it is not a number.
double Timeout();
// ACCOUNT_SWITCH_PAUSE in seconds (the pause between switching account updates off and on
// again), read now; TypeError when it is not a number.
double AccountSwitchPause();
// The module-level lock (a non-reentrant Python lock).
py::object ModuleLock();

// Local wall-clock time as a naive datetime, with microseconds.
py::object NowLocal();
// A date-time from its calendar fields down to the second: no fraction, no zone, no shift.
// TypeError when `value` is not a date-time.
py::object ToNaiveSecond(const com::Variant& value, const char* what);

// Raises a Python error of `type` with `message` (GIL held).
[[noreturn]] void Raise(PyObject* type, const std::string& message);

}  // namespace mx::tradelink
