// Helpers shared by TradeLink's market-data operations (order book, timed bars, bar
// retrieval): the bars lock, map access by security, the tick price type names.
//
// Thread-safety: everything here needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>

namespace mx::tradelink {

namespace py = pybind11;

// The largest look-back subscribe_bar accepts (about 69 days of one-minute bars).
inline constexpr int64_t kMaxLookbackPeriod = 100000;

// Holds TradeLink's bars lock. Taken with the GIL held; when another thread has the lock,
// waits for it with the GIL released, so a holder that runs Python code (building a bar,
// the text form of one, a security's hash) can always finish.
class BarsLock {
 public:
  explicit BarsLock(std::mutex& mu);
  ~BarsLock() { mu_.unlock(); }
  BarsLock(const BarsLock&) = delete;
  BarsLock& operator=(const BarsLock&) = delete;

 private:
  std::mutex& mu_;
};

// map[key], or None when the map does not hold it (a dict directly, else map.get(key)).
py::object MapGet(py::handle map, py::handle key);
// map[key] = value.
void MapSet(py::handle map, py::handle key, py::handle value);

// The name of a CQG tick price type: "Ask price", "Bid price", "Settlement price" or
// "Trade price"; KeyError (the value) for anything else.
const char* TickType2String(int64_t tickType);
// The same for any Python value (a non-integer is a KeyError too).
const char* TickType2String(py::handle tickType);

}  // namespace mx::tradelink
