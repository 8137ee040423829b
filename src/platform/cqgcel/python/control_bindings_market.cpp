// Simulator control for market mode: configure_market, disable_market, market_running,
// advance_market, market_snapshot. The settings are process-wide (like the answers);
// the actions reach the live simulator's market on its COM thread, GIL released.
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/com/python/variant_py.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/python/control_bindings.h"
#include "platform/cqgcel/sim_broker.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/sim_market_settings.h"
#include "platform/cqgcel/simulator.h"

namespace py = pybind11;

namespace mx::cqgcel::bind {
namespace {

using com::py_glue::ToPython;

market::CalendarTime TimeFrom(const py::handle& when) {
  py::module_ datetime = py::module_::import("datetime");
  if (!py::isinstance(when, datetime.attr("datetime"))) {
    throw py::type_error("start_time must be a datetime.datetime");
  }
  auto field = [&](const char* name) { return when.attr(name).cast<int>(); };
  return {field("year"),   field("month"),  field("day"),        field("hour"),
          field("minute"), field("second"), field("microsecond")};
}

// A settings dict as the simulator reads it: each value cast as the setting needs it.
class DictSource : public SettingSource {
 public:
  DictSource(const py::handle& item, const char* what) {
    if (!py::isinstance<py::dict>(item))
      throw py::type_error(std::string(what) + " must be a dict");
    dict_ = py::reinterpret_borrow<py::dict>(item);
  }
  std::vector<std::string> Names() const override {
    std::vector<std::string> out;
    for (auto [key, value] : dict_) out.emplace_back(py::str(key));
    return out;
  }
  bool Has(const char* name) const override { return dict_.contains(name); }
  double Number(const char* name) const override { return dict_[name].cast<double>(); }
  int64_t Whole(const char* name) const override { return dict_[name].cast<int64_t>(); }
  std::string Text(const char* name) const override { return dict_[name].cast<std::string>(); }

 private:
  py::dict dict_;
};

// Runs `task` with the live simulator's market on its COM thread, GIL released.
template <class Task>
void OnMarket(Task&& task) {
  auto sim = Live();
  py::gil_scoped_release release;
  sim->RunOnHome([&] {
    MarketArea* market = MarketOf(*sim);
    if (!market) throw std::runtime_error("The CQGCEL simulator runs no market");
    task(*market);
  });
}

py::object Date(const com::DateTime& d) { return ToPython(com::Variant(d)); }

}  // namespace

void init_market(py::module_& m) {
  m.def(
      "configure_market",
      [](uint64_t seed, double speed, py::object start_time, double history_days,
         py::list instruments, py::list accounts, double update_interval,
         std::optional<double> tick_rate, std::optional<std::string> state_file) {
        MarketRequest request;
        request.seed = seed;
        request.start_time = TimeFrom(start_time);
        request.history_days = history_days;
        request.speed = speed;
        request.update_interval = update_interval;
        request.tick_rate = tick_rate;
        auto [settings, interval] = StartMarketSettings(request);
        for (py::handle item : instruments) {
          settings.instruments.push_back(
              InstrumentSpecFrom(DictSource(item, "an instrument"), interval));
        }
        for (py::handle item : accounts) {
          settings.accounts.push_back(AccountSpecFrom(DictSource(item, "an account")));
        }
        MarketSettingsStore::Instance().Set(std::move(settings));
        py::gil_scoped_release release;
        BrokerStore::Instance().UseStateFile(state_file);
      },
      py::kw_only(), py::arg("seed"), py::arg("speed") = 60.0, py::arg("start_time"),
      py::arg("history_days") = 2.0, py::arg("instruments"), py::arg("accounts"),
      py::arg("update_interval") = 0.25, py::arg("tick_rate") = py::none(),
      py::arg("state_file") = py::none(),
      R"(Market mode for the next simulator that is created (ComHost.Init): a seeded
market of `instruments` and `accounts` instead of scripted answers. A simulator that is
already running is not changed.

speed: simulated seconds per wall-clock second (0: the clock stands still and
advance_market moves it; math.inf: as fast as the COM thread can run it).
start_time: the simulated session start (naive datetime); history_days of bars before it.
update_interval: simulated seconds between an instrument's updates (quotes, ticks and
maybe a trade); tick_rate, when given, sets it to speed / tick_rate instead (updates per
wall-clock second and instrument). An instrument dict may set its own update_interval.
Instrument dicts: full_name, tick_size, multiplier, start_price, volatility,
trade_probability, max_book_volume, max_trade_volume, initial_margin,
maintenance_margin. Account dicts: gw_account_id, name (default "SIM<id>"), balance
(default 1,000,000). ValueError for a bad or unknown setting.
state_file: the broker's state is written there at every CQGCEL.Shutdown, and read from
there now when the file exists (the next simulator carries on with it; ValueError when
it is of another seed or market, or unreadable).)");

  m.def(
      "disable_market", [] { MarketSettingsStore::Instance().Clear(); },
      R"(Back to scripted answers for the next simulator; the live market's clock stops.
reset() does this too.)");

  m.def(
      "market_running", [] { return MarketSettingsStore::Instance().LiveRunning(); },
      R"(Whether the live simulator runs a market whose clock has not been stopped.)");

  m.def(
      "advance_market",
      [](double seconds) { OnMarket([&](MarketArea& market) { market.AdvanceBy(seconds); }); },
      py::arg("seconds"),
      R"(Runs the live market `seconds` of simulated time forward now, on its COM thread;
returns once every event of it has been delivered.)");

  m.def(
      "market_snapshot",
      [] {
        MarketSnapshot s;
        OnMarket([&](MarketArea& market) { s = market.Snapshot(); });
        py::dict orders;
        for (const auto& o : s.orders) {
          py::dict row;
          row["status"] = o.status;
          row["filled_quantity"] = o.filled_quantity;
          row["average_price"] = o.average_price;
          row["quantity"] = o.quantity;
          row["side"] = o.side;
          row["type"] = o.type;
          row["instrument"] = o.instrument;
          row["gw_account_id"] = o.gw_account_id;
          orders[py::str(o.guid)] = row;
        }
        py::list fills;
        for (const auto& f : s.fills) {
          py::dict row;
          row["id"] = f.id;
          row["order_guid"] = f.order_guid;
          row["status"] = f.status;
          row["price"] = f.price;
          row["quantity"] = f.quantity;
          row["timestamp"] = Date(f.timestamp);
          fills.append(row);
        }
        py::dict positions;
        for (const auto& p : s.positions) {
          py::dict row;
          row["quantity"] = p.quantity;
          row["average_price"] = p.average_price;
          row["ote"] = p.ote;
          row["realized_pnl"] = p.realized_pnl;
          positions[py::make_tuple(p.gw_account_id, p.instrument)] = row;
        }
        py::dict accounts;
        for (const auto& a : s.accounts) {
          py::dict row;
          row["balance"] = a.summary.balance;
          row["collaterals"] = a.summary.collaterals;
          row["nlv"] = a.summary.nlv;
          row["maintenance_margin"] = a.summary.maintenance_margin;
          row["profit_loss"] = a.summary.profit_loss;
          row["upl"] = a.summary.upl;
          accounts[py::int_(a.gw_account_id)] = row;
        }
        py::dict out;
        out["orders"] = orders;
        out["fills"] = fills;
        out["positions"] = positions;
        out["accounts"] = accounts;
        out["now"] = Date(s.now);
        return out;
      },
      R"(One consistent view of the live market, taken on its COM thread: orders (by the
GUID the gateway sees), every fill in order, positions by (gw_account_id, full name),
account summaries by gw_account_id, and the simulated time `now`.)");
}

}  // namespace mx::cqgcel::bind
