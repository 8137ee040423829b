#include "platform/cqgcel/sim_ticks.h"

#include <algorithm>
#include <map>
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

// What tests set: answers by symbol and the limit cap; forgotten at Control::Reset.
struct TickScript {
  std::mutex mu;
  std::map<std::string, std::vector<TickData>, std::less<>> answers;  // guarded by mu
  std::optional<int32_t> max_limit;                                   // guarded by mu

  static TickScript& Instance() {
    static TickScript* script = [] {
      auto* s = new TickScript();  // never destroyed: the reset hook refers to it
      Control::Instance().AddResetHook([s] {
        std::lock_guard lk(s->mu);
        s->answers.clear();
        s->max_limit.reset();
      });
      return s;
    }();
    return *script;
  }
};

// A bid, an ask and a trade around the symbol's price level, one second apart.
std::vector<TickData> CurrentTicks(std::string_view symbol) {
  SymbolRandom random(symbol);
  double mid = random.BasePrice();
  com::DateTime now = NowLocalWholeSeconds();
  return {
      {Constant("tptBid"), mid - 0.25, static_cast<int64_t>(1 + random.Next() % 20),
       AddSeconds(now, -2)},
      {Constant("tptAsk"), mid + 0.25, static_cast<int64_t>(1 + random.Next() % 20),
       AddSeconds(now, -1)},
      {Constant("tptTrade"), mid, static_cast<int64_t>(1 + random.Next() % 5), now},
  };
}

std::vector<TickData> AnswerFor(std::string_view symbol) {
  auto& script = TickScript::Instance();
  {
    std::lock_guard lk(script.mu);
    auto it = script.answers.find(symbol);
    if (it != script.answers.end()) return it->second;
  }
  return CurrentTicks(symbol);
}

}  // namespace

const Members<Tick>& Tick::Table() {
  static const auto table =
      Members<Tick>("CQGTick")
          .Property("PriceType", [](Tick& t) { return Variant(t.data_.price_type); })
          .Property("Price", [](Tick& t) { return t.data_.price; })
          .Property("Volume", [](Tick& t) { return t.data_.volume; })
          .Property("Timestamp", [](Tick& t) { return Variant(t.data_.timestamp); });
  return table;
}

const Members<TicksRequest>& TicksRequest::Table() {
  using R = TicksRequest;
  static const auto table = Members<R>("CQGTicksRequest")
                                .Field("Symbol", &R::Symbol)
                                .Field("Type", &R::Type)
                                .Field("TickFilter", &R::TickFilter)
                                .Field("SessionsFilter", &R::SessionsFilter)
                                .Property(
                                    "Limit", [](R& r) { return Variant(r.Limit); },
                                    [](R& r, const Variant& v) {
                                      int32_t limit = v.ToInt32();
                                      std::lock_guard lk(TickScript::Instance().mu);
                                      const auto& cap = TickScript::Instance().max_limit;
                                      r.Limit = cap ? std::min(limit, *cap) : limit;
                                    });
  return table;
}

size_t Ticks::Capacity() const {
  return static_cast<size_t>(std::max<int32_t>(request_->Limit, 1));
}

size_t Ticks::Append(const std::vector<TickData>& ticks) {
  size_t capacity = Capacity();
  size_t kept = std::min(ticks.size(), capacity);
  for (size_t i = ticks.size() - kept; i < ticks.size(); ++i) {
    ticks_.push_back(std::make_shared<Tick>(ticks[i]));
  }
  if (ticks_.size() > capacity) {
    ticks_.erase(ticks_.begin(), ticks_.begin() + static_cast<ptrdiff_t>(ticks_.size() - capacity));
  }
  return kept;
}

const Members<Ticks>& Ticks::Table() {
  static const auto table =
      Members<Ticks>("CQGTicks")
          .Property("Count",
                    [](Ticks& t) { return Variant(static_cast<int32_t>(t.ticks_.size())); })
          .Property("Request", [](Ticks& t) { return Variant(com::DispatchPtr(t.request_)); })
          .Method("Item",
                  [](Ticks& t, Args a) {
                    int64_t i = com::Arg(a, 0, "CQGTicks.Item").ToInt();
                    if (i < 0 || i >= static_cast<int64_t>(t.ticks_.size())) {
                      throw com::ComError(
                          com::hresult::kBadIndex,
                          "CQGTicks.Item: index " + std::to_string(i) + " out of range");
                    }
                    return Variant(com::DispatchPtr(t.ticks_[static_cast<size_t>(i)]));
                  })
          .Enumerator(
              [](Ticks& t) { return std::vector<Variant>(t.ticks_.begin(), t.ticks_.end()); });
  return table;
}

bool TicksCollection::Remove(const com::DispatchPtr& ticks) {
  auto target = com::Unwrap(ticks);
  auto it = std::find(items_.begin(), items_.end(), target);
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

std::vector<std::shared_ptr<Ticks>> TicksCollection::OfSymbol(std::string_view symbol) const {
  std::vector<std::shared_ptr<Ticks>> out;
  for (const auto& t : items_) {
    if (t->symbol() == symbol) out.push_back(t);
  }
  return out;
}

const Members<TicksCollection>& TicksCollection::Table() {
  static const auto table =
      Members<TicksCollection>("CQGTicksCollection")
          .Property(
              "Count",
              [](TicksCollection& c) { return Variant(static_cast<int32_t>(c.items_.size())); })
          .Method("Item",
                  [](TicksCollection& c, Args a) {
                    int64_t i = com::Arg(a, 0, "CQGTicksCollection.Item").ToInt();
                    if (i < 0 || i >= static_cast<int64_t>(c.items_.size())) {
                      throw com::ComError(
                          com::hresult::kBadIndex,
                          "CQGTicksCollection.Item: index " + std::to_string(i) + " out of range");
                    }
                    return Variant(com::DispatchPtr(c.items_[static_cast<size_t>(i)]));
                  })
          .Enumerator([](TicksCollection& c) {
            return std::vector<Variant>(c.items_.begin(), c.items_.end());
          });
  return table;
}

std::shared_ptr<TicksCollection> AllTicksOf(Simulator& sim) {
  return std::static_pointer_cast<TicksCollection>(sim.Area<TicksCollection>().shared_from_this());
}

void AddTickMembers(Members<Simulator>& table) {
  Simulator::AddSessionHook([](Simulator& s) { s.EraseArea<TicksCollection>(); });
  table
      .Method("CreateTicksRequest",
              [](Simulator&, Args) {
                FailIfScripted("CreateTicksRequest");
                return Variant(com::DispatchPtr(std::make_shared<TicksRequest>()));
              })
      .Method(
          "RequestTicks",
          [](Simulator& s, Args a) {
            auto request = ObjectArg<TicksRequest>(a, 0, "RequestTicks", "a ticks request");
            auto ticks = std::make_shared<Ticks>(std::move(request));
            AllTicksOf(s)->Add(ticks);
            s.Respond("RequestTicks", [ticks](Simulator& s, const Outcome& o) {
              com::DispatchPtr error = o.error;
              if (o.failed) {
                AllTicksOf(s)->Remove(ticks);
              } else if (auto* market = MarketOf(s)) {
                error = market->AnswerTicks(*ticks);
                if (error) AllTicksOf(s)->Remove(ticks);
              } else {
                ticks->Append(AnswerFor(ticks->symbol()));
              }
              s.Fire(EventId::OnTicksResolved, {Variant(com::DispatchPtr(ticks)), Variant(error)});
            });
            return Variant(com::DispatchPtr(ticks));
          })
      .Property("AllTicks", [](Simulator& s) { return Variant(com::DispatchPtr(AllTicksOf(s))); })
      .Method("RemoveTicks", [](Simulator& s, Args a) {
        FailIfScripted("RemoveTicks");
        const Variant& v = com::Arg(a, 0, "RemoveTicks");
        if (v.type() != Variant::Type::Dispatch || !AllTicksOf(s)->Remove(v.Dispatch())) {
          throw com::ComError(com::hresult::kStreamUsed, "RemoveTicks: not a live tick request");
        }
        return Variant();
      });
}

void SetTicksAnswer(std::string symbol, std::optional<std::vector<TickData>> ticks) {
  auto& script = TickScript::Instance();
  std::lock_guard lk(script.mu);
  if (ticks) {
    script.answers[std::move(symbol)] = std::move(*ticks);
  } else {
    script.answers.erase(symbol);
  }
}

void SetMaxTickLimit(std::optional<int32_t> cap) {
  auto& script = TickScript::Instance();
  std::lock_guard lk(script.mu);
  script.max_limit = cap;
}

size_t PushTicks(Simulator& sim, std::string_view symbol, const std::vector<TickData>& ticks,
                 std::optional<size_t> request) {
  if (!DataUp(sim)) return 0;  // nothing reaches the host while data is out
  auto targets = TargetRequests(AllTicksOf(sim)->OfSymbol(symbol), symbol, request, "tick");
  if (ticks.empty()) return targets.size();
  for (const auto& t : targets) {
    size_t added = t->Append(ticks);
    sim.Fire(EventId::OnTicksAdded,
             {Variant(com::DispatchPtr(t)), Variant(static_cast<int32_t>(added))});
  }
  return targets.size();
}

std::shared_ptr<Ticks> MakeTicks(std::string symbol, const std::vector<TickData>& ticks) {
  auto request = std::make_shared<TicksRequest>();
  request->Symbol = std::move(symbol);
  request->Limit = static_cast<int32_t>(std::max<size_t>(ticks.size(), 1));
  auto collection = std::make_shared<Ticks>(std::move(request));
  collection->Append(ticks);
  return collection;
}

}  // namespace mx::cqgcel
