// morvex_trader.gateways.cqg.wrapper.comhost: the COM host of CQGCEL, its event sinks,
// Trace, AssertMessage and Start, and CQGCEL's type-library constants.
#include <pybind11/pybind11.h>

#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "gateways/cqg/wrapper/python/bindings.h"

namespace py = pybind11;

PYBIND11_MODULE(comhost, m) {
  m.doc() = "COM host of CQGCEL: ComHost, CELSinkBase, SinkInternal, Trace, AssertMessage, Start.";
  mx::comhost::bind::init_dispatch(m);  // ComError first: the type library load may raise it
  // Module-level set-up: CQGCEL's type library must be registered (on Windows by CQG's
  // installer, here by the registry folder) and hold every constant the host uses, or
  // the import fails. Nothing is registered here: the server is whatever the registry
  // names, found when ComHost first creates "CQG.CQGCEL.4".
  mx::comhost::LoadCelTypeLibrary();
  mx::comhost::bind::init_trace(m);
  mx::comhost::bind::init_sinks(m);
  mx::comhost::bind::init_host(m);
  // A host that never called Shutdown: end the COM threads before the interpreter goes.
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    py::gil_scoped_release release;
    mx::comhost::ComHost::StopAll();
  }));
}
