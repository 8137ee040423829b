#include "gateways/cqg/wrapper/python/bind_tradelink.h"

namespace mx::tradelink::bind {

void init_tradelink_orders(py::module_& /*m*/, TradeLinkClass& /*cls*/) {}

}  // namespace mx::tradelink::bind
