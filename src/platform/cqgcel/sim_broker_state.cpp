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

struct AccountRecord {
  int32_t id = 0;
  std::string name;
  SummaryValues summary;
  std::vector<PositionRow> positions;
};
struct OrderRecord {
  OrderValues values;
  std::vector<FillValues> fills;
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

void WriteDate(StateWriter& w, const com::DateTime& d) {
  w.Fields(d.year, d.month, d.day, d.hour, d.minute, d.second, d.microsecond);
}
com::DateTime ReadDate(StateReader& r) {
  com::DateTime d;
  r.Fields(d.year, d.month, d.day, d.hour, d.minute, d.second, d.microsecond);
  return d;
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
    for (const auto& [name, value] : a.summary->values) w.Fields(name, value);
    w.Int(static_cast<int64_t>(a.positions->items.size())).Line();
    for (const auto& p_item : a.positions->items) {
      const auto& p = static_cast<const SimPosition&>(*p_item);
      w.Fields(p.instrument_name, p.side, p.quantity, p.average_price, p.ote, p.profit_loss);
      w.Line();
    }
  }

  const auto& area = sim.Area<OrderArea>();
  const auto& orders = area.orders()->items;
  w.Tag("orders").Int(static_cast<int64_t>(orders.size())).UInt(area.next_order());
  w.Int(area.next_fill()).Line();
  for (const auto& o : orders) {
    w.Fields(o->guid, o->instrument_name, o->order_type, o->gw_account_id, o->quantity, o->side,
             o->status, o->filled_quantity, o->limit_price, o->stop_price, o->average_fill_price);
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
      w.Fields(f->status, f->quantity, f->price);
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
      w.Fields(row.id, row.order_guid, row.status, row.price, row.quantity);
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
    r.Fields(a.id, a.name);
    for (size_t k = r.Count(); k > 0; --k) {
      auto& [name, value] = a.summary.emplace_back();
      r.Fields(name, value);
      const auto& names = SimSummary::Names();
      if (std::find(names.begin(), names.end(), name) == names.end()) {
        throw StateError("unknown summary value " + name);
      }
    }
    for (size_t k = r.Count(); k > 0; --k) {
      PositionRow& p = a.positions.emplace_back();
      r.Fields(p.instrument_name, p.side, p.quantity, p.average_price, p.ote, p.profit_loss);
    }
    layer.accounts.push_back(std::move(a));
  }

  r.Tag("orders");
  const size_t orders = r.Count();
  r.Fields(layer.next_order, layer.next_fill);
  for (size_t n = orders; n > 0; --n) {
    OrderRecord& o = layer.orders.emplace_back();
    OrderValues& v = o.values;
    r.Fields(v.guid, v.instrument_name, v.order_type, v.gw_account_id, v.quantity, v.side, v.status,
             v.filled_quantity, v.limit_price, v.stop_price, v.average_fill_price);
    v.timestamp = ReadDate(r);
    r.Fields(v.placed);
    for (size_t k = r.Count(); k > 0; --k) {
      FillValues& f = o.fills.emplace_back();
      if (r.Bool()) {
        f.id = com::Variant(r.Text());
      } else {
        int32_t id = 0;
        r.Fields(id);
        f.id = com::Variant(id);
      }
      r.Fields(f.status, f.quantity, f.price);
      f.timestamp = ReadDate(r);
    }
  }
  if (market) {
    r.Tag("links");
    for (size_t n = r.Count(); n > 0; --n) {
      std::string guid = r.Text();
      layer.links.emplace_back(std::move(guid), r.Text());
    }
    r.Tag("rows");
    for (size_t n = r.Count(); n > 0; --n) {
      MarketSnapshot::FillRow& row = layer.rows.emplace_back();
      r.Fields(row.id, row.order_guid, row.status, row.price, row.quantity);
      row.timestamp = ReadDate(r);
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
    for (const auto& a : layer.accounts) accounts.Set(a.id, a.name, a.summary, a.positions);
    auto& orders = sim->Area<OrderArea>();
    for (const auto& o : layer.orders) {
      auto order = orders.Add(o.values);
      order->account = accounts.Find(o.values.gw_account_id);
      for (const auto& f : o.fills) order->fills.push_back(SimFill::Make(order, f));
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
