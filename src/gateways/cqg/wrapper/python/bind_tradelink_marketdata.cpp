// TradeLink's order book and timed bars: subscribe_orderbook, unsubscribe_orderbook,
// get_ticks_from_cqg_symbol, the tick events, TickType2String; subscribe_bar,
// unsubscribe_bar, get_timedbars_from_cqg_symbol, the timed-bar events, dumpBar,
// get_subscribe_bars_data, FREQ_ALLOWED.
//
// Placeholder: the operations are declared in trade_link.h; their bindings go here.
#include "gateways/cqg/wrapper/python/bind_tradelink.h"

namespace mx::tradelink::bind {

void init_tradelink_marketdata(py::module_& /*m*/, TradeLinkClass& /*cls*/) {}

}  // namespace mx::tradelink::bind
