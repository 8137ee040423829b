// Text from Python for the plug-ins: a str as UTF-8, refusing what UTF-8 cannot hold.
//
// A str may hold lone surrogates ("\ud800"), which no UTF-8 text can carry. Such text is
// refused with Python's own UnicodeEncodeError, whose reason also names the argument or
// setting the text came from, so the caller sees which value to fix. Callers hold the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace mx::plugins {

namespace py = pybind11;

// Adds " in <what><detail>" to the reason of the UnicodeEncodeError being raised, if it
// is one.
inline void name_in_unicode_error(std::string_view what, std::string_view detail = {}) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr &&
      PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(PyExc_UnicodeEncodeError))) {
    PyObject* reason = PyUnicodeEncodeError_GetReason(value);
    const char* text = reason != nullptr ? PyUnicode_AsUTF8(reason) : nullptr;
    if (text == nullptr ||
        PyUnicodeEncodeError_SetReason(
            value,
            (std::string(text) + " in " + std::string(what) + std::string(detail)).c_str()) != 0) {
      PyErr_Clear();  // the error keeps its own reason
    }
    Py_XDECREF(reason);
  }
  PyErr_Restore(type, value, traceback);
}

// The UTF-8 text of the str `text` (the caller has checked that it is one); `what` and
// `detail` name it in the error.
inline std::string utf8_of(py::handle text, std::string_view what, std::string_view detail = {}) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (utf8 == nullptr) {
    name_in_unicode_error(what, detail);
    throw py::error_already_set();
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace mx::plugins
