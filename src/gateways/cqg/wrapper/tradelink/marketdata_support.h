// Helpers shared by TradeLink's market-data operations (quotes, order book, timed bars,
// bar retrieval): the bars lock, map access by security, the tick price type names.
//
// Thread-safety: everything here needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>

#include "gateways/cqg/wrapper/tradelink/gil_aware_lock.h"

namespace mx::tradelink {

namespace py = pybind11;

// The largest look-back subscribe_bar accepts (about 69 days of one-minute bars).
inline constexpr int64_t kMaxLookbackPeriod = 100000;

// Holds TradeLink's bars lock (a holder may run Python code: building a bar, the text
// form of one, a security's hash).
using BarsLock = GilAwareLock;

// The one look-up of every map keyed by security (the host's cqg_quotes and
// cqg_orderbooks, TradeLink's subscribe_bars_data): map[key], or None when the map does
// not hold the key or holds None there (an entry set to None counts as absent). A dict is
// read directly, any other mapping through its get(key).
py::object MapGet(py::handle map, py::handle key);
// map[key] = value.
void MapSet(py::handle map, py::handle key, py::handle value);

// The name of a CQG tick price type: "Ask price", "Bid price", "Settlement price" or
// "Trade price"; KeyError (the value) for anything else.
const char* TickType2String(int64_t tickType);
// The same for any Python value (a non-integer is a KeyError too).
const char* TickType2String(py::handle tickType);

}  // namespace mx::tradelink
