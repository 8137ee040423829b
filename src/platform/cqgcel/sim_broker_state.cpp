#include "platform/cqgcel/sim_broker_state.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/market/state_io.h"
#include "platform/cqgcel/sim_accounts.h"
#include "platform/cqgcel/sim_instruments.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/sim_market_settings.h"
#include "platform/cqgcel/sim_orders.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using market::StateError;
using market::StateReader;
using market::StateWriter;

namespace {

constexpr const char* kMagic = "morvex-cqgcel-broker-state";
constexpr int64_t kVersion = 1;

// ---- plain records of the CQGCEL layer -----------------------------------------------

struct PositionRecord {
  std::string instrument_name;
  int32_t side = 0, quantity = 0;
  double average_price = 0, ote = 0, profit_loss = 0;
};
struct AccountRecord {
  int32_t id = 0;
  std::string name;
  std::vector<std::pair<std::string, std::optional<double>>> summary;
  std::vector<PositionRecord> positions;
};
struct FillRecord {
  com::Variant id;
  int32_t status = 0, quantity = 0;
  com::DateTime timestamp;
  double price = 0;
};
struct OrderRecord {
  std::string guid, instrument_name;
  int32_t order_type = 0, gw_account_id = 0, quantity = 0, side = 0, status = 0;
  int32_t filled_quantity = 0;
  std::optional<double> limit_price, stop_price;
  double average_fill_price = 0;
  com::DateTime timestamp;
  bool placed = false;
  std::vector<FillRecord> fills;
};
struct Layer {
  std::vector<std::string> catalogue;
  std::vector<AccountRecord> accounts;
  std::vector<OrderRecord> orders;
  uint64_t next_order = 1;
  int32_t next_fill = 1;
  std::vector<std::pair<std::string, std::string>> links;  // market mode
  std::vector<MarketSnapshot::FillRow> rows;
};

int32_t Int32(StateReader& r) {
  const int64_t v = r.Int();
  if (v < INT32_MIN || v > INT32_MAX) throw StateError("a number out of range");
  return static_cast<int32_t>(v);
}

void WriteDate(StateWriter& w, const com::DateTime& d) {
  w.Int(d.year).Int(d.month).Int(d.day).Int(d.hour).Int(d.minute).Int(d.second).Int(d.microsecond);
}
com::DateTime ReadDate(StateReader& r) {
  com::DateTime d;
  d.year = Int32(r);
  d.month = Int32(r);
  d.day = Int32(r);
  d.hour = Int32(r);
  d.minute = Int32(r);
  d.second = Int32(r);
  d.microsecond = Int32(r);
  return d;
}
void WriteOptional(StateWriter& w, const std::optional<double>& v) {
  w.Bool(v.has_value()).Double(v.value_or(0.0));
}
std::optional<double> ReadOptional(StateReader& r) {
  const bool has = r.Bool();
  const double v = r.Double();
  return has ? std::optional<double>(v) : std::nullopt;
}

// ---- writing -------------------------------------------------------------------------

void WriteLayer(StateWriter& w, Simulator& sim, MarketArea* market) {
  const auto& catalogue = sim.Area<InstrumentArea>().catalogue();
  w.Tag("catalogue").Int(static_cast<int64_t>(catalogue.size()));
  for (const auto& name : catalogue) w.Text(name);
  w.Line();

  const auto& accounts = sim.Area<AccountArea>().accounts()->items;
  w.Tag("accounts").Int(static_cast<int64_t>(accounts.size())).Line();
  for (const auto& item : accounts) {
    const auto& a = static_cast<const SimAccount&>(*item);
    w.Int(a.gw_account_id)
        .Text(a.gw_account_name)
        .Int(static_cast<int64_t>(a.summary->values.size()));
    for (const auto& [name, value] : a.summary->values) {
      w.Text(name);
      WriteOptional(w, value);
    }
    w.Int(static_cast<int64_t>(a.positions->items.size())).Line();
    for (const auto& p_item : a.positions->items) {
      const auto& p = static_cast<const SimPosition&>(*p_item);
      w.Text(p.instrument_name).Int(p.side).Int(p.quantity).Double(p.average_price);
      w.Double(p.ote).Double(p.profit_loss).Line();
    }
  }

  const auto& area = sim.Area<OrderArea>();
  const auto& orders = area.orders()->items;
  w.Tag("orders").Int(static_cast<int64_t>(orders.size())).UInt(area.next_order());
  w.Int(area.next_fill()).Line();
  for (const auto& o : orders) {
    w.Text(o->guid).Text(o->instrument_name).Int(o->order_type).Int(o->gw_account_id);
    w.Int(o->quantity).Int(o->side).Int(o->status).Int(o->filled_quantity);
    WriteOptional(w, o->limit_price);
    WriteOptional(w, o->stop_price);
    w.Double(o->average_fill_price);
    WriteDate(w, o->timestamp);
    w.Bool(o->placed).Int(static_cast<int64_t>(o->fills.size())).Line();
    for (const auto& f : o->fills) {
      // Fill ids: the market's are text, the scripted ones numbers.
      const bool text = f->id.type() == com::Variant::Type::Text;
      w.Bool(text);
      if (text) {
        w.Text(f->id.Text());
      } else {
        w.Int(f->id.ToInt());
      }
      w.Int(f->status).Int(f->quantity).Double(f->price);
      WriteDate(w, f->timestamp);
      w.Line();
    }
  }

  if (market) {
    const auto links = market->Links();
    w.Tag("links").Int(static_cast<int64_t>(links.size())).Line();
    for (const auto& [guid, market_guid] : links) w.Text(guid).Text(market_guid).Line();
    const auto& rows = market->fill_rows();
    w.Tag("rows").Int(static_cast<int64_t>(rows.size())).Line();
    for (const auto& row : rows) {
      w.Text(row.id).Text(row.order_guid).Text(row.status).Double(row.price).Int(row.quantity);
      WriteDate(w, row.timestamp);
      w.Line();
    }
  }
  w.Tag("end").Line();
}

// ---- reading -------------------------------------------------------------------------

Layer ReadLayer(StateReader& r, bool market) {
  Layer layer;
  r.Tag("catalogue");
  for (size_t n = r.Count(); n > 0; --n) layer.catalogue.push_back(r.Text());

  r.Tag("accounts");
  for (size_t n = r.Count(); n > 0; --n) {
    AccountRecord a;
    a.id = Int32(r);
    a.name = r.Text();
    for (size_t k = r.Count(); k > 0; --k) {
      std::string name = r.Text();
      const auto& names = SimSummary::Names();
      if (std::find(names.begin(), names.end(), name) == names.end()) {
        throw StateError("unknown summary value " + name);
      }
      a.summary.emplace_back(std::move(name), ReadOptional(r));
    }
    for (size_t k = r.Count(); k > 0; --k) {
      PositionRecord p;
      p.instrument_name = r.Text();
      p.side = Int32(r);
      p.quantity = Int32(r);
      p.average_price = r.Double();
      p.ote = r.Double();
      p.profit_loss = r.Double();
      a.positions.push_back(std::move(p));
    }
    layer.accounts.push_back(std::move(a));
  }

  r.Tag("orders");
  const size_t orders = r.Count();
  layer.next_order = r.UInt();
  layer.next_fill = Int32(r);
  for (size_t n = orders; n > 0; --n) {
    OrderRecord o;
    o.guid = r.Text();
    o.instrument_name = r.Text();
    o.order_type = Int32(r);
    o.gw_account_id = Int32(r);
    o.quantity = Int32(r);
    o.side = Int32(r);
    o.status = Int32(r);
    o.filled_quantity = Int32(r);
    o.limit_price = ReadOptional(r);
    o.stop_price = ReadOptional(r);
    o.average_fill_price = r.Double();
    o.timestamp = ReadDate(r);
    o.placed = r.Bool();
    for (size_t k = r.Count(); k > 0; --k) {
      FillRecord f;
      if (r.Bool()) {
        f.id = com::Variant(r.Text());
      } else {
        f.id = com::Variant(Int32(r));
      }
      f.status = Int32(r);
      f.quantity = Int32(r);
      f.price = r.Double();
      f.timestamp = ReadDate(r);
      o.fills.push_back(std::move(f));
    }
    layer.orders.push_back(std::move(o));
  }
  if (market) {
    r.Tag("links");
    for (size_t n = r.Count(); n > 0; --n) {
      std::string guid = r.Text();
      layer.links.emplace_back(std::move(guid), r.Text());
    }
    r.Tag("rows");
    for (size_t n = r.Count(); n > 0; --n) {
      MarketSnapshot::FillRow row;
      row.id = r.Text();
      row.order_guid = r.Text();
      row.status = r.Text();
      row.price = r.Double();
      row.quantity = r.Int();
      row.timestamp = ReadDate(r);
      layer.rows.push_back(std::move(row));
    }
  }
  r.Tag("end");
  return layer;
}

// The header, the market's own state (market mode) and the layer, read from `text`.
// With `sim`, a fresh simulator takes it all; without, it is only checked (the market is
// loaded into a scratch one built from the same settings).
void Restore(const std::string& path, const std::string& text, Simulator* sim) {
  auto fail = [&](const std::string& why) {
    throw std::invalid_argument("Broker state " + path + " cannot be used: " + why);
  };
  const auto settings = MarketSettingsStore::Instance().Get();
  try {
    std::istringstream in(text);
    StateReader r(in);
    r.Tag(kMagic);
    if (r.Int() != kVersion) throw StateError("a layout this version does not read");
    r.Tag("mode");
    const std::string mode = r.Text();
    if (mode != "market" && mode != "scripted") throw StateError("unknown mode " + mode);
    const bool market = mode == "market";
    if (market && !settings) fail("it is a market's state and no market is configured");
    if (!market && settings) fail("it is a scripted simulator's state and a market is configured");
    if (!market && sim) MarketSettingsStore::Instance().SetLiveClock({});
    if (market) {
      if (sim) {
        sim->Area<MarketArea>().Start(*settings, &r);
      } else {
        market::MarketConfig config = settings->config;
        config.history = 0;
        market::Market scratch(config);
        for (const auto& spec : settings->instruments) scratch.AddInstrument(spec);
        for (const auto& spec : settings->accounts) scratch.AddAccount(spec);
        scratch.Load(r);
      }
    }
    Layer layer = ReadLayer(r, market);
    if (!sim) return;

    auto& instruments = sim->Area<InstrumentArea>();
    for (auto& name : layer.catalogue) instruments.Define(std::move(name));
    auto& accounts = sim->Area<AccountArea>();
    accounts.Clear();
    for (const auto& a : layer.accounts) {
      auto account = accounts.Set(a.id, a.name);
      for (const auto& [name, value] : a.summary) account->summary->values[name] = value;
      for (const auto& p : a.positions) {
        auto position = std::make_shared<SimPosition>();
        position->instrument_name = p.instrument_name;
        position->side = p.side;
        position->quantity = p.quantity;
        position->average_price = p.average_price;
        position->ote = p.ote;
        position->profit_loss = p.profit_loss;
        account->positions->items.push_back(std::move(position));
      }
    }
    auto& orders = sim->Area<OrderArea>();
    for (const auto& o : layer.orders) {
      auto order = orders.Create(o.guid);
      order->instrument_name = o.instrument_name;
      order->order_type = o.order_type;
      order->gw_account_id = o.gw_account_id;
      order->account = accounts.Find(o.gw_account_id);
      order->quantity = o.quantity;
      order->side = o.side;
      order->status = o.status;
      order->filled_quantity = o.filled_quantity;
      order->limit_price = o.limit_price;
      order->stop_price = o.stop_price;
      order->average_fill_price = o.average_fill_price;
      order->timestamp = o.timestamp;
      order->placed = o.placed;
      for (const auto& f : o.fills) {
        auto fill = std::make_shared<SimFill>();
        fill->id = f.id;
        fill->status = f.status;
        fill->quantity = f.quantity;
        fill->price = f.price;
        fill->timestamp = f.timestamp;
        fill->order = order;
        order->fills.push_back(std::move(fill));
      }
    }
    orders.SetCounters(layer.next_order, layer.next_fill);
    if (market) sim->Area<MarketArea>().Relink(layer.links, std::move(layer.rows));
  } catch (const StateError& e) {
    fail(e.what());
  } catch (const std::invalid_argument& e) {
    if (std::string(e.what()).rfind("Broker state ", 0) == 0) throw;
    fail(e.what());
  }
}

}  // namespace

void SaveBrokerState(Simulator& sim, const std::string& path) {
  MarketArea* market = MarketOf(sim);
  std::ostringstream out;
  StateWriter w(out);
  w.Tag(kMagic).Int(kVersion).Tag("mode").Text(market ? "market" : "scripted").Line();
  if (market) market->market().Save(w);
  WriteLayer(w, sim, market);

  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << out.str();
    file.close();
    if (!file) {
      std::remove(temporary.c_str());
      throw std::runtime_error("Broker state " + path + " could not be written");
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    throw std::runtime_error("Broker state " + path + " could not be written");
  }
}

std::shared_ptr<const BrokerFile> ReadBrokerState(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::invalid_argument("Broker state " + path + " cannot be read");
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) throw std::invalid_argument("Broker state " + path + " cannot be read");
  auto state = std::make_shared<BrokerFile>(BrokerFile{path, text.str()});
  Restore(state->path, state->text, nullptr);
  return state;
}

void RestoreBrokerState(Simulator& sim, const BrokerFile& state) {
  Restore(state.path, state.text, &sim);
}

}  // namespace mx::cqgcel
