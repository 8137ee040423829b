// Timed-bars requests of the simulator: CreateTimedBarsRequest, RequestTimedBars,
// AllTimedBars, RemoveTimedBars.
//
// A TimedBarsRequest records its settings (Symbol, RangeStart, RangeEnd, HistoricalPeriod,
// IntradayPeriod, DailyBarClose, UpdatesEnabled, SessionsFilter) and its IncludeOutput
// calls; every write and call goes to the journal, and a setting never written reads as
// empty. RequestTimedBars makes a TimedBars collection, listed in AllTimedBars at once, and
// answers as the script says ("RequestTimedBars"): on success it is filled with the bars
// set for the symbol (SetTimedBarsAnswer), else with generated bars covering the requested
// range (RangeStart 0 and RangeEnd -n give n + 1 bars, the newest still forming, spaced by
// the requested period), and OnTimedBarsResolved(bars, empty) is raised; on failure the
// collection leaves AllTimedBars and OnTimedBarsResolved(bars, error) is raised.
//
// Later changes (from a test or a market), to every live collection of a symbol:
// PushTimedBar appends a new forming bar (OnTimedBarsAdded), UpdateTimedBar rewrites a bar
// (OnTimedBarsUpdated with its index), RemoveTimedBar removes one (OnTimedBarsRemoved).
// A collection keeps at most as many bars as its range asked for (or as it was answered
// with, when that is more): the oldest go first. Reading collections and bars is not
// journaled: they are data, not settings.
//
// Thread-safety: objects and TimedBarsCollection on the simulator's home thread; the
// answer script (SetTimedBarsAnswer) from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/object.h"
#include "platform/cqgcel/sim_object.h"

namespace mx::cqgcel {

class Simulator;

// One bar. Open to ActualVolume are Variants so that a missing value can be given either
// as the integer or the floating-point -2147483648, as CQG delivers them.
struct BarData {
  com::DateTime timestamp;
  com::Variant open = 0.0, high = 0.0, low = 0.0, close = 0.0;
  com::Variant actual_volume = int64_t{0};
  double actual_volume_fractional = 0.0;
  double commodity_volume_fractional = 0.0;
  double contract_volume_fractional = 0.0;
  int64_t tick_volume = 0;
};

// CQGTimedBar.
class TimedBar : public SimObject<TimedBar, false> {
 public:
  static const com::Members<TimedBar>& Table();
  explicit TimedBar(BarData data) : data_(std::move(data)) {}
  const BarData& data() const { return data_; }
  void set_data(BarData data) { data_ = std::move(data); }

 private:
  BarData data_;
};

// CQGTimedBarsRequest: settings and the outputs asked for.
class TimedBarsRequest : public SimObject<TimedBarsRequest> {
 public:
  static const com::Members<TimedBarsRequest>& Table();

  std::string Symbol;
  com::Variant RangeStart, RangeEnd, HistoricalPeriod, IntradayPeriod, DailyBarClose;
  bool UpdatesEnabled = false;
  com::Variant SessionsFilter;
  std::map<int32_t, bool> outputs;  // IncludeOutput(output, include)

  // Bars the range asks for (RangeStart - RangeEnd + 1 for whole numbers), or nullopt.
  std::optional<int64_t> RangeCount() const;
  // Seconds between bars: the intraday period, else the historical one, else a minute.
  int64_t PeriodSeconds() const;
};

// CQGTimedBars: the bars of one request, oldest first; the last one is still forming.
class TimedBars : public SimObject<TimedBars, false> {
 public:
  static const com::Members<TimedBars>& Table();
  explicit TimedBars(std::shared_ptr<TimedBarsRequest> request) : request_(std::move(request)) {}

  const std::string& symbol() const { return request_->Symbol; }
  const TimedBarsRequest& request() const { return *request_; }
  size_t size() const { return bars_.size(); }

  // Replaces the content (an answer) and sets how many bars the collection keeps.
  void Fill(const std::vector<BarData>& bars);
  // Appends a new forming bar, dropping the oldest beyond the capacity.
  void Add(BarData bar);
  // `index` from the oldest (0) or, when negative, from the newest (-1). False when out
  // of range; else sets `index` to the position counted from the oldest.
  bool Resolve(int64_t& index) const;
  const BarData& At(size_t index) const { return bars_[index]->data(); }
  void Update(size_t index, BarData bar) { bars_[index]->set_data(std::move(bar)); }
  void Remove(size_t index) { bars_.erase(bars_.begin() + static_cast<ptrdiff_t>(index)); }

 private:
  std::shared_ptr<TimedBarsRequest> request_;
  std::vector<std::shared_ptr<TimedBar>> bars_;
  size_t capacity_ = 2;
};

// CQGCEL.AllTimedBars: the live timed-bars collections in the order they were requested.
class TimedBarsCollection : public SimObject<TimedBarsCollection, false> {
 public:
  static const com::Members<TimedBarsCollection>& Table();
  explicit TimedBarsCollection(Simulator&) {}  // one per simulator: its Area

  void Add(std::shared_ptr<TimedBars> bars) { items_.push_back(std::move(bars)); }
  bool Remove(const com::DispatchPtr& bars);
  std::vector<std::shared_ptr<TimedBars>> OfSymbol(std::string_view symbol) const;
  size_t size() const { return items_.size(); }

 private:
  std::vector<std::shared_ptr<TimedBars>> items_;
};

// The simulator's AllTimedBars (home thread).
std::shared_ptr<TimedBarsCollection> AllTimedBarsOf(Simulator& sim);

// What a timed-bars request for `symbol` resolves with; nullopt: generated bars.
void SetTimedBarsAnswer(std::string symbol, std::optional<std::vector<BarData>> bars);

// Home thread. Each acts on every live collection of `symbol` (with `request`: only on the
// request-th of them, in the order they were requested; ComError (bad index) when there
// is no such request), raises its event for each, and returns how many collections there
// were. Update and Remove throw ComError (bad index) before changing anything when
// `index` is out of range in any of them.
size_t PushTimedBar(Simulator& sim, std::string_view symbol, const BarData& bar,
                    std::optional<size_t> request = std::nullopt);
size_t UpdateTimedBar(Simulator& sim, std::string_view symbol, int64_t index, const BarData& bar,
                      std::optional<size_t> request = std::nullopt);
size_t RemoveTimedBar(Simulator& sim, std::string_view symbol, int64_t index,
                      std::optional<size_t> request = std::nullopt);

// A collection outside AllTimedBars, holding `bars`, for raising events by hand.
std::shared_ptr<TimedBars> MakeTimedBars(std::string symbol, const std::vector<BarData>& bars);

// The bars a request would be answered with by default (exposed for tests).
std::vector<BarData> GeneratedBars(const TimedBarsRequest& request);

}  // namespace mx::cqgcel
