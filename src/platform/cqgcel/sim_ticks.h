// Tick requests of the simulator: CreateTicksRequest, RequestTicks, AllTicks, RemoveTicks.
//
// A TicksRequest records its settings (Symbol, Type, TickFilter, SessionsFilter, Limit);
// every write goes to the journal. RequestTicks makes a Ticks collection for it, listed in
// AllTicks at once, and answers as the script says ("RequestTicks"): on success the
// collection is filled with the current ticks (those set for the symbol with
// SetTicksAnswer, else a few generated ones) and OnTicksResolved(ticks, empty) is raised;
// on failure the collection leaves AllTicks and OnTicksResolved(ticks, error) is raised.
// Ticks pushed later (PushTicks, from a test or a market) are appended to every live
// collection of their symbol, each followed by OnTicksAdded(ticks, added count).
//
// A collection keeps at most its request's Limit ticks (at least one): the oldest go
// first. Collections and ticks are data the gateway reads; reading them is not journaled.
//
// Thread-safety: objects and TicksCollection on the simulator's home thread; the answer
// script (SetTicksAnswer, SetMaxTickLimit) from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/object.h"
#include "platform/cqgcel/sim_object.h"

namespace mx::cqgcel {

class Simulator;

// One tick. Price and Volume are Variants so that a tick can carry what a server may
// send: a fractional volume, or the invalid marker -2147483648 (integer or floating-point)
// in place of a price.
struct TickData {
  int32_t price_type = 0;  // tptAsk, tptBid, tptSettlement or tptTrade
  com::Variant price = 0.0;
  com::Variant volume = int64_t{0};
  com::DateTime timestamp;
};

// CQGTick.
class Tick : public SimObject<Tick, false> {
 public:
  static const com::Members<Tick>& Table();
  explicit Tick(TickData data) : data_(std::move(data)) {}
  const TickData& data() const { return data_; }

 private:
  TickData data_;
};

// CQGTicksRequest: settings only.
class TicksRequest : public SimObject<TicksRequest> {
 public:
  static const com::Members<TicksRequest>& Table();

  std::string Symbol;
  int32_t Type = 0;
  int32_t TickFilter = 0;
  com::Variant SessionsFilter;
  int32_t Limit = 100;
};

// CQGTicks: the ticks of one request, oldest first.
class Ticks : public SimObject<Ticks, false> {
 public:
  static const com::Members<Ticks>& Table();
  explicit Ticks(std::shared_ptr<TicksRequest> request) : request_(std::move(request)) {}

  const std::string& symbol() const { return request_->Symbol; }
  size_t size() const { return ticks_.size(); }
  // Appends, drops the oldest beyond the limit; returns how many of `ticks` are kept.
  size_t Append(const std::vector<TickData>& ticks);

 private:
  size_t Capacity() const;

  std::shared_ptr<TicksRequest> request_;
  std::vector<std::shared_ptr<Tick>> ticks_;
};

// CQGCEL.AllTicks: the live tick collections in the order they were requested.
class TicksCollection : public SimObject<TicksCollection, false> {
 public:
  static const com::Members<TicksCollection>& Table();
  explicit TicksCollection(Simulator&) {}  // one per simulator: its Area

  void Add(std::shared_ptr<Ticks> ticks) { items_.push_back(std::move(ticks)); }
  // False when `ticks` is not (or no longer) listed.
  bool Remove(const com::DispatchPtr& ticks);
  std::vector<std::shared_ptr<Ticks>> OfSymbol(std::string_view symbol) const;
  size_t size() const { return items_.size(); }

 private:
  std::vector<std::shared_ptr<Ticks>> items_;
};

// The simulator's AllTicks (home thread).
std::shared_ptr<TicksCollection> AllTicksOf(Simulator& sim);

// What a tick request for `symbol` resolves with; nullopt: generated current ticks.
void SetTicksAnswer(std::string symbol, std::optional<std::vector<TickData>> ticks);
// Requests keep at most `cap` as their Limit (nullopt: no cap), so a host can see the
// limit it reads back differ from the one it set.
void SetMaxTickLimit(std::optional<int32_t> cap);

// Home thread: appends `ticks` to every live collection of `symbol` (with `request`: only
// to the request-th of them, in the order they were requested), raising OnTicksAdded for
// each; returns how many collections took them. ComError (bad index) when there is no
// such request.
size_t PushTicks(Simulator& sim, std::string_view symbol, const std::vector<TickData>& ticks,
                 std::optional<size_t> request = std::nullopt);

// A collection outside AllTicks, filled with `ticks`, for raising events by hand.
std::shared_ptr<Ticks> MakeTicks(std::string symbol, const std::vector<TickData>& ticks);

}  // namespace mx::cqgcel
