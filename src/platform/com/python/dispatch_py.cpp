// Dispatch: how Python sees any COM object, late-bound: attribute reads and writes,
// calls (methods and properties with arguments), calling the object itself, iteration,
// len (collections with Count), equality and hashing by object identity.
#include "platform/com/python/dispatch_py.h"

#include <pybind11/stl.h>

#include <string>

#include "platform/com/com_error.h"
#include "platform/com/marshal.h"
#include "platform/com/python/variant_py.h"

namespace py = pybind11;

namespace mx::com::py_glue {
namespace {

// A method (or property with arguments) of a Dispatch, waiting to be called.
struct DispatchMethod {
  com::DispatchPtr ptr;
  std::string name;
};

py::object GetAttr(const DispatchHandle& self, const std::string& name) {
  if (name.size() > 1 && name[0] == '_' && name[1] == '_') throw py::attribute_error(name);
  switch (self.ptr->Describe(name)) {
    case com::MemberKind::Property:
      return ToPython(InvokeReleasingGil(self.ptr, name, com::CallKind::Get, {}));
    case com::MemberKind::Method:
      return py::cast(DispatchMethod{self.ptr, name});
    case com::MemberKind::None:
      break;
  }
  throw py::attribute_error(std::string(self.ptr->TypeName()) + " has no member '" + name + "'");
}

void RegisterComError(py::module_& m) {
  py::object type = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "morvex_trader.platform.com.ComError",
      "An error raised by a COM object; `code` and `description` as it gave them.",
      PyExc_RuntimeError, nullptr));
  if (!type) throw py::error_already_set();
  m.attr("ComError") = type;
  SetComErrorType(type);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const com::ComError& e) {
      py::object error = ComErrorType()(e.description());
      error.attr("code") = e.code();
      error.attr("description") = e.description();
      PyErr_SetObject(ComErrorType().ptr(), error.ptr());
    }
  });
}

// RunInHome(object, task): task(object) on the object's home thread as one round trip. The
// caller waits without the interpreter lock; the task takes it on the home thread. What
// the task raises is raised again in the caller. The object the task receives is the
// home thread's own (no proxy): it must not leave the task.
py::object RunTaskInHome(const DispatchHandle& self, const py::function& task) {
  if (!self.ptr->IsProxy()) return task(DispatchHandle{self.ptr});
  py::object result;
  py::object error;  // the exception object the task raised
  {
    py::gil_scoped_release release;
    com::RunInHome(self.ptr, [&](const com::DispatchPtr& home) {
      // Scoped, not the COM thread's lazy hold: each extension module keeps its own lazy
      // hold, and PyGILState holds must be released in reverse order. A scoped hold nests
      // inside whatever hold the thread already has.
      struct ScopedGil {
        PyGILState_STATE state = PyGILState_Ensure();
        ~ScopedGil() { PyGILState_Release(state); }
      } gil;
      try {
        result = task(DispatchHandle{home});
      } catch (py::error_already_set& e) {
        error = e.value();
      }
    });
  }
  if (error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }
  return result;
}

}  // namespace

void BindDispatch(py::module_& m) {
  RegisterComError(m);

  py::class_<DispatchMethod>(m, "DispatchMethod",
                             R"(A member of a Dispatch that is called: a method, or a
property that takes arguments such as Summary.Balance(0).)")
      .def("__call__",
           [](const DispatchMethod& self, py::args args) {
             return ToPython(InvokeReleasingGil(self.ptr, self.name, com::CallKind::Method,
                                                FromPythonArgs(args)));
           })
      .def("__repr__", [](const DispatchMethod& self) {
        return "<DispatchMethod " + std::string(self.ptr->TypeName()) + "." + self.name + ">";
      });

  py::class_<DispatchHandle>(m, "Dispatch", R"(A COM object reached late-bound, by name.

Attribute reads and writes reach its properties; methods and properties with arguments
come back callable; calling the object calls its default member (a collection's Item);
iteration walks a collection; len() is a collection's Count. Two Dispatch values compare
equal when they reach the same object. Calls through a marshalled reference run on the
COM thread; the interpreter lock is released while they wait.)")
      .def("__getattr__", &GetAttr, py::arg("name"))
      .def("__setattr__",
           [](const DispatchHandle& self, const std::string& name, py::handle value) {
             std::vector<com::Variant> args{FromPython(value)};
             InvokeReleasingGil(self.ptr, name, com::CallKind::Put, args);
           })
      .def("__call__",
           [](const DispatchHandle& self, py::args args) {
             return ToPython(
                 InvokeReleasingGil(self.ptr, "", com::CallKind::Method, FromPythonArgs(args)));
           })
      .def("__iter__",
           [](const DispatchHandle& self) {
             std::vector<com::Variant> items;
             if (self.ptr->IsProxy()) {
               py::gil_scoped_release release;
               items = self.ptr->Enumerate();
             } else {
               items = self.ptr->Enumerate();
             }
             py::list out;
             for (const auto& v : items) out.append(ToPython(v));
             return py::iter(out);
           })
      .def("__len__",
           [](const DispatchHandle& self) {
             if (self.ptr->Describe("Count") != com::MemberKind::Property) {
               throw py::type_error("object of type '" + std::string(self.ptr->TypeName()) +
                                    "' has no len()");
             }
             return InvokeReleasingGil(self.ptr, "Count", com::CallKind::Get, {}).ToInt();
           })
      .def("__bool__", [](const DispatchHandle&) { return true; })
      .def("__eq__",
           [](const DispatchHandle& self, py::handle other) {
             if (!py::isinstance<DispatchHandle>(other)) return false;
             return self.ptr->Identity() == other.cast<const DispatchHandle&>().ptr->Identity();
           })
      .def("__ne__",
           [](const DispatchHandle& self, py::handle other) {
             if (!py::isinstance<DispatchHandle>(other)) return true;
             return self.ptr->Identity() != other.cast<const DispatchHandle&>().ptr->Identity();
           })
      .def(
          "__hash__",
          [](const DispatchHandle& self) { return std::hash<const void*>{}(self.ptr->Identity()); })
      .def("__dir__", [](const DispatchHandle& self) { return self.ptr->MemberNames(); })
      .def("__repr__", [](const DispatchHandle& self) {
        return "<Dispatch " + std::string(self.ptr->TypeName()) +
               (self.ptr->IsProxy() ? " (marshalled)>" : ">");
      });

  m.def("RunInHome", &RunTaskInHome, py::arg("obj"), py::arg("task"),
        R"(Runs task(obj) on the home thread of obj (the COM thread for cqgCEL and what it
returns) as one round trip, and returns its result. Use it for a walk that reads many
members: each read through a marshalled reference is a round trip of its own. The object
the task receives is the COM thread's own: return plain values, not COM objects.)");
}

pybind11::module_ ImportComModule() { return py::module_::import("morvex_trader.platform.com"); }

}  // namespace mx::com::py_glue
