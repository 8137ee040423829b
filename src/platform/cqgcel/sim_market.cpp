#include "platform/cqgcel/sim_market.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/com/com_error.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/objects.h"
#include "platform/cqgcel/sim_accounts.h"
#include "platform/cqgcel/sim_connection.h"
#include "platform/cqgcel/sim_instruments.h"
#include "platform/cqgcel/sim_orders.h"
#include "platform/cqgcel/sim_ticks.h"
#include "platform/cqgcel/sim_timed_bars.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using com::Variant;
using market::SimTime;
using namespace std::chrono_literals;

namespace {

// COM-thread time one clock tick may spend running the market before queued calls get
// their turn, and the bounds of the pause between ticks.
constexpr auto kTickBudget = 4ms;
constexpr auto kMinPause = 1ms;
constexpr auto kMaxPause = 20ms;

// Codes of the market's refusals (the error object's Code).
constexpr int32_t kUnknownSymbolCode = 1001;  // as the scripted NewInstrument's
constexpr int32_t kUnsupportedPeriodCode = 1002;

com::DateTime ToDate(SimTime t) {
  const market::CalendarTime c = market::ToCalendar(t);
  return {c.year, c.month, c.day, c.hour, c.minute, c.second, c.microsecond};
}

int32_t ConstantOf(std::string_view cqg_name) { return Constant(cqg_name); }

// The market instrument a request symbol names (full name or short symbol), or null.
const market::Instrument* Lookup(const market::Market& m, std::string_view symbol) {
  return symbol.empty() ? nullptr : m.FindInstrument(symbol);
}

// The names a request may have used for an instrument (one when they are the same).
template <class Visit>
void ForEachName(const market::Instrument& instrument, Visit&& visit) {
  visit(std::string_view(instrument.full_name()));
  if (instrument.symbol() != instrument.full_name()) visit(instrument.symbol());
}

BarData ToBarData(const market::Bar& bar) {
  BarData out;
  out.timestamp = ToDate(bar.start);
  out.open = bar.open;
  out.high = bar.high;
  out.low = bar.low;
  out.close = bar.close;
  out.actual_volume = bar.volume;
  const auto volume = static_cast<double>(bar.volume);
  out.actual_volume_fractional = volume;
  out.commodity_volume_fractional = volume;
  out.contract_volume_fractional = volume;
  out.tick_volume = bar.tick_volume;
  return out;
}

std::optional<market::BarPeriod> PeriodOf(const TimedBarsRequest& request) {
  switch (request.PeriodSeconds()) {
    case 60:
      return market::BarPeriod::Minute;
    case 86400:
      return market::BarPeriod::Day;
    default:
      return std::nullopt;
  }
}

std::shared_ptr<SimPosition> FindPosition(SimAccount& account, std::string_view name) {
  for (const auto& item : account.positions->items) {
    auto p = std::static_pointer_cast<SimPosition>(item);
    if (p->instrument_name == name) return p;
  }
  return nullptr;
}

void CopySummary(SimSummary& to, const market::AccountSummary& s) {
  auto set = [&](std::string_view name, double value) {
    auto it = to.values.find(name);
    if (it != to.values.end()) it->second = value;
  };
  set("Balance", s.balance);
  set("Collaterals", s.collaterals);
  set("NLV", s.nlv);
  set("MaintenanceMargin", s.maintenance_margin);
  set("ProfitLoss", s.profit_loss);
  set("UPL", s.upl);
  set("OTE", s.upl);
}

void CopyPosition(SimPosition& to, const market::Position& p) {
  to.quantity = static_cast<int32_t>(p.quantity);
  to.side = ConstantOf(market::CqgName(p.side()));
  to.average_price = p.average_price;
  to.ote = p.ote;
  to.profit_loss = p.profit_loss();
}

}  // namespace

MarketArea::MarketArea(Simulator& sim) : sim_(sim) {}

MarketArea::~MarketArea() {
  running_->store(false);
  if (market_) market_->SetListener(nullptr);
}

MarketArea* MarketOf(Simulator& sim) {
  MarketArea* area = sim.FindArea<MarketArea>();
  return area && area->started() ? area : nullptr;
}

void StartConfiguredMarket(Simulator& sim) {
  auto settings = MarketSettingsStore::Instance().Get();
  if (!settings) {
    MarketSettingsStore::Instance().SetLiveClock({});
    return;
  }
  sim.Area<MarketArea>().Start(*settings);
}

void MarketArea::Start(const MarketSettings& settings, market::StateReader* state) {
  if (market_) throw std::logic_error("the market has started already");
  market::MarketConfig config = settings.config;
  if (state) config.history = 0;  // the state brings the bars
  auto m = std::make_unique<market::Market>(config);
  std::vector<std::string> catalogue;
  for (const auto& spec : settings.instruments) {
    catalogue.push_back(m->AddInstrument(spec).full_name());
  }
  for (const auto& spec : settings.accounts) m->AddAccount(spec);
  if (state) m->Load(*state);
  auto& accounts = sim_.Area<AccountArea>();
  accounts.Clear();
  for (const auto& account : m->accounts()) {
    auto sim_account =
        accounts.Set(static_cast<int32_t>(account->gw_account_id()), account->name());
    CopySummary(*sim_account->summary, account->Summary());
  }
  sim_.Area<InstrumentArea>().SetCatalogue(std::move(catalogue));
  m->SetListener(this);
  market_ = std::move(m);
  speed_ = settings.speed;
  running_->store(true);
  MarketSettingsStore::Instance().SetLiveClock(running_);
  Rebase();
  if (speed_ > 0) ScheduleTick(0ns);
}

void MarketArea::Resume() {
  primed_.clear();
  MarketSettingsStore::Instance().SetLiveClock(running_);
  if (!running_->load() || !(speed_ > 0)) return;
  if (std::isfinite(speed_)) {
    const double elapsed =
        std::chrono::duration<double, std::micro>(Clock::now() - anchor_wall_).count();
    const SimTime target = anchor_sim_ + static_cast<SimTime>(elapsed * speed_);
    WithMarket([&](market::Market& m) { m.Advance(target); });
    RefreshAccounts();
  }
  Rebase();
  ScheduleTick(0ns);
}

void MarketArea::Rebase() {
  anchor_wall_ = Clock::now();
  anchor_sim_ = market_->Now();
}

void MarketArea::ScheduleTick(std::chrono::nanoseconds delay) {
  std::weak_ptr<Simulator> weak = sim_.self();
  sim_.home()->PostAfter(delay, [weak] {
    auto sim = weak.lock();
    if (!sim) return;
    if (MarketArea* area = MarketOf(*sim)) area->Tick();
  });
}

template <class Call>
void MarketArea::WithMarket(Call&& call) {
  if (in_market_) {
    // A sink of an event raised from inside the market reached back in: run it after.
    std::weak_ptr<Simulator> weak = sim_.self();
    sim_.home()->Post([weak, call = std::forward<Call>(call)]() mutable {
      auto sim = weak.lock();
      if (!sim) return;
      if (MarketArea* area = MarketOf(*sim)) area->WithMarket(std::move(call));
    });
    return;
  }
  in_market_ = true;
  struct Leave {
    bool& flag;
    ~Leave() { flag = false; }
  } leave{in_market_};
  call(*market_);
}

void MarketArea::Tick() {
  if (!running_->load()) return;
  if (in_market_) {  // reached from inside the market (a nested pump): come back later
    ScheduleTick(kMinPause);
    return;
  }
  const auto start = Clock::now();
  const auto deadline = start + kTickBudget;
  constexpr SimTime kNever = std::numeric_limits<SimTime>::max();
  SimTime target = kNever;
  if (std::isfinite(speed_)) {
    const double elapsed = std::chrono::duration<double, std::micro>(start - anchor_wall_).count();
    target = anchor_sim_ + static_cast<SimTime>(elapsed * speed_);
  }
  bool behind = false;
  WithMarket([&](market::Market& m) {
    while (m.NextUpdateTime() <= target) {
      m.Step();
      if (Clock::now() >= deadline) {
        behind = m.NextUpdateTime() <= target;
        break;
      }
    }
    if (!behind) m.Advance(target);
  });
  RefreshAccounts();
  if (behind) {
    Rebase();  // slow down instead of piling up a backlog
    ScheduleTick(0ns);
    return;
  }
  const double until_next =
      static_cast<double>(market_->NextUpdateTime() - market_->Now()) / speed_;  // µs
  auto pause = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double, std::micro>(std::min(until_next, 1e9)));
  ScheduleTick(std::clamp<std::chrono::nanoseconds>(pause, kMinPause, kMaxPause));
}

void MarketArea::AdvanceBy(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) {
    throw std::invalid_argument("seconds must be a finite number >= 0");
  }
  if (in_market_) throw std::logic_error("the market is busy (called from one of its events)");
  WithMarket([&](market::Market& m) {
    m.Advance(m.Now() + static_cast<SimTime>(std::llround(seconds * 1e6)));
  });
  RefreshAccounts();
  Rebase();
}

void MarketArea::RefreshAccounts() {
  auto& area = sim_.Area<AccountArea>();
  for (const auto& account : market_->accounts()) {
    auto sim_account = area.Find(account->gw_account_id());
    if (!sim_account) continue;
    CopySummary(*sim_account->summary, account->Summary());
    for (const auto& p : account->positions()) {
      if (auto position = FindPosition(*sim_account, p.instrument_name)) {
        CopyPosition(*position, p);
      }
    }
  }
}

// ---- market data -------------------------------------------------------------------

void MarketArea::DataRestored() { primed_.clear(); }

bool MarketArea::Primed(const std::shared_ptr<SimInstrument>& instrument) {
  std::erase_if(primed_, [](const auto& w) { return w.expired(); });
  for (const auto& w : primed_) {
    if (w.lock() == instrument) return true;
  }
  primed_.push_back(instrument);
  return false;
}

void MarketArea::OnQuotesChanged(const market::Instrument& instrument,
                                 std::span<const market::QuoteValue> quotes) {
  if (!DataUp(sim_)) return;
  auto& area = sim_.Area<InstrumentArea>();
  auto subscribed = area.Find(instrument.full_name());
  static const int32_t ds_none = Constant("dsNone");
  if (!subscribed || subscribed->data_subscription_level == ds_none) return;
  std::vector<market::QuoteValue> snapshot;
  if (!Primed(subscribed)) {
    snapshot = instrument.QuoteSnapshot();
    quotes = snapshot;
  }
  std::vector<QuoteValue> values;
  values.reserve(quotes.size());
  for (const auto& q : quotes) values.push_back({ConstantOf(market::CqgName(q.type)), q.price});
  area.PushQuotes(subscribed, values);
}

void MarketArea::OnTicksAdded(const market::Instrument& instrument,
                              std::span<const market::Tick> ticks) {
  if (!DataUp(sim_)) return;
  std::vector<TickData> data;
  auto all = AllTicksOf(sim_);
  ForEachName(instrument, [&](std::string_view name) {
    for (const auto& collection : all->OfSymbol(name)) {
      if (collection->size() == 0) continue;  // not answered yet
      if (data.empty()) {
        for (const auto& t : ticks) {
          data.push_back(
              {ConstantOf(market::CqgName(t.price_type)), t.price, t.volume, ToDate(t.timestamp)});
        }
      }
      size_t added = collection->Append(data);
      sim_.Fire(EventId::OnTicksAdded,
                {Variant(com::DispatchPtr(collection)), Variant(static_cast<int32_t>(added))});
    }
  });
}

void MarketArea::OnBarUpdated(const market::Instrument& instrument, market::BarPeriod period,
                              const market::Bar& bar, bool /*new_bar*/) {
  if (!DataUp(sim_)) return;
  auto all = AllTimedBarsOf(sim_);
  std::optional<BarData> data;
  ForEachName(instrument, [&](std::string_view name) {
    for (const auto& collection : all->OfSymbol(name)) {
      if (collection->size() == 0 || PeriodOf(collection->request()) != period) continue;
      if (!data) data = ToBarData(bar);
      int64_t last = -1;
      collection->Resolve(last);
      if (collection->At(static_cast<size_t>(last)).timestamp == data->timestamp) {
        collection->Update(static_cast<size_t>(last), *data);
        sim_.Fire(EventId::OnTimedBarsUpdated,
                  {Variant(com::DispatchPtr(collection)), Variant(static_cast<int32_t>(last))});
      } else {
        collection->Add(*data);  // a new bar: the one before it is complete
        sim_.Fire(EventId::OnTimedBarsAdded, {Variant(com::DispatchPtr(collection))});
      }
    }
  });
}

com::DispatchPtr MarketArea::AnswerTicks(Ticks& ticks) {
  const market::Instrument* instrument = Lookup(*market_, ticks.symbol());
  if (!instrument) {
    return MakeError(kUnknownSymbolCode, "Unknown symbol '" + ticks.symbol() + "'");
  }
  const market::Level1 book = instrument->book();
  const com::DateTime now = ToDate(market_->Now());
  std::vector<TickData> current{
      {Constant("tptBid"), book.bid_price, book.bid_volume, now},
      {Constant("tptAsk"), book.ask_price, book.ask_volume, now},
  };
  if (instrument->last_trade_volume() > 0) {
    current.push_back({Constant("tptTrade"), instrument->last_trade_price(),
                       instrument->last_trade_volume(), now});
  }
  ticks.Append(current);
  return nullptr;
}

com::DispatchPtr MarketArea::AnswerTimedBars(TimedBars& bars) {
  const market::Instrument* instrument = Lookup(*market_, bars.symbol());
  if (!instrument) {
    return MakeError(kUnknownSymbolCode, "Unknown symbol '" + bars.symbol() + "'");
  }
  auto period = PeriodOf(bars.request());
  if (!period) {
    return MakeError(kUnsupportedPeriodCode,
                     "Only one-minute and daily bars are available for " + bars.symbol());
  }
  // The look-back asked for, the newest (still forming) bar included.
  const int64_t count = std::max<int64_t>(bars.request().RangeCount().value_or(100), 1);
  std::vector<BarData> data;
  for (const auto& bar :
       market_->BarHistory(*instrument, *period, static_cast<size_t>(count - 1))) {
    data.push_back(ToBarData(bar));
  }
  bars.Fill(data);
  return nullptr;
}

// ---- orders and accounts -----------------------------------------------------------

void MarketArea::Place(const std::shared_ptr<SimOrder>& order) {
  if (order->IsFinal()) return;  // cancelled while its placing was held back
  market::OrderRequest request;
  request.gw_account_id = order->gw_account_id;
  request.instrument = order->instrument_name;
  request.quantity = order->quantity;
  request.side = order->side == Constant("osdSell") ? market::Side::Sell : market::Side::Buy;
  request.limit_price = order->limit_price.value_or(0.0);
  request.stop_price = order->stop_price.value_or(0.0);
  if (order->order_type == Constant("otLimit")) {
    request.type = market::OrderType::Limit;
  } else if (order->order_type == Constant("otStop")) {
    request.type = market::OrderType::Stop;
  } else if (order->order_type == Constant("otMarket")) {
    request.type = market::OrderType::Market;
  } else {
    // Stop-limit orders: the market has none; refused as the gateway would see it.
    auto& area = sim_.Area<OrderArea>();
    area.SetStatus(order, Constant("osInTransit"), Constant("ctAdded"));
    area.SetStatus(order, Constant("osRejectGW"), Constant("ctChanged"));
    return;
  }
  WithMarket([this, order, request](market::Market& m) {
    placing_ = order;
    struct Done {
      std::shared_ptr<SimOrder>& placing;
      ~Done() { placing.reset(); }
    } done{placing_};
    m.PlaceOrder(request);
  });
}

bool MarketArea::Cancel(const std::shared_ptr<SimOrder>& order) {
  auto it = market_guid_.find(order->guid);
  if (it == market_guid_.end()) return false;
  WithMarket([guid = it->second](market::Market& m) { m.CancelOrder(guid); });
  return true;
}

bool MarketArea::AmendFill(const std::shared_ptr<SimOrder>& order, const std::string& fill_id,
                           std::optional<market::Market::Correction> correction) {
  auto it = market_guid_.find(order->guid);
  if (it == market_guid_.end()) return false;
  if (in_market_) throw std::logic_error("the market is busy (called from one of its events)");
  const market::Fill* fill = nullptr;
  for (const auto& f : market_->fills()) {
    if (f.id == fill_id) fill = &f;
  }
  if (fill && fill->order_guid != it->second) {
    throw std::invalid_argument("Fill '" + fill_id + "' belongs to another order");
  }
  WithMarket([&](market::Market& m) { m.AmendFill(fill_id, correction); });
  RefreshAccounts();
  return true;
}

void MarketArea::OnOrderChanged(market::ChangeType change, const market::Order& o,
                                const market::Fill* fill) {
  std::shared_ptr<SimOrder> order;
  if (change == market::ChangeType::Added) {
    order = placing_;
    if (!order) return;
    by_market_guid_.emplace(o.guid, order);
    market_guid_.emplace(order->guid, o.guid);
  } else {
    auto it = by_market_guid_.find(o.guid);
    if (it == by_market_guid_.end()) return;
    order = it->second;
  }
  order->status = ConstantOf(market::CqgName(o.status));
  order->filled_quantity = static_cast<int32_t>(o.filled_quantity);
  order->average_fill_price = o.average_fill_price;
  order->timestamp = ToDate(o.server_timestamp);

  Variant fill_arg;
  if (fill) {
    auto f = std::make_shared<SimFill>();
    f->id = Variant(fill->id);
    f->status = ConstantOf(market::CqgName(fill->status));
    f->timestamp = ToDate(fill->timestamp);
    f->price = fill->price;
    f->quantity = static_cast<int32_t>(fill->quantity);
    f->order = order;
    const std::string status(market::CqgName(fill->status));
    // An amended fill replaces the one of the same id, in place.
    auto same = std::find_if(order->fills.begin(), order->fills.end(),
                             [&](const auto& x) { return x->id.ToString() == fill->id; });
    if (same != order->fills.end()) {
      *same = f;
      for (auto& row : fills_) {
        if (row.id == fill->id)
          row = {fill->id, order->guid, status, fill->price, fill->quantity, f->timestamp};
      }
    } else {
      order->fills.push_back(f);
      fills_.push_back({fill->id, order->guid, status, fill->price, fill->quantity, f->timestamp});
    }
    fill_arg = Variant(com::DispatchPtr(f));
  }
  sim_.Fire(EventId::OnOrderChanged,
            {Variant(ConstantOf(market::CqgName(change))), Variant(com::DispatchPtr(order)),
             Variant(), std::move(fill_arg), Variant()});
}

void MarketArea::OnPositionChanged(const market::Account& account, const market::Position& position,
                                   bool /*added*/) {
  auto sim_account = sim_.Area<AccountArea>().Find(account.gw_account_id());
  if (!sim_account) return;
  auto sim_position = FindPosition(*sim_account, position.instrument_name);
  const bool added = !sim_position;
  if (added) {
    sim_position = std::make_shared<SimPosition>();
    sim_position->instrument_name = position.instrument_name;
    sim_account->positions->items.push_back(sim_position);
  }
  CopyPosition(*sim_position, position);
  sim_.Fire(EventId::OnAccountChanged,
            {Variant(Constant(added ? "actPositionAdded" : "actPositionChanged")),
             Variant(com::DispatchPtr(sim_account)), Variant(com::DispatchPtr(sim_position))});
}

void MarketArea::OnAccountChanged(const market::Account& account,
                                  const market::AccountSummary& summary) {
  if (auto sim_account = sim_.Area<AccountArea>().Find(account.gw_account_id())) {
    CopySummary(*sim_account->summary, summary);
  }
}

// ---- snapshot ----------------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> MarketArea::Links() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const market::Order& o : market_->orders()) {
    auto it = by_market_guid_.find(o.guid);
    if (it != by_market_guid_.end()) out.emplace_back(it->second->guid, o.guid);
  }
  return out;
}

void MarketArea::Relink(const std::vector<std::pair<std::string, std::string>>& links,
                        std::vector<MarketSnapshot::FillRow> rows) {
  const auto& orders = *sim_.Area<OrderArea>().orders();
  for (const auto& [guid, market_guid] : links) {
    auto order = orders.Find(guid);
    if (!order || !market_->FindOrder(market_guid)) {
      throw std::invalid_argument("order " + guid + " of the state is unknown");
    }
    by_market_guid_[market_guid] = order;
    market_guid_[guid] = market_guid;
  }
  fills_ = std::move(rows);
}

MarketSnapshot MarketArea::Snapshot() const {
  MarketSnapshot s;
  s.now = ToDate(market_->Now());
  for (const market::Order& o : market_->orders()) {
    auto it = by_market_guid_.find(o.guid);
    if (it == by_market_guid_.end()) continue;
    s.orders.push_back({it->second->guid, std::string(market::CqgName(o.status)),
                        std::string(market::CqgName(o.side)), std::string(market::CqgName(o.type)),
                        o.instrument, o.gw_account_id, o.quantity, o.filled_quantity,
                        o.average_fill_price});
  }
  s.fills = fills_;
  for (const auto& account : market_->accounts()) {
    s.accounts.push_back({account->gw_account_id(), account->Summary()});
    for (const auto& p : account->positions()) {
      s.positions.push_back({account->gw_account_id(), p.instrument_name, p.quantity,
                             p.average_price, p.ote, p.realized_pnl});
    }
  }
  return s;
}

}  // namespace mx::cqgcel
