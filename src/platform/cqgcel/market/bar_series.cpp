#include "platform/cqgcel/market/bar_series.h"

#include <algorithm>

namespace mx::cqgcel::market {

BarSeries::BarSeries(int64_t period, size_t max_completed)
    : period_(period), max_completed_(std::max<size_t>(max_completed, 1)) {}

const Bar* BarSeries::Roll(SimTime now) {
  if (!forming_ || now < forming_->start + period_) return nullptr;
  if (completed_.size() == max_completed_) completed_.pop_front();
  completed_.push_back(*forming_);
  forming_.reset();
  return &completed_.back();
}

const Bar& BarSeries::AddTrade(SimTime t, double price, int64_t volume, bool& new_bar) {
  new_bar = !forming_;
  if (new_bar) {
    forming_ = Bar{PeriodStart(t, period_), price, price, price, price, 0, 0};
  }
  Bar& b = *forming_;
  b.high = std::max(b.high, price);
  b.low = std::min(b.low, price);
  b.close = price;
  b.volume += volume;
  b.tick_volume += 1;
  return b;
}

std::vector<Bar> BarSeries::History(size_t n) const {
  const size_t take = std::min(n, completed_.size());
  std::vector<Bar> out;
  out.reserve(take + 1);
  out.insert(out.end(), completed_.end() - static_cast<std::ptrdiff_t>(take), completed_.end());
  if (forming_) out.push_back(*forming_);
  return out;
}

}  // namespace mx::cqgcel::market
