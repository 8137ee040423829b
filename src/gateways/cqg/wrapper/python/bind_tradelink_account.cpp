#include "gateways/cqg/wrapper/python/bind_tradelink.h"

namespace mx::tradelink::bind {

void init_tradelink_account(py::module_& /*m*/, TradeLinkClass& /*cls*/) {}

}  // namespace mx::tradelink::bind
