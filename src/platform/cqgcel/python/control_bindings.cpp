#include "platform/cqgcel/python/control_bindings.h"

#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/com/marshal.h"
#include "platform/com/python/variant_py.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/objects.h"
#include "platform/cqgcel/simulator.h"

namespace py = pybind11;

namespace mx::cqgcel::bind {
namespace {

using com::py_glue::FromPythonArgs;
using com::py_glue::ToPython;

const char* KindName(com::CallKind kind) {
  switch (kind) {
    case com::CallKind::Get:
      return "get";
    case com::CallKind::Put:
      return "put";
    case com::CallKind::Method:
      return "call";
  }
  return "?";
}

}  // namespace

std::shared_ptr<Simulator> Live() { return Control::Instance().RequireLive(); }

py::object Bound(const std::shared_ptr<Simulator>& sim, com::DispatchPtr object) {
  if (!object) return py::none();
  return ToPython(com::Variant(com::MakeProxy(std::move(object), sim->home())));
}

void init_control(py::module_& m) {
  m.def(
      "reset", [] { Control::Instance().Reset(); },
      R"(Answers back to their defaults; the journal emptied and switched on.)");

  m.def(
      "set_answer",
      [](const std::string& request, const std::string& mode, double delay, int32_t code,
         const std::string& description) {
        Control::Instance().script().Set(request, Answer::FromMode(mode, delay, code, description));
      },
      py::arg("request"), py::arg("mode") = "succeed", py::kw_only(), py::arg("delay") = 0.0,
      py::arg("code") = 0, py::arg("description") = "",
      R"(How the simulator answers `request` ("Startup", "CreateObject", ...) from now on.

mode: "succeed"; "fail" (an error object with `code` and `description`);
"fail_without_error" (no error object); "hold" (no answer until release());
"raise": the call or property write of the member named `request` (GWLogon, Place,
AutoSubscribeInstruments, DataSubscriptionLevel, ...) itself raises ComError(`code`,
`description`), before it changes anything or raises any event.
delay: seconds before the answer is given. Applies to simulators created later too.)");

  m.def(
      "release",
      [](const std::string& request, const std::string& mode, int32_t code,
         const std::string& description) {
        if (mode == "raise") throw py::value_error("a held answer cannot be raised by its call");
        return Control::Instance().Release(request, Answer::FromMode(mode, 0.0, code, description));
      },
      py::arg("request"), py::arg("mode") = "succeed", py::kw_only(), py::arg("code") = 0,
      py::arg("description") = "",
      R"(Gives the held answers of `request` now, as `mode` says; returns how many.)");

  m.def(
      "raise_event",
      [](const std::string& name, py::args args, bool wait) {
        auto values = FromPythonArgs(args);
        py::gil_scoped_release release;
        Control::Instance().RaiseEvent(name, std::move(values), wait);
      },
      py::arg("name"), py::kw_only(), py::arg("wait") = true,
      R"(Raises CQGCEL event `name` with `args` on the simulator's COM thread.

With wait (the default) returns once every sink has had it; ValueError for an unknown
event or a wrong number of arguments; RuntimeError when no simulator is running.)");

  m.def(
      "post_quit", [](int exit_code) { Control::Instance().PostQuit(exit_code); },
      py::arg("exit_code") = 0, R"(Posts a quit message to the live simulator's COM thread.)");

  m.def(
      "fail_next_wait", [] { Control::Instance().InjectWaitFailure(); },
      R"(Makes the COM thread's next message wait return an unexpected result.)");

  m.def(
      "make_error",
      [](int32_t code, const std::string& description) {
        return ToPython(com::Variant(MakeError(code, description)));
      },
      py::arg("code"), py::arg("description"),
      R"(A CQGCEL error object with Code and Description, to pass to raise_event.)");

  m.def(
      "journal",
      [](bool threads) {
        auto sim = Control::Instance().Live();
        py::list out;
        for (const auto& e : Control::Instance().journal().Entries()) {
          py::tuple args(e.args.size());
          for (size_t i = 0; i < e.args.size(); ++i) {
            const com::Variant& v = e.args[i];
            // Objects are handed out bound to the simulator's thread.
            bool wrap = sim && v.type() == com::Variant::Type::Dispatch;
            args[i] = ToPython(wrap ? com::Variant(com::MakeProxy(v.Dispatch(), sim->home())) : v);
          }
          if (threads) {
            out.append(py::make_tuple(e.object, e.member, KindName(e.kind), args, e.thread));
          } else {
            out.append(py::make_tuple(e.object, e.member, KindName(e.kind), args));
          }
        }
        return out;
      },
      py::arg("threads") = false,
      R"(What the simulator received, in order: (object, member, kind, args) with kind
"put" (property write), "call" (method) or "get" (property read with arguments); with
threads=True each entry also ends with the identifier of the thread the member ran on.)");
  m.def("clear_journal", [] { Control::Instance().journal().Clear(); });
  m.def(
      "set_journal_enabled", [](bool on) { Control::Instance().journal().SetEnabled(on); },
      py::arg("enabled"));

  m.def(
      "is_running", [] { return Control::Instance().Live() != nullptr; },
      R"(Whether a simulator exists.)");
  m.def(
      "simulator",
      [] {
        auto sim = Live();
        return Bound(sim, sim);
      },
      R"(The live simulator (CQGCEL) as a Dispatch whose calls run on its COM thread.)");
  m.def(
      "held", [](const std::string& request) { return Live()->HeldCount(request); },
      py::arg("request"), R"(How many answers of `request` are held back.)");

  m.def(
      "api_configuration",
      [] {
        auto sim = Live();
        std::vector<std::pair<std::string, com::Variant>> values;
        {
          py::gil_scoped_release release;
          sim->RunOnHome([&] { values = sim->configuration()->Values(); });
        }
        py::dict out;
        for (auto& [k, v] : values) out[py::str(k)] = ToPython(v);
        return out;
      },
      R"(The six APIConfiguration settings of the live simulator.)");

  // Measurements for the benchmark.
  m.def(
      "fire_many",
      [](const std::string& name, int64_t count, py::args args) {
        auto values = FromPythonArgs(args);
        py::gil_scoped_release release;
        return Control::Instance().FireMany(name, count, values);
      },
      py::arg("name"), py::arg("count"),
      R"(Raises event `name` `count` times in one go on the COM thread; returns the
nanoseconds the deliveries took there.)");

  m.def(
      "time_marshalled_calls",
      [](py::handle dispatch, const std::string& property, int count) {
        com::DispatchPtr target = com::py_glue::FromPython(dispatch).Dispatch();
        py::gil_scoped_release release;
        return TimePropertyReads(target, property, count);
      },
      py::arg("dispatch"), py::arg("property"), py::arg("count"),
      R"(Reads `property` of `dispatch` `count` times from this thread, from C++; returns
each round trip in nanoseconds.)");
}

}  // namespace mx::cqgcel::bind
