// TradeLink: instrument look-up, quote subscriptions and the quote path.
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"

namespace mx::tradelink {

com::DispatchPtr TradeLink::get_instrument_from_cqg_symbol(const std::string&) {
  Raise(PyExc_NotImplementedError, "get_instrument_from_cqg_symbol");
}
void TradeLink::subscribe_quote(const std::string&) { Raise(PyExc_NotImplementedError, "x"); }
void TradeLink::unsubscribe_quote(const std::string&) { Raise(PyExc_NotImplementedError, "x"); }
void TradeLink::OnInstrumentResolved(const Variant&, const Variant&, const Variant&) {}
void TradeLink::OnInstrumentChanged(const Variant&, const Variant&, const Variant&) {}
void TradeLink::HandleInstrumentResolved(const Variant&, const Variant&, const Variant&) {}
void TradeLink::HandleInstrumentChanged(const Variant&, const Variant&, const Variant&) {}

}  // namespace mx::tradelink
