// TradeLink: account subscription, balance and positions, account events.
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"

namespace mx::tradelink {

void TradeLink::subscribe_account_and_positions(int64_t) { Raise(PyExc_NotImplementedError, "x"); }
void TradeLink::unsubscribe_account_and_positions(int64_t) { Raise(PyExc_NotImplementedError, "x"); }
void TradeLink::update_account_balance() { Raise(PyExc_NotImplementedError, "x"); }
void TradeLink::update_positions() { Raise(PyExc_NotImplementedError, "x"); }
void TradeLink::OnAccountChanged(const Variant&, const Variant&, const Variant&) {}
void TradeLink::HandleAccountChanged(const Variant&, const Variant&, const Variant&) {}

}  // namespace mx::tradelink
