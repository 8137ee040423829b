#include "platform/cqgcel/sim_timed_bars.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/sim_clock.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/sim_market_common.h"
#include "platform/cqgcel/sim_members.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using com::Args;
using com::Members;
using com::Variant;

namespace {

constexpr int64_t kDefaultBars = 100;
constexpr int64_t kMaxBars = 100000;  // a generated answer never holds more

// Answers by symbol, forgotten at Control::Reset.
struct BarScript {
  std::mutex mu;
  std::map<std::string, std::vector<BarData>, std::less<>> answers;  // guarded by mu

  static BarScript& Instance() {
    static BarScript* script = [] {
      auto* s = new BarScript();  // never destroyed: the reset hook refers to it
      Control::Instance().AddResetHook([s] {
        std::lock_guard lk(s->mu);
        s->answers.clear();
      });
      return s;
    }();
    return *script;
  }
};

std::vector<BarData> AnswerFor(const TimedBarsRequest& request) {
  auto& script = BarScript::Instance();
  {
    std::lock_guard lk(script.mu);
    auto it = script.answers.find(request.Symbol);
    if (it != script.answers.end()) return it->second;
  }
  return GeneratedBars(request);
}

double OnTick(double price) { return std::round(price * 4.0) / 4.0; }

template <class T>
std::shared_ptr<T> ItemAt(const std::vector<std::shared_ptr<T>>& items, Args a,
                          std::string_view member) {
  int64_t i = com::Arg(a, 0, member).ToInt();
  if (i < 0 || i >= static_cast<int64_t>(items.size())) {
    throw com::ComError(com::hresult::kBadIndex,
                        std::string(member) + ": index " + std::to_string(i) + " out of range");
  }
  return items[static_cast<size_t>(i)];
}

}  // namespace

const Members<TimedBar>& TimedBar::Table() {
  using B = TimedBar;
  static const auto table =
      Members<B>("CQGTimedBar")
          .Property("Timestamp", [](B& b) { return Variant(b.data_.timestamp); })
          .Property("Open", [](B& b) { return b.data_.open; })
          .Property("High", [](B& b) { return b.data_.high; })
          .Property("Low", [](B& b) { return b.data_.low; })
          .Property("Close", [](B& b) { return b.data_.close; })
          .Property("ActualVolume", [](B& b) { return b.data_.actual_volume; })
          .Property("ActualVolumeFractional",
                    [](B& b) { return Variant(b.data_.actual_volume_fractional); })
          .Property("CommodityVolumeFractional",
                    [](B& b) { return Variant(b.data_.commodity_volume_fractional); })
          .Property("ContractVolumeFractional",
                    [](B& b) { return Variant(b.data_.contract_volume_fractional); })
          .Property("TickVolume", [](B& b) { return Variant(b.data_.tick_volume); });
  return table;
}

const Members<TimedBarsRequest>& TimedBarsRequest::Table() {
  using R = TimedBarsRequest;
  static const auto table = Members<R>("CQGTimedBarsRequest")
                                .Field("Symbol", &R::Symbol)
                                .Field("RangeStart", &R::RangeStart)
                                .Field("RangeEnd", &R::RangeEnd)
                                .Field("HistoricalPeriod", &R::HistoricalPeriod)
                                .Field("IntradayPeriod", &R::IntradayPeriod)
                                .Field("DailyBarClose", &R::DailyBarClose)
                                .Field("UpdatesEnabled", &R::UpdatesEnabled)
                                .Field("SessionsFilter", &R::SessionsFilter)
                                .Method("IncludeOutput", [](R& r, Args a) {
                                  int32_t output = com::Arg(a, 0, "IncludeOutput").ToInt32();
                                  r.outputs[output] = com::Arg(a, 1, "IncludeOutput").ToBool();
                                  return Variant();
                                });
  return table;
}

std::optional<int64_t> TimedBarsRequest::RangeCount() const {
  if (!RangeStart.IsNumber() || !RangeEnd.IsNumber()) return std::nullopt;
  int64_t start = RangeStart.ToInt(), end = RangeEnd.ToInt();
  if (start < end) return std::nullopt;
  return start - end + 1;
}

int64_t TimedBarsRequest::PeriodSeconds() const {
  if (IntradayPeriod.IsNumber()) {
    int64_t p = IntradayPeriod.ToInt();
    if (p == Constant("pfds5Min")) return 300;
    if (p == Constant("pfds15Min")) return 900;
    if (p == Constant("pfds60Min")) return 3600;
    return 60;
  }
  if (HistoricalPeriod.IsNumber()) {
    int64_t p = HistoricalPeriod.ToInt();
    if (p == Constant("hpWeekly")) return 7 * 86400;
    if (p == Constant("hpMonthly")) return 30 * 86400;
    return 86400;
  }
  return 60;
}

std::vector<BarData> GeneratedBars(const TimedBarsRequest& request) {
  int64_t count = std::clamp<int64_t>(request.RangeCount().value_or(kDefaultBars), 0, kMaxBars);
  int64_t period = request.PeriodSeconds();
  // The forming bar starts at the current period's start (midnight for daily and longer).
  com::DateTime now = NowLocalWholeSeconds();
  int64_t into_day = now.hour * 3600 + now.minute * 60 + now.second;
  com::DateTime last = AddSeconds(now, -(period >= 86400 ? into_day : into_day % period));

  SymbolRandom random(request.Symbol);
  double price = random.BasePrice();
  std::vector<BarData> bars;
  bars.reserve(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    BarData bar;
    bar.timestamp = AddSeconds(last, -(count - 1 - i) * period);
    double open = price;
    double close = std::max(OnTick(open + (random.Unit() - 0.5) * 2.0), 0.25);
    double high = OnTick(std::max(open, close) + random.Unit());
    double low = std::max(OnTick(std::min(open, close) - random.Unit()), 0.25);
    int64_t volume = static_cast<int64_t>(random.Next() % 500);
    bar.open = open;
    bar.high = high;
    bar.low = low;
    bar.close = close;
    bar.actual_volume = volume;
    bar.actual_volume_fractional = static_cast<double>(volume);
    bar.commodity_volume_fractional = static_cast<double>(volume);
    bar.contract_volume_fractional = static_cast<double>(volume);
    bar.tick_volume = volume / 3;
    bars.push_back(std::move(bar));
    price = close;
  }
  return bars;
}

void TimedBars::Fill(const std::vector<BarData>& bars) {
  bars_.clear();
  bars_.reserve(bars.size());
  for (const auto& b : bars) bars_.push_back(std::make_shared<TimedBar>(b));
  int64_t range = request_->RangeCount().value_or(0);
  capacity_ = static_cast<size_t>(
      std::max<int64_t>({std::min(range, kMaxBars), static_cast<int64_t>(bars.size()), 2}));
}

void TimedBars::Add(BarData bar) {
  bars_.push_back(std::make_shared<TimedBar>(std::move(bar)));
  if (bars_.size() > capacity_) {
    bars_.erase(bars_.begin(), bars_.begin() + static_cast<ptrdiff_t>(bars_.size() - capacity_));
  }
}

bool TimedBars::Resolve(int64_t& index) const {
  int64_t n = static_cast<int64_t>(bars_.size());
  int64_t i = index < 0 ? index + n : index;
  if (i < 0 || i >= n) return false;
  index = i;
  return true;
}

const Members<TimedBars>& TimedBars::Table() {
  static const auto table =
      Members<TimedBars>("CQGTimedBars")
          .Property("Count",
                    [](TimedBars& t) { return Variant(static_cast<int32_t>(t.bars_.size())); })
          .Property("Request", [](TimedBars& t) { return Variant(com::DispatchPtr(t.request_)); })
          .Method("Item",
                  [](TimedBars& t, Args a) {
                    return Variant(com::DispatchPtr(ItemAt(t.bars_, a, "CQGTimedBars.Item")));
                  })
          .Enumerator(
              [](TimedBars& t) { return std::vector<Variant>(t.bars_.begin(), t.bars_.end()); });
  return table;
}

bool TimedBarsCollection::Remove(const com::DispatchPtr& bars) {
  auto target = com::Unwrap(bars);
  auto it = std::find(items_.begin(), items_.end(), target);
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

std::vector<std::shared_ptr<TimedBars>> TimedBarsCollection::OfSymbol(
    std::string_view symbol) const {
  std::vector<std::shared_ptr<TimedBars>> out;
  for (const auto& t : items_) {
    if (t->symbol() == symbol) out.push_back(t);
  }
  return out;
}

const Members<TimedBarsCollection>& TimedBarsCollection::Table() {
  using C = TimedBarsCollection;
  static const auto table =
      Members<C>("CQGTimedBarsCollection")
          .Property("Count", [](C& c) { return Variant(static_cast<int32_t>(c.items_.size())); })
          .Method("Item",
                  [](C& c, Args a) {
                    return Variant(
                        com::DispatchPtr(ItemAt(c.items_, a, "CQGTimedBarsCollection.Item")));
                  })
          .Enumerator([](C& c) { return std::vector<Variant>(c.items_.begin(), c.items_.end()); });
  return table;
}

std::shared_ptr<TimedBarsCollection> AllTimedBarsOf(Simulator& sim) {
  return std::static_pointer_cast<TimedBarsCollection>(
      sim.Area<TimedBarsCollection>().shared_from_this());
}

void AddTimedBarMembers(Members<Simulator>& table) {
  Simulator::AddSessionHook([](Simulator& s) { s.EraseArea<TimedBarsCollection>(); });
  table
      .Method("CreateTimedBarsRequest",
              [](Simulator&, Args) {
                FailIfScripted("CreateTimedBarsRequest");
                return Variant(com::DispatchPtr(std::make_shared<TimedBarsRequest>()));
              })
      .Method("RequestTimedBars",
              [](Simulator& s, Args a) {
                auto request =
                    ObjectArg<TimedBarsRequest>(a, 0, "RequestTimedBars", "a timed bars request");
                auto bars = std::make_shared<TimedBars>(std::move(request));
                AllTimedBarsOf(s)->Add(bars);
                s.Respond("RequestTimedBars", [bars](Simulator& s, const Outcome& o) {
                  com::DispatchPtr error = o.error;
                  if (o.failed) {
                    AllTimedBarsOf(s)->Remove(bars);
                  } else if (auto* market = MarketOf(s)) {
                    error = market->AnswerTimedBars(*bars);
                    if (error) AllTimedBarsOf(s)->Remove(bars);
                  } else {
                    bars->Fill(AnswerFor(bars->request()));
                  }
                  s.Fire(EventId::OnTimedBarsResolved,
                         {Variant(com::DispatchPtr(bars)), Variant(error)});
                });
                return Variant(com::DispatchPtr(bars));
              })
      .Property("AllTimedBars",
                [](Simulator& s) { return Variant(com::DispatchPtr(AllTimedBarsOf(s))); })
      .Method("RemoveTimedBars", [](Simulator& s, Args a) {
        FailIfScripted("RemoveTimedBars");
        const Variant& v = com::Arg(a, 0, "RemoveTimedBars");
        if (v.type() != Variant::Type::Dispatch || !AllTimedBarsOf(s)->Remove(v.Dispatch())) {
          throw com::ComError(com::hresult::kStreamUsed,
                              "RemoveTimedBars: not a live timed bars request");
        }
        return Variant();
      });
}

void SetTimedBarsAnswer(std::string symbol, std::optional<std::vector<BarData>> bars) {
  auto& script = BarScript::Instance();
  std::lock_guard lk(script.mu);
  if (bars) {
    script.answers[std::move(symbol)] = std::move(*bars);
  } else {
    script.answers.erase(symbol);
  }
}

size_t PushTimedBar(Simulator& sim, std::string_view symbol, const BarData& bar,
                    std::optional<size_t> request) {
  if (!DataUp(sim)) return 0;  // nothing reaches the host while data is out
  auto targets =
      TargetRequests(AllTimedBarsOf(sim)->OfSymbol(symbol), symbol, request, "timed-bars");
  for (const auto& t : targets) {
    t->Add(bar);
    sim.Fire(EventId::OnTimedBarsAdded, {Variant(com::DispatchPtr(t))});
  }
  return targets.size();
}

namespace {

// Each target's position for `index`; throws before anything changes when one is out of range.
std::vector<size_t> Positions(const std::vector<std::shared_ptr<TimedBars>>& targets,
                              int64_t index) {
  std::vector<size_t> positions;
  for (const auto& t : targets) {
    int64_t i = index;
    if (!t->Resolve(i)) {
      throw com::ComError(com::hresult::kBadIndex,
                          "bar index " + std::to_string(index) + " out of range");
    }
    positions.push_back(static_cast<size_t>(i));
  }
  return positions;
}

}  // namespace

size_t UpdateTimedBar(Simulator& sim, std::string_view symbol, int64_t index, const BarData& bar,
                      std::optional<size_t> request) {
  if (!DataUp(sim)) return 0;
  auto targets =
      TargetRequests(AllTimedBarsOf(sim)->OfSymbol(symbol), symbol, request, "timed-bars");
  auto positions = Positions(targets, index);
  for (size_t k = 0; k < targets.size(); ++k) {
    targets[k]->Update(positions[k], bar);
    sim.Fire(EventId::OnTimedBarsUpdated,
             {Variant(com::DispatchPtr(targets[k])), Variant(static_cast<int32_t>(positions[k]))});
  }
  return targets.size();
}

size_t RemoveTimedBar(Simulator& sim, std::string_view symbol, int64_t index,
                      std::optional<size_t> request) {
  if (!DataUp(sim)) return 0;
  auto targets =
      TargetRequests(AllTimedBarsOf(sim)->OfSymbol(symbol), symbol, request, "timed-bars");
  auto positions = Positions(targets, index);
  for (size_t k = 0; k < targets.size(); ++k) {
    targets[k]->Remove(positions[k]);
    sim.Fire(EventId::OnTimedBarsRemoved,
             {Variant(com::DispatchPtr(targets[k])), Variant(static_cast<int32_t>(positions[k]))});
  }
  return targets.size();
}

std::shared_ptr<TimedBars> MakeTimedBars(std::string symbol, const std::vector<BarData>& bars) {
  auto request = std::make_shared<TimedBarsRequest>();
  request->Symbol = std::move(symbol);
  auto collection = std::make_shared<TimedBars>(std::move(request));
  collection->Fill(bars);
  return collection;
}

}  // namespace mx::cqgcel
