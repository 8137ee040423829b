// Simulator control for market mode: configure_market, disable_market, market_running,
// advance_market, market_snapshot. The settings are process-wide (like the answers);
// the actions reach the live simulator's market on its COM thread, GIL released.
#include <pybind11/stl.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>

#include "platform/com/python/variant_py.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/python/control_bindings.h"
#include "platform/cqgcel/sim_broker.h"
#include "platform/cqgcel/sim_broker_state.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/simulator.h"

namespace py = pybind11;

namespace mx::cqgcel::bind {
namespace {

using com::py_glue::ToPython;
using market::kMicrosPerDay;
using market::kMicrosPerSecond;

int64_t Micros(double seconds, const char* what) {
  if (!std::isfinite(seconds) || seconds <= 0) {
    throw py::value_error(std::string(what) + " must be a finite number of seconds > 0");
  }
  return std::max<int64_t>(1, std::llround(seconds * 1e6));
}

market::SimTime TimeFrom(const py::handle& when) {
  py::module_ datetime = py::module_::import("datetime");
  if (!py::isinstance(when, datetime.attr("datetime"))) {
    throw py::type_error("start_time must be a datetime.datetime");
  }
  auto field = [&](const char* name) { return when.attr(name).cast<int>(); };
  return market::FromCalendar({field("year"), field("month"), field("day"), field("hour"),
                               field("minute"), field("second"), field("microsecond")});
}

// Keys of `d` outside `allowed` are refused (a misspelt setting must not pass unnoticed).
void CheckKeys(const py::dict& d, const std::set<std::string>& allowed, const char* what) {
  for (auto [key, value] : d) {
    std::string name = py::str(key);
    if (!allowed.count(name)) {
      throw py::value_error(std::string("Unknown ") + what + " setting '" + name + "'");
    }
  }
}

market::InstrumentSpec InstrumentFrom(const py::handle& item, int64_t default_interval) {
  if (!py::isinstance<py::dict>(item)) throw py::type_error("an instrument must be a dict");
  auto d = py::reinterpret_borrow<py::dict>(item);
  CheckKeys(d,
            {"full_name", "tick_size", "multiplier", "start_price", "volatility",
             "update_interval", "trade_probability", "max_book_volume", "max_trade_volume",
             "initial_margin", "maintenance_margin"},
            "instrument");
  if (!d.contains("full_name")) throw py::value_error("an instrument needs a full_name");
  market::InstrumentSpec spec;
  spec.full_name = d["full_name"].cast<std::string>();
  auto number = [&](const char* key, double& out) {
    if (d.contains(key)) out = d[key].cast<double>();
  };
  auto whole = [&](const char* key, int64_t& out) {
    if (d.contains(key)) out = d[key].cast<int64_t>();
  };
  number("tick_size", spec.tick_size);
  number("multiplier", spec.multiplier);
  number("start_price", spec.start_price);
  number("volatility", spec.volatility);
  number("trade_probability", spec.trade_probability);
  whole("max_book_volume", spec.max_book_volume);
  whole("max_trade_volume", spec.max_trade_volume);
  number("initial_margin", spec.initial_margin);
  number("maintenance_margin", spec.maintenance_margin);
  spec.update_interval = d.contains("update_interval")
                             ? Micros(d["update_interval"].cast<double>(), "update_interval")
                             : default_interval;
  return spec;
}

market::AccountSpec AccountFrom(const py::handle& item) {
  if (!py::isinstance<py::dict>(item)) throw py::type_error("an account must be a dict");
  auto d = py::reinterpret_borrow<py::dict>(item);
  CheckKeys(d, {"gw_account_id", "name", "balance"}, "account");
  if (!d.contains("gw_account_id")) throw py::value_error("an account needs a gw_account_id");
  market::AccountSpec spec;
  spec.gw_account_id = d["gw_account_id"].cast<int64_t>();
  if (spec.gw_account_id < 0 || spec.gw_account_id > std::numeric_limits<int32_t>::max()) {
    throw py::value_error("gw_account_id must fit a 32-bit CQG account id");
  }
  spec.name = d.contains("name") ? d["name"].cast<std::string>()
                                 : "SIM" + std::to_string(spec.gw_account_id);
  spec.starting_balance = d.contains("balance") ? d["balance"].cast<double>() : 1'000'000.0;
  return spec;
}

std::shared_ptr<Simulator> Live() {
  auto sim = Control::Instance().Live();
  if (!sim) throw std::runtime_error("No CQGCEL simulator is running");
  return sim;
}

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
        MarketSettings s;
        s.config.seed = seed;
        s.config.start_time = TimeFrom(start_time);
        if (!std::isfinite(history_days) || history_days < 0) {
          throw py::value_error("history_days must be a finite number >= 0");
        }
        s.config.history = std::llround(history_days * static_cast<double>(kMicrosPerDay));
        if (std::isnan(speed) || speed < 0) throw py::value_error("speed must be >= 0");
        s.speed = speed;
        int64_t interval = Micros(update_interval, "update_interval");
        if (tick_rate) {
          if (!std::isfinite(*tick_rate) || *tick_rate <= 0) {
            throw py::value_error("tick_rate must be a finite number > 0");
          }
          if (!std::isfinite(speed) || speed <= 0) {
            throw py::value_error("tick_rate needs a finite speed > 0");
          }
          interval = Micros(speed / *tick_rate, "speed / tick_rate");
        }
        for (py::handle item : instruments) s.instruments.push_back(InstrumentFrom(item, interval));
        for (py::handle item : accounts) s.accounts.push_back(AccountFrom(item));
        try {
          MarketSettingsStore::Instance().Set(std::move(s));
        } catch (const std::invalid_argument& e) {
          throw py::value_error(e.what());
        }
        BrokerStore::Instance().SetStateFile(state_file);
        if (state_file && std::filesystem::exists(*state_file)) {
          std::shared_ptr<const BrokerFile> state;
          {
            py::gil_scoped_release release;
            state = ReadBrokerState(*state_file);
          }
          BrokerStore::Instance().SetLoaded(std::move(state));
        }
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
      [](double seconds) {
        OnMarket([&](MarketArea& market) { market.AdvanceBy(seconds); });
      },
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
