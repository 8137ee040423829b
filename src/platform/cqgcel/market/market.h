// Market: the simulated exchange behind the CQGCEL simulator's paper trading.
//
// It holds instruments (random-walk prices, level-1 books, trades, bars), accounts and
// orders, and moves only when its owner moves its clock: Advance(to) runs every
// instrument update due up to `to`, in time order (ties in the order the instruments
// were added); Step() runs the next one. How fast simulated time passes against the
// wall clock is the owner's choice.
//
// Deterministic: the same seed, instruments and calls give the same announcements, the
// same prices and the same identifiers on every platform.
//
// History: an instrument added to the market first runs silently from
// config.start_time - config.history to the current clock (on a coarser grid of
// config.history_interval before start_time), so its bars reach back before the
// session and a late addition shows the same data as an early one.
//
// Orders: PlaceOrder announces the order (Added, InTransit), then either rejects it
// (RejectGW with a reason) or puts it in the book (InOrderBook) and matches it at once.
// Matching is against the level-1 book at the touch: a buy trades at the ask, a sell at
// the bid, at most the volume still displayed in the current update (shared by the
// orders in time priority); the rest waits for later updates. Market orders and
// triggered stops trade at any touch; a buy limit when the ask is at or below its
// price (a sell limit: bid at or above), at the touch. A buy stop triggers on a trade at
// or above its stop price (a sell stop: at or below) and then trades as a market order;
// at placement it must lie beyond the last trade (above it for a buy, below for a
// sell). Orders never move the price.
//
// Announcements go to one MarketListener (not owned), synchronously; see listener.h.
//
// Thread-safety: none. The market is single-threaded: one thread (the simulator's COM
// thread) makes every call, queries included. Pointers and references returned by
// queries stay valid for the market's life (instruments, accounts and orders are never
// removed or moved), while the values they show change with later calls.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/cqgcel/market/account.h"
#include "platform/cqgcel/market/instrument.h"
#include "platform/cqgcel/market/listener.h"
#include "platform/cqgcel/market/market_types.h"
#include "platform/cqgcel/market/random.h"
#include "platform/cqgcel/market/state_io.h"

namespace mx::cqgcel::market {

struct MarketConfig {
  uint64_t seed = 1;
  SimTime start_time = MakeTime(2024, 1, 2, 9, 30);  // the session start; the clock's start
  int64_t history = 3 * kMicrosPerDay;               // simulated silently before start_time
  int64_t history_interval = 10 * kMicrosPerSecond;  // update spacing during the history
  size_t max_minute_bars = 20'000;                   // completed bars kept per instrument
  size_t max_daily_bars = 2'000;
};

enum class CancelResult {
  Canceled,    // the order was working; it is now Canceled
  NotWorking,  // already filled, canceled or rejected: nothing changed
  UnknownOrder,
};

class Market {
 public:
  // Fails with std::invalid_argument for a history_interval <= 0 with history > 0.
  explicit Market(const MarketConfig& config);
  ~Market();
  Market(const Market&) = delete;
  Market& operator=(const Market&) = delete;

  // The listener for every later announcement; null for none. Not owned.
  void SetListener(MarketListener* listener);

  // Adds an instrument and runs its history up to the current clock (no announcements).
  // Fails with std::invalid_argument for an empty or duplicate full name, a symbol that
  // another instrument already has, a tick size, start price or update interval that is
  // not positive, or a negative volatility.
  const Instrument& AddInstrument(const InstrumentSpec& spec);
  // Fails with std::invalid_argument for a duplicate gateway account id.
  const Account& AddAccount(const AccountSpec& spec);

  SimTime Now() const { return now_; }
  // When the next instrument update is due (INT64_MAX without instruments).
  SimTime NextUpdateTime() const;
  // Runs every update due at or before `to`, then sets the clock to `to`, completing the
  // bars whose period has ended. A `to` before Now() changes nothing.
  void Advance(SimTime to);
  // Advances to the next update time and returns it (Now() without instruments).
  SimTime Step();

  // Places an order at Now(); returns it (its status says whether it was rejected).
  const Order& PlaceOrder(const OrderRequest& request);
  CancelResult CancelOrder(std::string_view guid);
  // Busts the fill `id` (no correction) or corrects its quantity and price: the fill keeps
  // its id and takes the status Busted or Modified; its order's filled quantity and
  // average price, and its account's position (booked again from the fills that still
  // count), follow. Announced as an order change carrying the fill, then the position and
  // the account. Returns the fill. std::invalid_argument for an unknown or busted fill, a
  // quantity or price that is not positive, or a correction that overfills the order.
  struct Correction {
    int64_t quantity;
    double price;
  };
  const Fill& AmendFill(std::string_view id, std::optional<Correction> correction);

  void Save(StateWriter& w) const;
  void Load(StateReader& r);

  // Look-ups: null when absent. An instrument is found by full name or short symbol.
  const Instrument* FindInstrument(std::string_view name_or_symbol) const;
  const Order* FindOrder(std::string_view guid) const;
  const Account* FindAccount(int64_t gw_account_id) const;
  // The last `n` completed bars of `period` and the forming one (oldest first).
  std::vector<Bar> BarHistory(const Instrument& instrument, BarPeriod period, size_t n) const;

  const std::vector<std::unique_ptr<Instrument>>& instruments() const { return instruments_; }
  const std::vector<std::unique_ptr<Account>>& accounts() const { return accounts_; }
  const std::deque<Order>& orders() const { return orders_; }  // in placing order
  uint64_t fill_count() const { return fill_sequence_; }
  const std::deque<Fill>& fills() const { return fills_; }  // every fill, in booking order

  // The market's whole moving state (clock, instruments with their random streams and
  // bars, accounts, orders, fills, the book), to go on with in another process. Load
  // expects a market built from the same configuration, instruments (in order) and
  // accounts; it throws StateError (state_io.h) for a state that is not of such a market
  // (another seed, other instruments) or not readable, and then leaves this market in an
  // unspecified state: load into a fresh one.

 private:
  struct Working {  // matching state of an order in the book
    size_t order;   // index into orders_
    int64_t limit_ticks;
    int64_t stop_ticks;
    bool triggered;
  };
  struct Slot {                    // per instrument, parallel to instruments_
    std::vector<Working> working;  // time priority
    std::vector<size_t> holders;   // accounts that hold a position in it
  };

  void RunUpdate(Instrument& instrument);
  void RollBars(Instrument& instrument, SimTime now);
  void MatchWorking(Instrument& instrument);
  // Trades `w` against the touch; returns whether the order is done (filled).
  bool Match(Instrument& instrument, Working& w);
  void BookFill(Instrument& instrument, Order& order, int64_t quantity, int64_t price_ticks);
  std::string Reject(const OrderRequest& r, const Instrument* instrument,
                     const Account* account) const;
  std::string NextGuid();
  Account* FindAccountMutable(int64_t id);

  MarketConfig config_;
  SimTime now_;
  MarketListener* listener_;
  bool silent_ = false;  // while an instrument runs its history
  std::vector<std::unique_ptr<Instrument>> instruments_;
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<Account>> accounts_;
  std::deque<Order> orders_;
  std::unordered_map<std::string_view, size_t> order_index_;  // keys view orders_' guids
  std::deque<Fill> fills_;
  std::unordered_map<std::string_view, size_t> fill_index_;  // keys view fills_' ids
  Rng id_rng_;
  uint64_t fill_sequence_ = 0;
  Instrument::Update update_;  // scratch
};

}  // namespace mx::cqgcel::market
