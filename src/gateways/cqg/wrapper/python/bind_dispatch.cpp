// The COM runtime's Python types as comhost offers them (ComError, Dispatch,
// DispatchMethod, RunInHome: morvex_trader.platform.com's own), and CQGCEL's event table.
#include <pybind11/pybind11.h>

#include "gateways/cqg/wrapper/python/bindings.h"
#include "platform/com/python/dispatch_py.h"

namespace py = pybind11;

namespace mx::comhost::bind {

void init_dispatch(py::module_& m) {
  py::module_ com_module = com::py_glue::ImportComModule();
  for (const char* name : {"ComError", "Dispatch", "DispatchMethod", "RunInHome"}) {
    m.attr(name) = com_module.attr(name);
  }

  // The event table: (name, parameter names) in the interface's order.
  py::list events;
#define CEL_EVENT0(name) events.append(py::make_tuple(#name, py::tuple()));
#define CEL_EVENT1(name, a) events.append(py::make_tuple(#name, py::make_tuple(#a)));
#define CEL_EVENT2(name, a, b) events.append(py::make_tuple(#name, py::make_tuple(#a, #b)));
#define CEL_EVENT3(name, a, b, c) events.append(py::make_tuple(#name, py::make_tuple(#a, #b, #c)));
#define CEL_EVENT5(name, a, b, c, d, e) \
  events.append(py::make_tuple(#name, py::make_tuple(#a, #b, #c, #d, #e)));
#include "platform/cqgcel/interface/cel_events.def"
  m.attr("EVENTS") = py::tuple(events);
}

}  // namespace mx::comhost::bind
