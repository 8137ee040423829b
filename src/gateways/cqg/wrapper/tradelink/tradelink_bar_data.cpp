// TradeLink: bar retrieval with repair (get_subscribe_bars_data).
#include "gateways/cqg/wrapper/tradelink/bar_repair.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/marketdata_support.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"

namespace mx::tradelink {

py::object TradeLink::get_subscribe_bars_data(py::object security) {
  // The whole read, repair and check under the bars lock: the COM thread's shift of the
  // window waits, so the repair never sees half of one.
  BarsLock lock(bars_mu_);
  py::object stored = MapGet(subscribe_bars_data, security);
  if (stored.is_none()) return stored;
  // The stored list itself is repaired and returned; another kind of sequence (stored by
  // someone else) has its bars repaired through a list of them and is returned as it is.
  py::object bars = PyList_Check(stored.ptr()) ? stored : py::list(stored);
  if (PyList_GET_SIZE(bars.ptr()) == 0) return py::none();
  int valid = RepairBars(bars.ptr());
  if (valid < 0) throw py::error_already_set();
  if (valid == 0) {
    py::object newest = bars[py::int_(-1)];
    Raise(PyExc_ValueError, "The latest bar is INVALID: " + std::string(py::str(newest)) + ".");
  }
  return stored;
}

}  // namespace mx::tradelink
