#include <pybind11/pybind11.h>

#include <string>

#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "gateways/cqg/wrapper/comhost/trace.h"
#include "gateways/cqg/wrapper/python/bindings.h"

namespace py = pybind11;

namespace mx::comhost::bind {
namespace {

// Python's buffered sys.stdout goes out first, so print() and Trace keep their order.
void FlushPythonStdout() {
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  if (out == nullptr || out == Py_None) return;
  py::reinterpret_borrow<py::object>(out).attr("flush")();
}

}  // namespace

void init_trace(py::module_& m) {
  m.def(
      "Trace",
      [](const std::string& message) {
        FlushPythonStdout();
        py::gil_scoped_release release;
        Trace(message);
      },
      py::arg("message"),
      R"(Writes "<thread id>: <message>" as one line on standard output and flushes it.)");
  m.def(
      "AssertMessage",
      [](py::handle condition, const std::string& message) {
        if (!py::bool_(py::reinterpret_borrow<py::object>(condition))) {
          throw std::runtime_error(message);
        }
      },
      py::arg("condition"), py::arg("message"),
      R"(Raises RuntimeError(message) when condition is false.)");

  // The type library's constants: module attributes, a namespace and a look-up.
  py::dict table;
  for (const auto& [name, value] : CelTypeLibrary().constants()) {
    m.attr(name.c_str()) = value;
    table[py::str(name)] = value;
  }
  m.attr("constants") = py::module_::import("types").attr("SimpleNamespace")(**table);
  m.def(
      "constant",
      [](const std::string& name) {
        if (auto v = CelTypeLibrary().Find(name)) return *v;
        throw py::key_error(name);
      },
      py::arg("name"), R"(The CQGCEL type library's constant `name`; KeyError when unknown.)");
}

}  // namespace mx::comhost::bind
