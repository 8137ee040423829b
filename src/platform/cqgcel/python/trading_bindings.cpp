// Simulator control for trading: symbols and instruments, quotes, accounts (summary and
// positions), orders and fills.
#include "platform/cqgcel/python/control_bindings.h"

namespace py = pybind11;

namespace mx::cqgcel::bind {

void init_trading(py::module_& /*m*/) {}

}  // namespace mx::cqgcel::bind
