// Whether Python may still be entered, and dropping Python references from any thread.
//
// Native threads (the COM thread, a std::function's last owner) may outlive the
// interpreter or run while it finalises; taking the GIL then would hang or end the thread.
// Code that may run that late asks InterpreterUsable() first, and drops its references
// with DropPythonReferences, which leaks them rather than touch a dying interpreter.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <span>

namespace mx::com::py_glue {

// True while the interpreter is initialised and not finalising. Callable without the GIL.
inline bool InterpreterUsable() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsInitialized() && !Py_IsFinalizing();
#else
  return Py_IsInitialized() && !_Py_IsFinalizing();  // public from 3.13 as Py_IsFinalizing
#endif
}

// Releases each object under the GIL (taken here when not held) while the interpreter
// is usable; once it is not, the references are given up without touching it.
inline void DropPythonReferences(std::span<pybind11::object* const> objects) {
  if (!InterpreterUsable()) {
    for (auto* o : objects) o->release();
    return;
  }
  pybind11::gil_scoped_acquire gil;
  for (auto* o : objects) *o = pybind11::object();
}

inline void DropPythonReferences(std::initializer_list<pybind11::object*> objects) {
  DropPythonReferences(std::span<pybind11::object* const>(objects.begin(), objects.size()));
}

}  // namespace mx::com::py_glue
