// Python sinks: CELSinkBase subclasses written in Python (and C++ sinks such as TradeLink
// that Python may subclass further), plus the by-name adapter for other sink classes.
//
// PySink<Base> is the pybind11 trampoline of a C++ sink class Base. Which of the 104
// events a Python subclass overrides is computed once per Python type (walking its MRO;
// an attribute found first in a class that pybind11 registered is the C++ one). An
// overridden event is called in Python; every other event goes straight to Base's C++
// operation, with no interpreter lock and no attribute lookup.
//
// On the COM thread the interpreter lock is taken lazily: the first Python delivery takes
// it and it is kept across the following deliveries until the thread is about to wait
// (the apartment's idle hook) or its apartment closes. A thread without an apartment takes
// and releases it around each call.
//
// A sink class that is not a CELSinkBase subclass gets the by-name adapter: each event
// calls the instance's attribute of the same name, when it has one, and is ignored
// otherwise. Errors are traced as CELSinkBase does ("Exception in <event>: <text>").
//
// Thread-safety: deliveries on the COM thread; OverridesOf and MakeSinkFactory's result
// take the GIL themselves.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <memory>

#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"
#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::comhost::py_glue {

namespace py = pybind11;

// What one Python sink type does with each event, by dispatch id: fn is null (not
// overridden), a plain function (called with self first) or, for any other kind of
// attribute, the event's name (looked up on the instance at each call).
struct PythonOverrides {
  std::array<PyObject*, cqgcel::kEventCount + 1> fn{};  // strong references, never freed
  std::array<bool, cqgcel::kEventCount + 1> by_name{};
  bool any = false;
};

// GIL held. Cached per type for the life of the process.
std::shared_ptr<const PythonOverrides> OverridesOf(py::handle type);

// Holds the interpreter lock for a call into Python from a native thread. On a thread
// with an open apartment (the COM thread) the lock is taken lazily and kept across the
// following calls until the apartment is about to wait or closes; elsewhere it is taken and
// released around the scope. Usable with the lock already held.
class ComThreadGil {
 public:
  ComThreadGil();
  ~ComThreadGil();
  ComThreadGil(const ComThreadGil&) = delete;
  ComThreadGil& operator=(const ComThreadGil&) = delete;

 private:
  bool scoped_ = false;
  PyGILState_STATE state_{};
};

// Calls the override of event `dispid` with self and `args` (GIL taken as described
// above); a Python error becomes std::runtime_error("TypeName: message").
void CallPythonEvent(PyObject* self, const PythonOverrides& overrides, int dispid, com::Args args);

// Implemented by every trampoline: told its Python instance and overrides once.
class PythonBound {
 public:
  virtual ~PythonBound() = default;
  virtual void BindPython(PyObject* self, std::shared_ptr<const PythonOverrides> overrides) = 0;
};

template <class Base>
class PySink : public Base, public PythonBound {
 public:
  using Base::Base;

  void BindPython(PyObject* self, std::shared_ptr<const PythonOverrides> overrides) override {
    self_ = self;  // borrowed: the Python instance owns this object
    overrides_ = std::move(overrides);
  }

 protected:
  void Deliver(int dispid, com::Args args) override {
    if (overrides_ && overrides_->any && dispid > 0 && dispid <= cqgcel::kEventCount) {
      if (overrides_->fn[static_cast<size_t>(dispid)] != nullptr) {
        CallPythonEvent(self_, *overrides_, dispid, args);
        return;
      }
    }
    Base::Deliver(dispid, args);
  }

 private:
  PyObject* self_ = nullptr;
  std::shared_ptr<const PythonOverrides> overrides_;
};

// The factory the COM host runs on the COM thread: constructs `sinkType()` (no arguments)
// and returns the adapter that keeps the instance and delivers to it. A construction
// failure throws std::runtime_error("TypeName: message").
ComHost::SinkFactory MakeSinkFactory(py::object sinkType);

// The Python instance behind a sink the factory made (None otherwise). GIL held.
py::object SinkInstance(const std::shared_ptr<com::IEventSink>& sink);

}  // namespace mx::comhost::py_glue
