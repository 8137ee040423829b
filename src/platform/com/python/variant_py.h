// Python glue of the COM runtime: Variant <-> Python values, the Dispatch wrapper's C++
// side, Python objects seen as dispatch objects, and ComError for Python.
//
// Conversions (GIL held):
//   Python -> Variant: None -> empty; bool; int -> 32-bit when it fits, else 64-bit;
//   float; str; datetime.datetime / datetime.date -> date-time (a zone-aware datetime
//   first moved to the same instant in the server's zone, com::DateZone); Dispatch -> its object;
//   objects with __index__ -> integer, with __float__ -> double; anything else -> a
//   dispatch object over the Python object (attributes and calls by name, under the GIL).
//   Variant -> Python: the reverse; date-times come back as naive datetime.datetime; a
//   dispatch object over a Python object comes back as that object; any other object as
//   a Dispatch.
//
// pybind11 converts com::Variant through the type caster below in every module that
// includes this header, so bindings take and return Variants directly.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "platform/com/dispatch.h"

namespace mx::com::py_glue {

namespace py = pybind11;

// The C++ side of the Python class `Dispatch` (registered by comhost).
struct DispatchHandle {
  com::DispatchPtr ptr;
};

py::object ToPython(const com::Variant& value);
com::Variant FromPython(py::handle value);
std::vector<com::Variant> FromPythonArgs(const py::args& args, size_t first = 0);
com::DispatchPtr WrapPythonObject(py::object object);

// "TypeName: message" of the Python error being handled (traceback not included).
std::string DescribePythonError(const py::error_already_set& error);

// comhost registers its ComError class here; the translator raises it for com::ComError.
void SetComErrorType(py::object type);
py::handle ComErrorType();

// Invoke with the GIL released when the object is a proxy (its call waits for the COM
// thread); args converted before, the result after.
com::Variant InvokeReleasingGil(const com::DispatchPtr& object, std::string_view name,
                                com::CallKind kind, const std::vector<com::Variant>& args);

}  // namespace mx::com::py_glue

namespace pybind11::detail {

template <>
struct type_caster<mx::com::Variant> {
  PYBIND11_TYPE_CASTER(mx::com::Variant, const_name("object"));
  bool load(handle src, bool /*convert*/) {
    value = mx::com::py_glue::FromPython(src);
    return true;
  }
  static handle cast(const mx::com::Variant& src, return_value_policy, handle) {
    return mx::com::py_glue::ToPython(src).release();
  }
};

}  // namespace pybind11::detail
