// Value types of the simulated market: what goes in (instrument, account and order
// specifications) and what comes out (quotes, ticks, bars, orders, fills, positions,
// account summaries). Enumerations carry CQG's constant names (CqgName) so that the
// CQGCEL layer maps them to its type library's values without knowing the market.
//
// Thread-safety: plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/cqgcel/market/sim_time.h"

namespace mx::cqgcel::market {

// ---- inputs ----

struct InstrumentSpec {
  std::string full_name;              // dotted, e.g. "F.US.EP"; the last piece is the symbol
  double tick_size = 0.25;            // > 0; every price is a whole number of ticks
  double multiplier = 50.0;           // currency per point per contract
  double start_price = 4500.0;        // > 0; rounded to the tick grid
  double volatility = 0.01;           // relative standard deviation of the price per day
  int64_t update_interval = 250'000;  // microseconds between book updates (the rate)
  double trade_probability = 0.6;     // chance that an update prints a trade
  int64_t max_book_volume = 20;       // displayed bid/ask volume is 1..max
  int64_t max_trade_volume = 5;       // traded volume is 1..max
  double initial_margin = 0.0;        // per contract held: the account's collaterals
  double maintenance_margin = 0.0;    // per contract held
};

struct AccountSpec {
  int64_t gw_account_id = 0;
  std::string name;
  double starting_balance = 0.0;
};

enum class OrderType { Market, Limit, Stop };
enum class Side { Buy, Sell };

struct OrderRequest {
  OrderType type = OrderType::Market;
  Side side = Side::Buy;
  int64_t gw_account_id = 0;
  std::string instrument;  // full name or symbol
  int64_t quantity = 0;
  double limit_price = 0.0;  // Limit orders
  double stop_price = 0.0;   // Stop orders (which then execute as market orders)
};

// ---- market data ----

enum class QuoteType { Ask, Bid, Trade, DayOpen, DayHigh, DayLow, YesterdaySettlement };
enum class TickPriceType { Ask, Bid, Trade };
enum class BarPeriod { Minute, Day };

struct QuoteValue {
  QuoteType type;
  double price = 0.0;
  int64_t volume = 0;  // bid/ask/trade; 0 for the day values
};

struct Tick {
  TickPriceType price_type;
  double price = 0.0;
  int64_t volume = 0;
  SimTime timestamp = 0;
};

struct Bar {
  SimTime start = 0;  // the bar's timestamp: start of its minute or day
  double open = 0.0;
  double high = 0.0;
  double low = 0.0;
  double close = 0.0;
  int64_t volume = 0;       // contracts traded
  int64_t tick_volume = 0;  // trades
};

struct Level1 {
  double bid_price = 0.0;
  int64_t bid_volume = 0;
  double ask_price = 0.0;
  int64_t ask_volume = 0;
};

// ---- orders and accounts ----

// The subset of CQG's order statuses that the market produces. Final: Filled,
// Canceled, RejectGW.
enum class OrderStatus { InTransit, InOrderBook, Filled, Canceled, RejectGW };
enum class ChangeType { Added, Changed };
// Normal fills; a fill busted (cancelled) or corrected afterwards keeps its id.
enum class FillStatus { Normal, Busted, Modified };

inline bool IsFinal(OrderStatus s) {
  return s == OrderStatus::Filled || s == OrderStatus::Canceled || s == OrderStatus::RejectGW;
}

struct Order {
  std::string guid;
  int64_t gw_account_id = 0;
  std::string instrument;  // full name as requested (the instrument's when known)
  OrderType type = OrderType::Market;
  Side side = Side::Buy;
  int64_t quantity = 0;
  double limit_price = 0.0;
  double stop_price = 0.0;
  OrderStatus status = OrderStatus::InTransit;
  int64_t filled_quantity = 0;
  double average_fill_price = 0.0;
  SimTime placed_time = 0;
  SimTime server_timestamp = 0;  // of the latest change
  std::string reject_reason;     // set with RejectGW
  int fill_count = 0;

  int64_t remaining() const { return quantity - filled_quantity; }
};

struct Fill {
  std::string id;  // unique within the market
  std::string order_guid;
  double price = 0.0;
  int64_t quantity = 0;
  Side side = Side::Buy;
  SimTime timestamp = 0;
  FillStatus status = FillStatus::Normal;
};

struct Position {
  std::string instrument_name;  // the instrument's full name
  int64_t quantity = 0;         // signed: long > 0, short < 0
  double average_price = 0.0;   // of the open quantity; 0 when flat
  double ote = 0.0;             // (mark - average) * quantity * multiplier
  double realized_pnl = 0.0;    // booked on reductions and flips, over the session
  double mark_price = 0.0;      // the instrument's last trade price at the latest mark

  Side side() const { return quantity < 0 ? Side::Sell : Side::Buy; }
  double profit_loss() const { return realized_pnl + ote; }
};

struct AccountSummary {
  double balance = 0.0;             // starting balance + realised P&L
  double collaterals = 0.0;         // initial margin of the contracts held
  double nlv = 0.0;                 // balance + unrealised P&L
  double maintenance_margin = 0.0;  // per contract held
  double profit_loss = 0.0;         // realised
  double upl = 0.0;                 // unrealised: the sum of the positions' OTE
};

// ---- CQG names ----

std::string_view CqgName(QuoteType t);      // "qtAsk", ...
std::string_view CqgName(TickPriceType t);  // "tptAsk", ...
std::string_view CqgName(OrderStatus s);    // "osInTransit", ...
std::string_view CqgName(ChangeType c);     // "ctAdded", "ctChanged"
std::string_view CqgName(OrderType t);      // "otMarket", ...
std::string_view CqgName(Side s);           // "osdBuy", "osdSell"
std::string_view CqgName(FillStatus s);     // "fsNormal", "fsBusted", "fsModified"
std::optional<OrderType> OrderTypeFromCqgName(std::string_view name);
std::optional<Side> SideFromCqgName(std::string_view name);

// The short symbol of a full name: its last dot-separated piece (the whole when none).
std::string_view ShortSymbol(std::string_view full_name);

}  // namespace mx::cqgcel::market
