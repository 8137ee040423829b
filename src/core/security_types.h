// Creates the five security record types and adds them to the module.
//
// Thread-safety: called once, with the GIL held, while the module loads.
#pragma once

#include <pybind11/pybind11.h>

namespace mx::security {

// Adds `Security`, `Stock`, `Currency`, `Commodity` and `Futures` to `module`, with
// defaults taken from the host's enumeration `exchange` (morvex_trader.core.constants).
// Raises pybind11::error_already_set when a type cannot be created.
void init_security(pybind11::module_& module, const pybind11::object& exchange);

}  // namespace mx::security
