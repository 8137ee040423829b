// morvex_trader.platform.com: the COM runtime's Python types (ComError, Dispatch,
// DispatchMethod, RunInHome).
#include <pybind11/pybind11.h>

#include "platform/com/python/dispatch_py.h"

PYBIND11_MODULE(com, m) {
  m.doc() = "The COM runtime's Python types: ComError, Dispatch, DispatchMethod, RunInHome.";
  mx::com::py_glue::BindDispatch(m);
}
