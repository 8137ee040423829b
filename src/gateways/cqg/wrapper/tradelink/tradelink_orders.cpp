// TradeLink: placing and cancelling orders, order events, status translation.
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"

namespace mx::tradelink {

std::string TradeLink::place_order(py::object) { Raise(PyExc_NotImplementedError, "x"); }
void TradeLink::cancel_order(const std::string&) { Raise(PyExc_NotImplementedError, "x"); }
void TradeLink::OnOrderChanged(const Variant&, const Variant&, const Variant&, const Variant&,
                               const Variant&) {}
void TradeLink::HandleOrderChanged(const Variant&, const Variant&, const Variant&, const Variant&,
                                   const Variant&) {}

}  // namespace mx::tradelink
