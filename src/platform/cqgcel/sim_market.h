// MarketArea: the simulator in market mode. It owns a market::Market, moves its clock
// from apartment timers on the simulator's COM thread, and turns what the market
// announces into CQGCEL objects and events, through the same objects the scripted mode
// uses:
// - accounts: the market's accounts replace the default one; their Summary and Positions
//   follow the market (positions announced with actPositionAdded / actPositionChanged,
//   summaries and marks refreshed after every fill and every clock tick);
// - instruments: NewInstrument resolves the market's instruments only (full name or short
//   symbol); a resolved instrument whose DataSubscriptionLevel is set gets
//   OnInstrumentChanged with the changed quotes (every quote it has, the first time);
// - tick and timed-bar requests are answered from the market (an unknown symbol or an
//   unsupported bar period with an error object), then follow its ticks and bars:
//   OnTicksAdded, OnTimedBarsAdded when a bar starts, OnTimedBarsUpdated while it forms;
// - Place and Cancel go to the market once their scripted answer succeeds (so a test can
//   still make them fail); every order change raises OnOrderChanged with the order's
//   properties as of that change and the fill that caused it.
// The market's calls are made only from posted messages and timers, never inside a COM
// call, so every event fires after the call that caused it has returned.
//
// Clock: `speed` simulated seconds pass per wall-clock second. A tick runs the updates due
// for at most a few milliseconds of COM-thread time, then lets queued calls through; when
// the thread cannot keep up, simulated time slows down (it never skips updates or queues
// a backlog). Speed 0 keeps the clock still: AdvanceBy moves it.
//
// Thread-safety: home thread only (control functions reach it through RunOnHome).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/variant.h"
#include "platform/cqgcel/market/market.h"
#include "platform/cqgcel/sim_market_settings.h"

namespace mx::cqgcel {

class Simulator;
class SimOrder;
class SimInstrument;
class Ticks;
class TimedBars;

// One consistent view of the market's books (taken on the COM thread).
struct MarketSnapshot {
  struct OrderRow {
    std::string guid;  // the CQGCEL order's GUID (what the gateway reports)
    std::string status, side, type, instrument;
    int64_t gw_account_id = 0, quantity = 0, filled_quantity = 0;
    double average_price = 0;
  };
  struct FillRow {
    std::string id, order_guid;
    std::string status = "fsNormal";  // fsBusted / fsModified once amended
    double price = 0;
    int64_t quantity = 0;
    com::DateTime timestamp;
  };
  struct PositionRow {
    int64_t gw_account_id = 0;
    std::string instrument;
    int64_t quantity = 0;
    double average_price = 0, ote = 0, realized_pnl = 0;
  };
  struct AccountRow {
    int64_t gw_account_id = 0;
    market::AccountSummary summary;
  };
  std::vector<OrderRow> orders;  // in placing order
  std::vector<FillRow> fills;    // every fill, in order
  std::vector<PositionRow> positions;
  std::vector<AccountRow> accounts;
  com::DateTime now;
};

class MarketArea final : public market::MarketListener {
 public:
  explicit MarketArea(Simulator& sim);
  ~MarketArea() override;
  MarketArea(const MarketArea&) = delete;
  MarketArea& operator=(const MarketArea&) = delete;

  // Builds the market (running its history) and its accounts and catalogue, then starts
  // the clock. Once only. With `state`, the market is built without history and then
  // loaded from it (market::StateError when it is not of this market).
  void Start(const MarketSettings& settings, market::StateReader* state = nullptr);
  bool started() const { return market_ != nullptr; }
  const market::Market& market() const { return *market_; }

  // Runs the market `seconds` of simulated time forward now, events included.
  void AdvanceBy(double seconds);
  MarketSnapshot Snapshot() const;

  // What ties CQGCEL's orders to the market's, for a saved state: (CQGCEL GUID, market
  // GUID) pairs and the fills as reported; Relink restores them (the orders must exist).
  std::vector<std::pair<std::string, std::string>> Links() const;
  const std::vector<MarketSnapshot::FillRow>& fill_rows() const { return fills_; }
  void Relink(const std::vector<std::pair<std::string, std::string>>& links,
              std::vector<MarketSnapshot::FillRow> rows);

  // Hooks of the scripted areas. AnswerTicks / AnswerTimedBars fill the collection and
  // return null, or return the error object of the refusal.
  com::DispatchPtr AnswerTicks(Ticks& ticks);
  com::DispatchPtr AnswerTimedBars(TimedBars& bars);
  void Place(const std::shared_ptr<SimOrder>& order);
  // False when the order never reached the market (the scripted cancel applies).
  bool Cancel(const std::shared_ptr<SimOrder>& order);
  // Busts (no correction) or corrects the market's fill `fill_id` of `order`; false when
  // the order never reached the market. std::invalid_argument as Market::AmendFill, or
  // for a fill of another order.
  bool AmendFill(const std::shared_ptr<SimOrder>& order, const std::string& fill_id,
                 std::optional<market::Market::Correction> correction);

  // A new session took the simulator over (Simulator::Rehome): a running clock catches up
  // the wall time that passed since the last tick (events raised meanwhile reach nobody),
  // then ticks on the new home thread.
  void Resume();

  // Data is back after an outage: each instrument's next quote event carries every quote.
  void DataRestored();

  // market::MarketListener
  void OnQuotesChanged(const market::Instrument&, std::span<const market::QuoteValue>) override;
  void OnTicksAdded(const market::Instrument&, std::span<const market::Tick>) override;
  void OnBarUpdated(const market::Instrument&, market::BarPeriod, const market::Bar&,
                    bool new_bar) override;
  void OnOrderChanged(market::ChangeType, const market::Order&, const market::Fill*) override;
  void OnPositionChanged(const market::Account&, const market::Position&, bool added) override;
  void OnAccountChanged(const market::Account&, const market::AccountSummary&) override;

 private:
  using Clock = std::chrono::steady_clock;

  void ScheduleTick(std::chrono::nanoseconds delay);
  void Tick();
  void Rebase();  // the clock's anchor moved to (now, market time)
  // Runs `call` on the market; re-posted when the market is already in a call.
  template <class Call>
  void WithMarket(Call&& call);
  void RefreshAccounts();
  bool Primed(const std::shared_ptr<SimInstrument>& instrument);

  Simulator& sim_;
  std::unique_ptr<market::Market> market_;
  double speed_ = 0;
  Clock::time_point anchor_wall_;
  market::SimTime anchor_sim_ = 0;
  std::shared_ptr<std::atomic<bool>> running_ = std::make_shared<std::atomic<bool>>(false);
  bool in_market_ = false;

  std::shared_ptr<SimOrder> placing_;  // the order PlaceOrder is announcing
  std::unordered_map<std::string, std::shared_ptr<SimOrder>> by_market_guid_;
  std::unordered_map<std::string, std::string> market_guid_;  // CQGCEL GUID -> market's
  std::vector<MarketSnapshot::FillRow> fills_;
  std::vector<std::weak_ptr<SimInstrument>> primed_;  // got their full quotes already
};

// The simulator's market, or null in scripted mode (home thread).
MarketArea* MarketOf(Simulator& sim);
// Starts the market when settings are present (called as a simulator is created).
void StartConfiguredMarket(Simulator& sim);

}  // namespace mx::cqgcel
