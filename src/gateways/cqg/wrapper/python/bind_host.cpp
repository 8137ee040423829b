// ComHost and Start.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "gateways/cqg/wrapper/comhost/trace.h"
#include "gateways/cqg/wrapper/python/bindings.h"
#include "gateways/cqg/wrapper/python/sink_py.h"
#include "platform/com/python/interpreter.h"
#include "platform/com/python/variant_py.h"

namespace py = pybind11;

namespace mx::comhost::bind {
namespace {

// A Python callable kept in a std::function; released under the GIL.
struct Callable {
  py::object fn;
  explicit Callable(py::object f) : fn(std::move(f)) {}
  ~Callable() { com::py_glue::DropPythonReferences({&fn}); }
};

ComHost::Configure MakeConfigure(py::object custom) {
  if (custom.is_none()) return {};
  if (!PyCallable_Check(custom.ptr())) {
    throw py::type_error("customAPIConfiguration must be None or a callable");
  }
  auto holder = std::make_shared<Callable>(std::move(custom));
  return [holder](const com::DispatchPtr& configuration) {
    py::gil_scoped_acquire gil;
    holder->fn(com::py_glue::ToPython(com::Variant(configuration)));
  };
}

ComHost::SinkFactory MakeFactory(py::object sinkType) {
  if (!PyCallable_Check(sinkType.ptr())) {
    throw py::type_error("sinkType must be a sink class (callable with no arguments)");
  }
  return py_glue::MakeSinkFactory(std::move(sinkType));
}

void Start(py::object sampleClassType, py::object customConfiguration) {
  auto host = std::make_shared<ComHost>();
  py::object py_host = py::cast(host);
  try {
    py::object sample = py_host.attr("Init")(sampleClassType, customConfiguration);
    if (!host->errorHappened.load()) {
      sample.attr("Init")(py_host);
      sample.attr("Start")();
    }
  } catch (py::error_already_set& e) {
    std::string text = py::str(e.value());
    py::gil_scoped_release release;
    Trace("Exception: " + text);
  } catch (const std::exception& e) {
    std::string text = e.what();
    py::gil_scoped_release release;
    Trace("Exception: " + text);
  }
  py_host.attr("Shutdown")();
}

}  // namespace

void init_host(py::module_& m) {
  py::class_<com::Stream>(m, "Stream", R"(A marshalled CQGCEL reference, consumed by Init.)");

  py::class_<ComHost, std::shared_ptr<ComHost>>(m, "ComHost", R"(Hosts CQGCEL on its COM thread.

Construct, Init(sinkType, customAPIConfiguration) once, check errorHappened, use cqgCEL and
the returned sink, Shutdown() at the end.)")
      .def(py::init<>())
      .def_property_readonly("eventCELStarted", [](ComHost& h) { return h.eventCELStarted; })
      .def_property_readonly("eventAllPrepared", [](ComHost& h) { return h.eventAllPrepared; })
      .def_property_readonly("shutdownEvent", [](ComHost& h) { return h.shutdownEvent; })
      .def_property_readonly("errorHappened", [](ComHost& h) { return h.errorHappened.load(); })
      .def_property_readonly(
          "thread",
          [](ComHost& h) -> py::object {
            if (h.threadId() == 0) return py::none();
            return py::int_(h.threadId());
          },
          R"(The COM thread's identifier (as threading.get_ident() gives it), or None.)")
      .def_property_readonly("cqgCELStream",
                             [](ComHost& h) -> py::object {
                               if (!h.cqgCELStream) return py::none();
                               return py::cast(h.cqgCELStream.get(),
                                               py::return_value_policy::reference);
                             })
      .def_property_readonly("sink", [](ComHost& h) { return py_glue::SinkInstance(h.sink); })
      .def_property_readonly("cqgCEL",
                             [](ComHost& h) -> py::object {
                               if (!h.cqgCEL) return py::none();
                               return com::py_glue::ToPython(com::Variant(h.cqgCEL));
                             })
      .def(
          "Init",
          [](ComHost& h, py::object sinkType, py::object customAPIConfiguration) {
            auto factory = MakeFactory(std::move(sinkType));
            auto configure = MakeConfigure(std::move(customAPIConfiguration));
            std::shared_ptr<com::IEventSink> sink;
            {
              py::gil_scoped_release release;
              sink = h.Init(std::move(factory), std::move(configure));
            }
            return py_glue::SinkInstance(sink);
          },
          py::arg("sinkType"), py::arg("customAPIConfiguration"),
          R"(Starts the COM thread, configures and starts CQGCEL; returns the sink.)")
      .def(
          "threadedFunction",
          [](ComHost& h, py::object sinkType) {
            auto factory = MakeFactory(std::move(sinkType));
            py::gil_scoped_release release;
            h.threadedFunction(factory);
          },
          py::arg("sinkType"))
      .def("pumpMessages", &ComHost::pumpMessages, py::call_guard<py::gil_scoped_release>())
      .def(
          "apiConfigurationSet",
          [](ComHost& h, py::object customAPIConfiguration) {
            auto configure = MakeConfigure(std::move(customAPIConfiguration));
            py::gil_scoped_release release;
            h.apiConfigurationSet(configure);
          },
          py::arg("customAPIConfiguration"))
      .def("startupCel", &ComHost::startupCel, py::call_guard<py::gil_scoped_release>())
      .def("Shutdown", &ComHost::Shutdown, py::call_guard<py::gil_scoped_release>())
      .def("SetError", &ComHost::SetError);

  m.def("Start", &Start, py::arg("sampleClassType"), py::arg("customConfiguration") = py::none(),
        R"(Runs a sink class end to end: Init, its Init(comHost) and Start(), Shutdown.)");
}

}  // namespace mx::comhost::bind
