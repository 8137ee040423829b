// Binding areas of the simulator's control module.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "platform/com/dispatch.h"

namespace mx::cqgcel {
class Simulator;
}

namespace mx::cqgcel::bind {

// The live simulator; RuntimeError "No CQGCEL simulator is running" without one.
std::shared_ptr<Simulator> Live();
// `object` as a Dispatch whose calls run on the simulator's COM thread; None for null.
pybind11::object Bound(const std::shared_ptr<Simulator>& sim, com::DispatchPtr object);

void init_control(pybind11::module_& m);      // answers, events, journal, quit, measurements
void init_trading(pybind11::module_& m);      // instruments, quotes, accounts, orders, fills
void init_market_data(pybind11::module_& m);  // tick and timed-bars requests
void init_market(pybind11::module_& m);       // market mode: configure, snapshot
void init_faults(pybind11::module_& m);       // connections, fills again, restarts
void init_scripting(pybind11::module_& m);    // unreadable members, read gates, read journal

}  // namespace mx::cqgcel::bind
