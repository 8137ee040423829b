// TradeLink: timed bars (subscribe_bar, the timed-bar events) and bar retrieval with
// repair (get_subscribe_bars_data).
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

void TradeLink::subscribe_bar(const std::string&, int64_t, const std::string&) {
  NotYet("subscribe_bar");
}
void TradeLink::unsubscribe_bar(const std::string&) { NotYet("unsubscribe_bar"); }
com::DispatchPtr TradeLink::get_timedbars_from_cqg_symbol(const std::string&) {
  NotYet("get_timedbars_from_cqg_symbol");
}
void TradeLink::OnTimedBarsResolved(const Variant&, const Variant&) {}
void TradeLink::OnTimedBarsAdded(const Variant&) {}
void TradeLink::OnTimedBarsUpdated(const Variant&, const Variant&) {}
void TradeLink::OnTimedBarsRemoved(const Variant&, const Variant&) {}
void TradeLink::HandleTimedBarsResolved(const Variant&, const Variant&) {}
void TradeLink::HandleTimedBarsAdded(const Variant&) {}
void TradeLink::HandleTimedBarsUpdated(const Variant&, const Variant&) {}
void TradeLink::HandleTimedBarsRemoved(const Variant&, const Variant&) {}
void TradeLink::dumpBar(const Variant&, const Variant&) { NotYet("dumpBar"); }
py::object TradeLink::get_subscribe_bars_data(py::object) { NotYet("get_subscribe_bars_data"); }

}  // namespace mx::tradelink
