#include "platform/cqgcel/market/market.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace mx::cqgcel::market {
namespace {

MarketListener& NoListener() {
  static MarketListener none;
  return none;
}

uint64_t IdSeed(uint64_t seed) {
  uint64_t state = seed ^ 0x6F72646572696473ull;  // a stream of its own for identifiers
  return SplitMix64(state);
}

// A price to whole ticks, rounded toward the side that keeps an order's promise: a buy
// limit never pays more than its price (floor), a sell limit never gets less (ceil). The
// small slack absorbs the binary representation of prices like 4500.3.
int64_t TicksFloor(double price, double tick) {
  return static_cast<int64_t>(std::floor(price / tick + 1e-9));
}
int64_t TicksCeil(double price, double tick) {
  return static_cast<int64_t>(std::ceil(price / tick - 1e-9));
}

}  // namespace

Market::Market(const MarketConfig& config)
    : config_(config),
      now_(config.start_time),
      listener_(&NoListener()),
      id_rng_(IdSeed(config.seed)) {
  if (config.history > 0 && config.history_interval <= 0) {
    throw std::invalid_argument("history_interval must be positive");
  }
}

Market::~Market() = default;

void Market::SetListener(MarketListener* listener) {
  listener_ = listener ? listener : &NoListener();
}

const Instrument& Market::AddInstrument(const InstrumentSpec& spec) {
  if (spec.full_name.empty()) throw std::invalid_argument("instrument name is empty");
  if (FindInstrument(spec.full_name) || FindInstrument(ShortSymbol(spec.full_name))) {
    throw std::invalid_argument("instrument " + spec.full_name + " already exists");
  }
  if (!(spec.tick_size > 0) || !(spec.start_price > 0) || spec.update_interval <= 0 ||
      !(spec.volatility >= 0)) {
    throw std::invalid_argument("instrument " + spec.full_name +
                                ": tick size, start price and update interval must be "
                                "positive, volatility not negative");
  }
  const auto index = static_cast<uint32_t>(instruments_.size());
  instruments_.push_back(std::make_unique<Instrument>(spec, index, config_));
  slots_.emplace_back();
  Instrument& instrument = *instruments_.back();
  // Catch up silently: the history, and the session so far when added late.
  silent_ = true;
  while (instrument.next_update() <= now_) RunUpdate(instrument);
  RollBars(instrument, now_);
  silent_ = false;
  return instrument;
}

const Account& Market::AddAccount(const AccountSpec& spec) {
  if (FindAccount(spec.gw_account_id)) {
    throw std::invalid_argument("account " + std::to_string(spec.gw_account_id) +
                                " already exists");
  }
  accounts_.push_back(std::make_unique<Account>(spec));
  return *accounts_.back();
}

SimTime Market::NextUpdateTime() const {
  SimTime next = std::numeric_limits<SimTime>::max();
  for (const auto& i : instruments_) next = std::min(next, i->next_update());
  return next;
}

void Market::Advance(SimTime to) {
  if (to < now_) return;
  for (;;) {
    Instrument* due = nullptr;
    for (const auto& i : instruments_) {
      if (i->next_update() <= to && (!due || i->next_update() < due->next_update())) {
        due = i.get();
      }
    }
    if (!due) break;
    now_ = due->next_update();
    RunUpdate(*due);
  }
  now_ = to;
  for (const auto& i : instruments_) RollBars(*i, now_);
}

SimTime Market::Step() {
  const SimTime next = NextUpdateTime();
  if (next != std::numeric_limits<SimTime>::max()) Advance(next);
  return now_;
}

void Market::RollBars(Instrument& instrument, SimTime now) {
  for (BarPeriod p : {BarPeriod::Minute, BarPeriod::Day}) {
    BarSeries& series = p == BarPeriod::Minute ? instrument.minute_ : instrument.daily_;
    if (const Bar* done = series.Roll(now); done && !silent_) {
      listener_->OnBarCompleted(instrument, p, *done);
    }
  }
}

void Market::RunUpdate(Instrument& instrument) {
  RollBars(instrument, instrument.next_update());
  Instrument::Update& u = update_;
  instrument.RunUpdate(u);
  if (!silent_) {
    if (u.quote_count) listener_->OnQuotesChanged(instrument, {u.quotes.data(), u.quote_count});
    if (u.tick_count) listener_->OnTicksAdded(instrument, {u.ticks.data(), u.tick_count});
  }
  if (u.traded) {
    const double price = instrument.last_trade_price();
    const int64_t volume = instrument.last_trade_volume();
    for (BarPeriod p : {BarPeriod::Minute, BarPeriod::Day}) {
      BarSeries& series = p == BarPeriod::Minute ? instrument.minute_ : instrument.daily_;
      bool new_bar = false;
      const Bar& bar = series.AddTrade(u.time, price, volume, new_bar);
      if (!silent_) listener_->OnBarUpdated(instrument, p, bar, new_bar);
    }
    for (size_t a : slots_[instrument.index()].holders) {
      accounts_[a]->Mark(instrument.index(), price);
    }
  }
  MatchWorking(instrument);
}

void Market::MatchWorking(Instrument& instrument) {
  std::vector<Working>& working = slots_[instrument.index()].working;
  if (working.empty()) return;
  const int64_t trade = instrument.last_trade_ticks();
  const bool traded = update_.traded;
  for (Working& w : working) {
    const Order& o = orders_[w.order];
    if (IsFinal(o.status)) continue;  // canceled since the last pass
    if (o.type == OrderType::Stop && !w.triggered && traded) {
      w.triggered = o.side == Side::Buy ? trade >= w.stop_ticks : trade <= w.stop_ticks;
    }
    Match(instrument, w);
  }
  std::erase_if(working, [&](const Working& w) { return IsFinal(orders_[w.order].status); });
}

bool Market::Match(Instrument& instrument, Working& w) {
  Order& o = orders_[w.order];
  const bool buy = o.side == Side::Buy;
  const int64_t touch = buy ? instrument.ask_ticks() : instrument.bid_ticks();
  const int64_t available = buy ? instrument.available_ask() : instrument.available_bid();
  if (available <= 0) return false;
  switch (o.type) {
    case OrderType::Market:
      break;
    case OrderType::Limit:
      if (buy ? touch > w.limit_ticks : touch < w.limit_ticks) return false;
      break;
    case OrderType::Stop:
      if (!w.triggered) return false;
      break;
  }
  const int64_t quantity = std::min(o.remaining(), available);
  instrument.TakeVolume(buy, quantity);
  BookFill(instrument, o, quantity, touch);
  return o.status == OrderStatus::Filled;
}

void Market::BookFill(Instrument& instrument, Order& order, int64_t quantity, int64_t price_ticks) {
  const double price = instrument.Price(price_ticks);
  const double filled_before = static_cast<double>(order.filled_quantity);
  order.average_fill_price =
      (order.average_fill_price * filled_before + price * static_cast<double>(quantity)) /
      (filled_before + static_cast<double>(quantity));
  order.filled_quantity += quantity;
  order.fill_count += 1;
  order.server_timestamp = now_;
  if (order.remaining() == 0) order.status = OrderStatus::Filled;

  ++fill_sequence_;
  char id[32];
  std::snprintf(id, sizeof id, "%.8s-%llu", order.guid.c_str(),
                static_cast<unsigned long long>(fill_sequence_));
  const Fill& fill = fills_.emplace_back(
      Fill{id, order.guid, price, quantity, order.side, now_, FillStatus::Normal});
  fill_index_.emplace(fill.id, fills_.size() - 1);
  listener_->OnOrderChanged(ChangeType::Changed, order, &fill);

  Account* account = FindAccountMutable(order.gw_account_id);
  const size_t account_index =
      static_cast<size_t>(std::find_if(accounts_.begin(), accounts_.end(),
                                       [&](const auto& a) { return a.get() == account; }) -
                          accounts_.begin());
  const auto result = account->ApplyFill(instrument.index(), instrument.spec(), order.side,
                                         quantity, price, instrument.last_trade_price());
  if (result.added) slots_[instrument.index()].holders.push_back(account_index);
  listener_->OnPositionChanged(*account, *result.position, result.added);
  listener_->OnAccountChanged(*account, account->Summary());
}

std::string Market::Reject(const OrderRequest& r, const Instrument* instrument,
                           const Account* account) const {
  if (!account) return "Unknown account " + std::to_string(r.gw_account_id);
  if (!instrument) return "Unknown instrument " + r.instrument;
  if (r.quantity <= 0) return "Quantity must be positive";
  if (r.type == OrderType::Limit && !(r.limit_price > 0)) return "Limit price must be positive";
  if (r.type == OrderType::Stop) {
    const double last = instrument->last_trade_price();
    if (r.side == Side::Buy &&
        TicksCeil(r.stop_price, instrument->spec().tick_size) <= instrument->last_trade_ticks()) {
      return "Buy stop price must be above the last trade " + std::to_string(last);
    }
    if (r.side == Side::Sell &&
        TicksFloor(r.stop_price, instrument->spec().tick_size) >= instrument->last_trade_ticks()) {
      return "Sell stop price must be below the last trade " + std::to_string(last);
    }
  }
  return {};
}

const Order& Market::PlaceOrder(const OrderRequest& r) {
  Instrument* instrument = const_cast<Instrument*>(FindInstrument(r.instrument));
  const Account* account = FindAccount(r.gw_account_id);

  Order& o = orders_.emplace_back();
  o.guid = NextGuid();
  o.gw_account_id = r.gw_account_id;
  o.instrument = instrument ? instrument->full_name() : r.instrument;
  o.type = r.type;
  o.side = r.side;
  o.quantity = r.quantity;
  o.limit_price = r.limit_price;
  o.stop_price = r.stop_price;
  o.placed_time = o.server_timestamp = now_;
  o.status = OrderStatus::InTransit;
  const size_t index = orders_.size() - 1;
  order_index_.emplace(o.guid, index);
  listener_->OnOrderChanged(ChangeType::Added, o, nullptr);

  std::string reason = Reject(r, instrument, account);
  if (!reason.empty()) {
    o.status = OrderStatus::RejectGW;
    o.reject_reason = std::move(reason);
    listener_->OnOrderChanged(ChangeType::Changed, o, nullptr);
    return o;
  }
  o.status = OrderStatus::InOrderBook;
  listener_->OnOrderChanged(ChangeType::Changed, o, nullptr);

  const double tick = instrument->spec().tick_size;
  const bool buy = r.side == Side::Buy;
  Working w{index, buy ? TicksFloor(r.limit_price, tick) : TicksCeil(r.limit_price, tick),
            buy ? TicksCeil(r.stop_price, tick) : TicksFloor(r.stop_price, tick), false};
  if (!Match(*instrument, w)) slots_[instrument->index()].working.push_back(w);
  return o;
}

CancelResult Market::CancelOrder(std::string_view guid) {
  const auto it = order_index_.find(guid);
  if (it == order_index_.end()) return CancelResult::UnknownOrder;
  Order& o = orders_[it->second];
  if (IsFinal(o.status)) return CancelResult::NotWorking;
  o.status = OrderStatus::Canceled;
  o.server_timestamp = now_;
  listener_->OnOrderChanged(ChangeType::Changed, o, nullptr);
  // The book entry goes at the instrument's next matching pass.
  return CancelResult::Canceled;
}

const Fill& Market::AmendFill(std::string_view id, std::optional<Correction> correction) {
  const auto found = fill_index_.find(id);
  if (found == fill_index_.end()) {
    throw std::invalid_argument("No fill with id '" + std::string(id) + "'");
  }
  Fill& fill = fills_[found->second];
  if (fill.status == FillStatus::Busted) {
    throw std::invalid_argument("Fill '" + fill.id + "' is busted already");
  }
  Order& order = orders_[order_index_.at(fill.order_guid)];
  if (correction) {
    if (correction->quantity <= 0 || !(correction->price > 0)) {
      throw std::invalid_argument("A corrected fill needs a quantity and a price > 0");
    }
    if (order.filled_quantity - fill.quantity + correction->quantity > order.quantity) {
      throw std::invalid_argument("The correction fills order " + order.guid +
                                  " beyond its quantity");
    }
  }
  Instrument& instrument = *instruments_[FindInstrument(order.instrument)->index()];
  if (correction) {
    fill.status = FillStatus::Modified;
    fill.quantity = correction->quantity;
    fill.price = instrument.Price(std::llround(correction->price / instrument.spec().tick_size));
  } else {
    fill.status = FillStatus::Busted;
  }
  fill.timestamp = now_;

  // The order and the position from the fills that still count, in booking order.
  order.filled_quantity = 0;
  double notional = 0.0;
  std::vector<Account::Leg> legs;
  for (const Fill& f : fills_) {
    if (f.status == FillStatus::Busted) continue;
    const Order& o = orders_[order_index_.at(f.order_guid)];
    if (f.order_guid == order.guid) {
      order.filled_quantity += f.quantity;
      notional += f.price * static_cast<double>(f.quantity);
    }
    if (o.gw_account_id == order.gw_account_id && o.instrument == order.instrument) {
      legs.push_back({f.side, f.quantity, f.price});
    }
  }
  order.average_fill_price =
      order.filled_quantity == 0 ? 0.0 : notional / static_cast<double>(order.filled_quantity);
  order.server_timestamp = now_;
  if (order.status == OrderStatus::InOrderBook && order.remaining() == 0) {
    order.status = OrderStatus::Filled;
  }
  listener_->OnOrderChanged(ChangeType::Changed, order, &fill);

  Account* account = FindAccountMutable(order.gw_account_id);
  const Position& position =
      account->Rebook(instrument.index(), legs, instrument.last_trade_price());
  listener_->OnPositionChanged(*account, position, false);
  listener_->OnAccountChanged(*account, account->Summary());
  return fill;
}

const Instrument* Market::FindInstrument(std::string_view name) const {
  for (const auto& i : instruments_) {
    if (i->full_name() == name) return i.get();
  }
  for (const auto& i : instruments_) {
    if (i->symbol() == name) return i.get();
  }
  return nullptr;
}

const Order* Market::FindOrder(std::string_view guid) const {
  const auto it = order_index_.find(guid);
  return it == order_index_.end() ? nullptr : &orders_[it->second];
}

const Account* Market::FindAccount(int64_t id) const {
  for (const auto& a : accounts_) {
    if (a->gw_account_id() == id) return a.get();
  }
  return nullptr;
}

Account* Market::FindAccountMutable(int64_t id) { return const_cast<Account*>(FindAccount(id)); }

std::vector<Bar> Market::BarHistory(const Instrument& instrument, BarPeriod period,
                                    size_t n) const {
  return instrument.bars(period).History(n);
}

std::string Market::NextGuid() {
  // 80 random bits and a 48-bit sequence number: unique within the market, and
  // different between seeds.
  const uint64_t hi = id_rng_.Next();
  const uint64_t lo = id_rng_.Next() & 0xFFFFull;
  const uint64_t seq = orders_.size() & 0xFFFFFFFFFFFFull;
  char text[40];
  std::snprintf(text, sizeof text, "%08llX-%04llX-%04llX-%04llX-%012llX",
                static_cast<unsigned long long>(hi >> 32),
                static_cast<unsigned long long>((hi >> 16) & 0xFFFF),
                static_cast<unsigned long long>(hi & 0xFFFF), static_cast<unsigned long long>(lo),
                static_cast<unsigned long long>(seq));
  return text;
}

}  // namespace mx::cqgcel::market
