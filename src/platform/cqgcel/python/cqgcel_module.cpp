// morvex_trader.platform.cqgcel: the control surface of the CQGCEL simulator.
#include <pybind11/pybind11.h>

#include "platform/com/python/dispatch_py.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/python/control_bindings.h"

namespace py = pybind11;

PYBIND11_MODULE(cqgcel, m) {
  m.doc() = "Control of the CQGCEL simulator: answers, events, journal, quit.";
  // The Dispatch wrapper and ComError are the COM runtime's; load them first.
  mx::com::py_glue::ImportComModule();
  mx::cqgcel::Register();
  mx::cqgcel::bind::init_control(m);
  mx::cqgcel::bind::init_trading(m);
  mx::cqgcel::bind::init_market_data(m);
  mx::cqgcel::bind::init_market(m);
  mx::cqgcel::bind::init_faults(m);
  mx::cqgcel::bind::init_scripting(m);
}
