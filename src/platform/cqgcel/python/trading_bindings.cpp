// Simulator control for trading: symbols and instruments, quotes, accounts (summary and
// positions), orders and fills. Each function acts on the live simulator, on its COM
// thread (one round trip, the GIL released meanwhile); objects come back as Dispatch
// values bound to that thread.
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/com/marshal.h"
#include "platform/com/python/variant_py.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/python/control_bindings.h"
#include "platform/cqgcel/sim_accounts.h"
#include "platform/cqgcel/sim_instruments.h"
#include "platform/cqgcel/sim_orders.h"
#include "platform/cqgcel/simulator.h"

namespace py = pybind11;

namespace mx::cqgcel::bind {
namespace {

using com::py_glue::FromPython;
using com::py_glue::ToPython;

// Runs `task` on the live simulator's thread, GIL released.
template <class Task>
void OnHome(const std::shared_ptr<Simulator>& sim, Task&& task) {
  py::gil_scoped_release release;
  sim->RunOnHome(task);
}

std::vector<QuoteValue> QuotesFrom(const py::iterable& quotes) {
  std::vector<QuoteValue> out;
  for (py::handle item : quotes) {
    auto t = py::reinterpret_borrow<py::tuple>(py::tuple(py::reinterpret_borrow<py::object>(item)));
    if (t.size() < 2 || t.size() > 3) {
      throw py::value_error("a quote is (type, price) or (type, price, is_valid)");
    }
    out.push_back(QuoteValue{t[0].cast<int32_t>(), t[1].cast<double>(),
                             t.size() == 3 ? t[2].cast<bool>() : true});
  }
  return out;
}

// Summary values from a dict {name: number or None}.
SummaryValues SummaryFrom(const py::dict& values) {
  SummaryValues out;
  for (auto [key, value] : values) {
    std::string name = py::str(key);
    SimSummary::CheckName(name);
    out.emplace_back(std::move(name),
                     value.is_none() ? std::nullopt : std::optional<double>(value.cast<double>()));
  }
  return out;
}

std::vector<PositionRow> PositionsFrom(const py::iterable& positions) {
  std::vector<PositionRow> out;
  for (py::handle item : positions) {
    auto d = py::reinterpret_borrow<py::dict>(item);
    auto get = [&](const char* key, py::object fallback) {
      return d.contains(key) ? py::reinterpret_borrow<py::object>(d[key]) : fallback;
    };
    out.push_back(PositionRow{get("InstrumentName", py::str("")).cast<std::string>(),
                              get("Side", py::int_(Constant("osdBuy"))).cast<int32_t>(),
                              get("Quantity", py::int_(0)).cast<int32_t>(),
                              get("AveragePrice", py::float_(0.0)).cast<double>(),
                              get("OTE", py::float_(0.0)).cast<double>(),
                              get("ProfitLoss", py::float_(0.0)).cast<double>()});
  }
  return out;
}

}  // namespace

void init_trading(py::module_& m) {
  // ---- symbols, instruments, quotes --------------------------------------------------
  m.def(
      "define_symbol",
      [](const std::string& full_name) {
        auto sim = Live();
        OnHome(sim, [&] { sim->Area<InstrumentArea>().Define(full_name); });
      },
      py::arg("full_name"),
      R"(Lets NewInstrument resolve `full_name` (and its last dotted piece, e.g. "EP").)");
  m.def(
      "symbols",
      [] {
        auto sim = Live();
        std::vector<std::string> out;
        OnHome(sim, [&] { out = sim->Area<InstrumentArea>().catalogue(); });
        return out;
      },
      R"(The full names NewInstrument can resolve.)");
  m.def(
      "instrument",
      [](const std::string& symbol) {
        auto sim = Live();
        com::DispatchPtr found;
        OnHome(sim, [&] { found = sim->Area<InstrumentArea>().Find(symbol); });
        return Bound(sim, found);
      },
      py::arg("symbol"),
      R"(The subscribed instrument with this full name or last dotted piece, or None.)");
  m.def(
      "make_quotes",
      [](const py::iterable& quotes) {
        auto sim = Live();
        return Bound(sim, MakeQuotes(QuotesFrom(quotes)));
      },
      py::arg("quotes"),
      R"(A CQGQuotes collection of (type, price[, is_valid]) for raise_event / fire_many.)");
  m.def(
      "push_quotes",
      [](const std::string& symbol, const py::iterable& quotes) {
        auto values = QuotesFrom(quotes);
        auto sim = Live();
        OnHome(sim, [&] {
          auto& area = sim->Area<InstrumentArea>();
          area.PushQuotes(area.Require(symbol), values);
        });
      },
      py::arg("symbol"), py::arg("quotes"),
      R"(Raises OnInstrumentChanged for the subscribed instrument `symbol` with these quotes
(type, price[, is_valid]) on the COM thread; returns once the sinks have had it.)");

  // ---- accounts ----------------------------------------------------------------------
  m.def(
      "set_account",
      [](int32_t id, const std::string& name, std::optional<py::dict> summary,
         std::optional<py::iterable> positions) {
        auto values = summary ? SummaryFrom(*summary) : SummaryValues{};
        auto rows = positions ? PositionsFrom(*positions) : std::vector<PositionRow>{};
        auto sim = Live();
        com::DispatchPtr made;
        OnHome(sim, [&] { made = sim->Area<AccountArea>().Set(id, name, values, rows); });
        return Bound(sim, made);
      },
      py::arg("gw_account_id"), py::arg("name"), py::kw_only(), py::arg("summary") = py::none(),
      py::arg("positions") = py::none(),
      R"(Adds (or replaces, in place) the account `gw_account_id` named `name`; returns it.

summary: {name: value} for Balance, Collaterals, NLV, MaintenanceMargin, ProfitLoss, UPL,
OTE (None makes the value unreadable). positions: dicts with InstrumentName, Side,
Quantity (signed), AveragePrice, OTE, ProfitLoss.)");
  m.def(
      "set_summary",
      [](int64_t id, const py::kwargs& values) {
        auto parsed = SummaryFrom(values);
        auto sim = Live();
        OnHome(sim, [&] { sim->Area<AccountArea>().Require(id)->summary->Apply(parsed); });
      },
      py::arg("gw_account_id"), R"(Sets summary values of an account (None: unreadable).)");
  m.def(
      "set_positions",
      [](int64_t id, const py::iterable& positions) {
        auto rows = PositionsFrom(positions);
        auto sim = Live();
        OnHome(sim,
               [&] { AccountArea::SetPositions(*sim->Area<AccountArea>().Require(id), rows); });
      },
      py::arg("gw_account_id"), py::arg("positions"),
      R"(Replaces an account's positions (dicts as for set_account).)");
  m.def(
      "remove_account",
      [](int64_t id) {
        auto sim = Live();
        bool removed = false;
        OnHome(sim, [&] { removed = sim->Area<AccountArea>().Remove(id); });
        return removed;
      },
      py::arg("gw_account_id"));
  m.def(
      "clear_accounts",
      [] {
        auto sim = Live();
        OnHome(sim, [&] { sim->Area<AccountArea>().Clear(); });
      },
      R"(Removes every account (a new simulator starts with account 100001).)");
  m.def(
      "account",
      [](int64_t id) {
        auto sim = Live();
        com::DispatchPtr found;
        OnHome(sim, [&] { found = sim->Area<AccountArea>().Find(id); });
        return Bound(sim, found);
      },
      py::arg("gw_account_id"), R"(The account, or None.)");

  // ---- orders and fills --------------------------------------------------------------
  m.def(
      "orders",
      [] {
        auto sim = Live();
        std::vector<com::DispatchPtr> all;
        OnHome(sim, [&] {
          for (const auto& o : sim->Area<OrderArea>().orders()->items) all.push_back(o);
        });
        py::list out;
        for (auto& o : all) out.append(Bound(sim, o));
        return out;
      },
      R"(Every order the simulator holds, in creation order.)");
  m.def(
      "order",
      [](const std::string& guid) {
        auto sim = Live();
        com::DispatchPtr found;
        OnHome(sim, [&] { found = sim->Area<OrderArea>().orders()->Find(guid); });
        return Bound(sim, found);
      },
      py::arg("guid"), R"(The order with this GUID, or None.)");
  m.def(
      "make_order",
      [](std::string guid, int32_t status, int32_t quantity, int32_t side, int32_t order_type,
         int32_t filled_quantity, double average_fill_price, py::object timestamp,
         std::string instrument_name, int32_t gw_account_id) {
        com::Variant when = timestamp.is_none() ? com::Variant() : FromPython(timestamp);
        auto sim = Live();
        OrderValues values;
        values.guid = std::move(guid);
        values.status = status;
        values.quantity = quantity;
        values.side = side;
        values.order_type = order_type;
        values.filled_quantity = filled_quantity;
        values.average_fill_price = average_fill_price;
        if (!when.IsEmpty()) values.timestamp = when.Date();
        values.instrument_name = std::move(instrument_name);
        values.gw_account_id = gw_account_id;
        com::DispatchPtr made;
        OnHome(sim, [&] { made = sim->Area<OrderArea>().Add(values); });
        return Bound(sim, made);
      },
      py::kw_only(), py::arg("guid") = "", py::arg("status") = Constant("osInOrderBook"),
      py::arg("quantity") = 1, py::arg("side") = Constant("osdBuy"),
      py::arg("order_type") = Constant("otLimit"), py::arg("filled_quantity") = 0,
      py::arg("average_fill_price") = 0.0, py::arg("timestamp") = py::none(),
      py::arg("instrument_name") = "", py::arg("gw_account_id") = 0,
      R"(An order as if entered elsewhere (already placed), added to Orders; raises nothing.
Pass it to raise_event("OnOrderChanged", ...) to report it.)");
  m.def(
      "make_fill",
      [](py::handle order, int32_t quantity, double price, int32_t status, py::object timestamp) {
        com::Variant target = FromPython(order);
        com::Variant when = timestamp.is_none() ? com::Variant() : FromPython(timestamp);
        auto sim = Live();
        com::DispatchPtr made;
        OnHome(sim, [&] {
          auto sim_order = SimOrder::From(target.Dispatch());
          if (!sim_order) throw std::invalid_argument("make_fill needs a simulator order");
          std::optional<com::DateTime> stamp;
          if (!when.IsEmpty()) stamp = when.Date();
          made = sim->Area<OrderArea>().MakeFill(sim_order, quantity, price, status, stamp);
        });
        return Bound(sim, made);
      },
      py::arg("order"), py::arg("quantity"), py::arg("price"), py::kw_only(),
      py::arg("status") = Constant("fsNormal"), py::arg("timestamp") = py::none(),
      R"(A fill of `order` that is not booked (the order is unchanged), for raise_event.)");
  m.def(
      "fill_order",
      [](const std::string& guid, int32_t quantity, double price, int32_t status) {
        auto sim = Live();
        com::DispatchPtr made;
        OnHome(sim, [&] {
          auto& area = sim->Area<OrderArea>();
          made = area.Fill(area.Require(guid), quantity, price, status);
        });
        return Bound(sim, made);
      },
      py::arg("guid"), py::arg("quantity"), py::arg("price"), py::kw_only(),
      py::arg("status") = Constant("fsNormal"),
      R"(Books a fill on the order: OnOrderChanged(ctChanged) with the fill, osFilled once the
whole quantity is filled, then the account's position moves (OnAccountChanged); the
events are delivered before it returns.)");
  m.def(
      "set_order_status",
      [](const std::string& guid, int32_t status, std::optional<int32_t> change) {
        auto sim = Live();
        int32_t change_type = change ? *change : Constant("ctChanged");
        OnHome(sim, [&] {
          auto& area = sim->Area<OrderArea>();
          area.SetStatus(area.Require(guid), status, change_type);
        });
      },
      py::arg("guid"), py::arg("status"), py::kw_only(), py::arg("change") = py::none(),
      R"(Sets the order's status and raises OnOrderChanged(change, default ctChanged).)");
}

}  // namespace mx::cqgcel::bind
