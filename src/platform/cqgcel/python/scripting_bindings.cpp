// Control of what the gateway's reads meet: members made unreadable, gates that hold the
// COM thread at a chosen read, and the journal of reads.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/com/python/variant_py.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/member_faults.h"
#include "platform/cqgcel/python/control_bindings.h"

namespace py = pybind11;

namespace mx::cqgcel::bind {
namespace {

using com::py_glue::FromPython;

std::chrono::milliseconds Seconds(double seconds, const char* what) {
  if (!std::isfinite(seconds) || seconds < 0) {
    throw py::value_error(std::string(what) + " must be a finite number >= 0");
  }
  return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

MemberFault MakeFault(const std::string& type, const std::string& member,
                      const std::optional<py::dict>& where) {
  MemberFault fault{type, member, {}, 0, {}, nullptr};
  if (where) {
    for (auto item : *where) {
      fault.where.emplace_back(py::cast<std::string>(item.first), FromPython(item.second));
    }
  }
  return fault;
}

void AddFault(MemberFault fault) {
  try {
    Control::Instance().faults().Add(std::move(fault));
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  }
}

// A reader that holds the interpreter lock gives it up while it waits at a gate.
void WaitWithoutGil(void (*wait)(void*), void* context) {
  if (Py_IsInitialized() && PyGILState_Check()) {
    py::gil_scoped_release release;
    wait(context);
  } else {
    wait(context);
  }
}

}  // namespace

void init_scripting(py::module_& m) {
  ReadGate::SetWaitWrapper(&WaitWithoutGil);

  m.def(
      "set_unreadable",
      [](const std::string& type, const std::string& member, int32_t code,
         const std::string& description, std::optional<py::dict> where) {
        MemberFault fault = MakeFault(type, member, where);
        fault.code = code;
        fault.description = description;
        AddFault(std::move(fault));
      },
      py::arg("type"), py::arg("member"), py::kw_only(), py::arg("code") = 0,
      py::arg("description") = "", py::arg("where") = py::none(),
      R"(Makes reads of `member` of the simulator's `type` objects ("CQGPosition",
"CQGOrder", "CQGFill", "CQGQuote", "CQGAccount", ...) raise ComError(`code`, `description`);
code 0 is E_FAIL, an empty description "<type>.<member> is not available". `where`
({member: value}) limits it to the objects whose other members read as those values.
ValueError for an unknown type or member. Lasts until clear_unreadable() or reset().)");

  m.def(
      "clear_unreadable", [] { Control::Instance().faults().Clear(); },
      R"(Every member readable again; open gates stay open, held readers go on.)");

  py::class_<ReadGate, std::shared_ptr<ReadGate>>(m, "ReadGate", R"(A gate that hold_read() set.)")
      .def(
          "wait_reached",
          [](ReadGate& g, double timeout) {
            auto wait = Seconds(timeout, "timeout");
            py::gil_scoped_release release;
            return g.WaitArrived(wait);
          },
          py::arg("timeout") = 5.0,
          R"(Waits until a reader has reached the gate; whether one has in `timeout` seconds.)")
      .def("open", &ReadGate::Open, R"(Lets the held reader, and every later one, through.)")
      .def_property_readonly("arrivals", &ReadGate::arrivals,
                             R"(How many reads have reached the gate.)")
      .def_property_readonly("expired", &ReadGate::expired,
                             R"(A reader stopped waiting at its deadline: open() came too late.)");

  m.def(
      "hold_read",
      [](const std::string& type, const std::string& member, std::optional<py::dict> where,
         double deadline) {
        MemberFault fault = MakeFault(type, member, where);
        fault.gate = std::make_shared<ReadGate>(Seconds(deadline, "deadline"));
        auto gate = fault.gate;
        AddFault(std::move(fault));
        return gate;
      },
      py::arg("type"), py::arg("member"), py::kw_only(), py::arg("where") = py::none(),
      py::arg("deadline") = 5.0,
      R"(Holds the thread that reads `member` of a `type` object (as `where` narrows it)
there, in the middle of whatever it does, until the returned gate is opened or
`deadline` seconds pass. The reader waits with the interpreter lock released.)");

  m.def(
      "set_journal_reads", [](bool on) { Control::Instance().journal().SetReadsEnabled(on); },
      py::arg("enabled"),
      R"(The journal of reads: plain property reads (Count, Request.Symbol, read-backs of
settings) and every use of ticks, bars and their collections go to journal() as "get".
Off by default and after reset().)");
}

}  // namespace mx::cqgcel::bind
