// morvex_trader.core.security: immutable records naming a tradable instrument.

#include <pybind11/pybind11.h>

#include "security_types.h"

namespace py = pybind11;

PYBIND11_MODULE(security, module) {
  module.doc() =
      "Immutable security records: Security and its kinds Stock, Currency, Commodity "
      "and Futures.";
  // The one thing taken from the host: its exchange enumeration, bound at load time
  // (an import failure fails the load of this module).
  const py::object exchange = py::module_::import("morvex_trader.core.constants").attr("Exchange");
  module.attr("Exchange") = exchange;
  mx::security::init_security(module, exchange);
}
