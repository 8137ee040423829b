// ManualResetEvent, OsEvent, CELSinkBase (104 no-op events, subclassable in Python) and
// SinkInternal.
#include <pybind11/pybind11.h>

#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"
#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "gateways/cqg/wrapper/comhost/sink_internal.h"
#include "gateways/cqg/wrapper/python/bindings.h"
#include "gateways/cqg/wrapper/python/sink_py.h"
#include "platform/com/python/variant_py.h"
#include "platform/com/sync.h"

namespace py = pybind11;

namespace mx::comhost::bind {

void init_sinks(py::module_& m) {
  py::class_<com::ManualResetEvent, std::shared_ptr<com::ManualResetEvent>>(
      m, "ManualResetEvent",
      R"(A flag with set, clear, is_set and wait; starts clear and stays set until cleared.)")
      .def(py::init<>())
      .def("set", &com::ManualResetEvent::Set)
      .def("clear", &com::ManualResetEvent::Clear)
      .def("is_set", &com::ManualResetEvent::IsSet)
      .def(
          "wait",
          [](com::ManualResetEvent& self, std::optional<double> timeout) {
            py::gil_scoped_release release;
            if (!timeout) {
              self.Wait();
              return true;
            }
            return self.Wait(*timeout);
          },
          py::arg("timeout") = py::none(),
          R"(Waits until set (for at most `timeout` seconds); True when the flag is set.)");

  py::class_<com::OsEvent, std::shared_ptr<com::OsEvent>>(
      m, "OsEvent", R"(An auto-reset event object (CreateEvent stand-in); set() wakes one wait.)")
      .def("set", &com::OsEvent::Set);

  auto base = py::class_<CELSinkBase, py_glue::PySink<CELSinkBase>, std::shared_ptr<CELSinkBase>>(
      m, "CELSinkBase",
      R"(Base of every CQGCEL event sink: one operation per event, each doing nothing.

Derive and override events by name; the COM host calls them on the COM thread.
Only the events a subclass overrides cost a call into Python.)");
  base.def(py::init<>());
#define CEL_EVENT0(name) base.def(#name, &CELSinkBase::name);
#define CEL_EVENT1(name, a) base.def(#name, &CELSinkBase::name, py::arg(#a));
#define CEL_EVENT2(name, a, b) base.def(#name, &CELSinkBase::name, py::arg(#a), py::arg(#b));
#define CEL_EVENT3(name, a, b, c) \
  base.def(#name, &CELSinkBase::name, py::arg(#a), py::arg(#b), py::arg(#c));
#define CEL_EVENT5(name, a, b, c, d, e)                                                   \
  base.def(#name, &CELSinkBase::name, py::arg(#a), py::arg(#b), py::arg(#c), py::arg(#d), \
           py::arg(#e));
#include "platform/cqgcel/interface/cel_events.def"

  py::class_<SinkInternal, CELSinkBase, std::shared_ptr<SinkInternal>>(
      m, "SinkInternal", py::is_final(),
      R"(The COM host's own sink: start-up and data-error events become the host's
start-up signal and error flag.)")
      .def(py::init<>())
      .def("Init", &SinkInternal::Init, py::arg("eventCELStarted"), py::arg("comHost"))
      .def_property_readonly("eventCELStarted", &SinkInternal::eventCELStarted)
      .def_property_readonly("comHost", &SinkInternal::comHost);
}

}  // namespace mx::comhost::bind
