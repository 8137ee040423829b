// TradeLink: the order book fed by tick requests (subscribe_orderbook, the tick events).
//
// Placeholder: the operations are declared in trade_link.h and bound in
// bind_tradelink_marketdata.cpp; until their bodies land, the events keep the base's
// no-op behaviour and the operations raise NotImplementedError.
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"

namespace mx::tradelink {

namespace {
[[noreturn]] void NotYet(const char* what) {
  Raise(PyExc_NotImplementedError, std::string(what) + " is not available yet");
}
}  // namespace

void TradeLink::subscribe_orderbook(const std::string&) { NotYet("subscribe_orderbook"); }
void TradeLink::unsubscribe_orderbook(const std::string&) { NotYet("unsubscribe_orderbook"); }
com::DispatchPtr TradeLink::get_ticks_from_cqg_symbol(const std::string&) {
  NotYet("get_ticks_from_cqg_symbol");
}

void TradeLink::OnTicksResolved(const Variant&, const Variant&) {}
void TradeLink::OnTicksAdded(const Variant&, const Variant&) {}
void TradeLink::OnTicksRemoved(const Variant&, const Variant&) {}
void TradeLink::HandleTicksResolved(const Variant&, const Variant&) {}
void TradeLink::HandleTicksAdded(const Variant&, const Variant&) {}
void TradeLink::HandleTicksRemoved(const Variant&, const Variant&) {}

}  // namespace mx::tradelink
