// BarSeries: the bars of one instrument at one period (a minute or a day), built from
// its trades. A bar starts with the first trade inside its period (periods without a
// trade have no bar) and completes once the clock reaches the end of its period.
// Completed bars are kept up to a cap, oldest dropped first.
//
// Thread-safety: a value; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "platform/cqgcel/market/market_types.h"

namespace mx::cqgcel::market {

class StateWriter;
class StateReader;

class BarSeries {
 public:
  BarSeries(int64_t period, size_t max_completed);

  // Completes the forming bar when `now` has reached the end of its period; returns the
  // completed bar (valid until the next call) or null.
  const Bar* Roll(SimTime now);
  // Adds a trade at `t` (call Roll(t) first). Returns the forming bar; `new_bar` tells
  // whether this trade opened it.
  const Bar& AddTrade(SimTime t, double price, int64_t volume, bool& new_bar);

  // The last `n` completed bars, oldest first, followed by the forming bar if any.
  std::vector<Bar> History(size_t n) const;
  const std::deque<Bar>& completed() const { return completed_; }
  const std::optional<Bar>& forming() const { return forming_; }
  int64_t period() const { return period_; }
  void Save(StateWriter& w) const;
  void Load(StateReader& r);

 private:
  int64_t period_;
  size_t max_completed_;
  std::deque<Bar> completed_;
  std::optional<Bar> forming_;
};

inline int64_t PeriodLength(BarPeriod p) {
  return p == BarPeriod::Minute ? kMicrosPerMinute : kMicrosPerDay;
}

}  // namespace mx::cqgcel::market
