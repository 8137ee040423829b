#include "gateways/cqg/wrapper/tradelink/marketdata_support.h"

#include "gateways/cqg/wrapper/tradelink/cel_names.h"

namespace mx::tradelink {

py::object MapGet(py::handle map, py::handle key) {
  if (PyDict_CheckExact(map.ptr())) {
    PyObject* v = PyDict_GetItemWithError(map.ptr(), key.ptr());
    if (v == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return py::none();
    }
    return py::reinterpret_borrow<py::object>(v);  // None stays None: absent
  }
  static PyObject* const get = PyUnicode_InternFromString("get");  // never freed
  PyObject* args[2] = {map.ptr(), key.ptr()};
  PyObject* v = PyObject_VectorcallMethod(get, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (v == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(v);
}

void MapSet(py::handle map, py::handle key, py::handle value) {
  if (PyObject_SetItem(map.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

const char* TickType2String(int64_t tickType) {
  const auto& names = CelNames::Get();
  if (tickType == names.tptAsk) return "Ask price";
  if (tickType == names.tptBid) return "Bid price";
  if (tickType == names.tptSettlement) return "Settlement price";
  if (tickType == names.tptTrade) return "Trade price";
  PyErr_SetObject(PyExc_KeyError, py::int_(tickType).ptr());
  throw py::error_already_set();
}

const char* TickType2String(py::handle tickType) {
  PyObject* o = tickType.ptr();
  if (PyLong_Check(o) && !PyBool_Check(o)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!(v == -1 && PyErr_Occurred()) && overflow == 0) return TickType2String(int64_t{v});
    PyErr_Clear();
  }
  PyErr_SetObject(PyExc_KeyError, o);
  throw py::error_already_set();
}

}  // namespace mx::tradelink
