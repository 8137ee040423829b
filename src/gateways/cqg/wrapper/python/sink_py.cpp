#include "gateways/cqg/wrapper/python/sink_py.h"

#include <stdexcept>
#include <string>
#include <unordered_map>

#include "platform/com/apartment.h"
#include "platform/com/python/interpreter.h"
#include "platform/com/python/variant_py.h"

namespace mx::comhost::py_glue {

using namespace com::py_glue;  // the COM runtime's Python glue

namespace {

// The COM thread keeps the interpreter lock across consecutive Python deliveries and
// drops it when its apartment is about to wait (or closes).
struct LazyGil {
  bool held = false;
  PyGILState_STATE state{};
  std::weak_ptr<com::Apartment> hooked;
};
thread_local LazyGil lazy_gil;

void ReleaseLazyGil() {
  if (lazy_gil.held) {
    lazy_gil.held = false;
    PyGILState_Release(lazy_gil.state);
  }
}

bool IsCppFunction(PyObject* attr) {
  if (PyInstanceMethod_Check(attr)) attr = PyInstanceMethod_GET_FUNCTION(attr);
  return PyCFunction_Check(attr);
}

// For every event: the interned name when the type's MRO finds the attribute first in a
// Python class (`cpp_counts`: a pybind11 function found first means "not overridden"),
// or, for by-name sinks, anywhere.
std::shared_ptr<const PythonOverrides> Resolve(py::handle type, bool cpp_counts) {
  auto table = std::make_shared<PythonOverrides>();
  PyObject* mro = reinterpret_cast<PyTypeObject*>(type.ptr())->tp_mro;
  const auto& events = cqgcel::CelEvents();
  for (int id = 1; id <= cqgcel::kEventCount; ++id) {
    PyObject* name = PyUnicode_InternFromString(events.Name(id).c_str());
    if (name == nullptr) throw py::error_already_set();
    bool overridden = false;
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
      PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
      PyObject* attr = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
      if (attr == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        continue;
      }
      overridden = !(cpp_counts && IsCppFunction(attr));
      found = attr;
      break;
    }
    if (overridden) {
      if (PyFunction_Check(found)) {
        Py_INCREF(found);
        table->fn[static_cast<size_t>(id)] = found;
        Py_DECREF(name);
      } else {
        table->fn[static_cast<size_t>(id)] = name;  // keeps the reference
        table->by_name[static_cast<size_t>(id)] = true;
      }
      table->any = true;
    } else {
      Py_DECREF(name);
    }
  }
  return table;
}

std::shared_ptr<const PythonOverrides> Cached(py::handle type, bool cpp_counts) {
  // GIL held. Types are kept alive by the cache (sink classes are few and long-lived).
  static auto* cache = new std::unordered_map<PyObject*, std::shared_ptr<const PythonOverrides>>[2];
  auto& map = cache[cpp_counts ? 1 : 0];
  auto it = map.find(type.ptr());
  if (it != map.end()) return it->second;
  auto table = Resolve(type, cpp_counts);
  map.emplace(type.inc_ref().ptr(), table);
  return table;
}

// A sink class not derived from CELSinkBase: events by attribute name, ignored when absent.
class ByNameSink final : public CELSinkBase {
 public:
  ByNameSink(PyObject* self, std::shared_ptr<const PythonOverrides> table)
      : self_(self), table_(std::move(table)) {}

 protected:
  void Deliver(int dispid, com::Args args) override {
    if (dispid <= 0 || dispid > cqgcel::kEventCount) return;
    if (table_->fn[static_cast<size_t>(dispid)] != nullptr) {
      CallPythonEvent(self_, *table_, dispid, args);
    }
  }

 private:
  PyObject* self_;  // borrowed: the adapter holds the instance
  std::shared_ptr<const PythonOverrides> table_;
};

// What the COM host connects: keeps the Python instance alive and passes events to its
// C++ side.
class PythonSinkAdapter final : public com::IEventSink {
 public:
  PythonSinkAdapter(py::object instance, std::shared_ptr<CELSinkBase> cpp)
      : instance_(std::move(instance)), cpp_(std::move(cpp)) {}

  ~PythonSinkAdapter() override {
    cpp_.reset();
    DropPythonReferences({&instance_});
  }

  void OnEvent(int dispid, std::string_view name, com::Args args) override {
    cpp_->OnEvent(dispid, name, args);
  }

  const py::object& instance() const { return instance_; }

 private:
  py::object instance_;
  std::shared_ptr<CELSinkBase> cpp_;
};

// Holds a Python object in a std::function that may die on the COM thread.
struct PyObjectHolder {
  py::object object;
  explicit PyObjectHolder(py::object o) : object(std::move(o)) {}
  ~PyObjectHolder() { DropPythonReferences({&object}); }
};

}  // namespace

ComThreadGil::ComThreadGil() {
  if (lazy_gil.held) return;
  auto apartment = com::Apartment::Current();
  if (apartment && !apartment->IsClosed()) {
    lazy_gil.state = PyGILState_Ensure();
    lazy_gil.held = true;
    if (lazy_gil.hooked.lock() != apartment) {
      apartment->AddIdleHook(&ReleaseLazyGil);
      lazy_gil.hooked = apartment;
    }
    return;
  }
  state_ = PyGILState_Ensure();
  scoped_ = true;
}

ComThreadGil::~ComThreadGil() {
  if (scoped_) PyGILState_Release(state_);
}

std::shared_ptr<const PythonOverrides> OverridesOf(py::handle type) { return Cached(type, true); }

void CallPythonEvent(PyObject* self, const PythonOverrides& overrides, int dispid, com::Args args) {
  if (!InterpreterUsable()) throw std::runtime_error("the interpreter is shutting down");
  ComThreadGil gil;
  PyObject* stack[6];
  const size_t n = args.size();
  if (n > 5) throw std::invalid_argument("too many event arguments");
  stack[0] = self;
  size_t made = 0;
  try {
    for (; made < n; ++made) stack[made + 1] = ToPython(args[made]).release().ptr();
  } catch (py::error_already_set& e) {
    for (size_t i = 0; i < made; ++i) Py_DECREF(stack[i + 1]);
    throw std::runtime_error(DescribePythonError(e));
  }
  const auto slot = static_cast<size_t>(dispid);
  PyObject* result = overrides.by_name[slot]
                         ? PyObject_VectorcallMethod(overrides.fn[slot], stack, n + 1, nullptr)
                         : PyObject_Vectorcall(overrides.fn[slot], stack, n + 1, nullptr);
  for (size_t i = 0; i < n; ++i) Py_DECREF(stack[i + 1]);
  if (result == nullptr) {
    py::error_already_set e;
    throw std::runtime_error(DescribePythonError(e));
  }
  Py_DECREF(result);
}

ComHost::SinkFactory MakeSinkFactory(py::object sinkType) {
  auto holder = std::make_shared<PyObjectHolder>(std::move(sinkType));
  return [holder]() -> std::shared_ptr<com::IEventSink> {
    py::gil_scoped_acquire gil;
    try {
      py::object instance = holder->object();
      py::handle base = py::type::of<CELSinkBase>();
      if (py::isinstance(instance, base)) {
        auto cpp = instance.cast<std::shared_ptr<CELSinkBase>>();
        if (auto* bound = dynamic_cast<PythonBound*>(cpp.get())) {
          bound->BindPython(instance.ptr(), OverridesOf(py::type::of(instance)));
        }
        return std::make_shared<PythonSinkAdapter>(std::move(instance), std::move(cpp));
      }
      auto table = Cached(py::type::of(instance), false);
      auto cpp = std::make_shared<ByNameSink>(instance.ptr(), std::move(table));
      return std::make_shared<PythonSinkAdapter>(std::move(instance), std::move(cpp));
    } catch (py::error_already_set& e) {
      throw std::runtime_error(DescribePythonError(e));
    }
  };
}

py::object SinkInstance(const std::shared_ptr<com::IEventSink>& sink) {
  if (auto* adapter = dynamic_cast<PythonSinkAdapter*>(sink.get())) return adapter->instance();
  return py::none();
}

}  // namespace mx::comhost::py_glue
