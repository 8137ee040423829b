// Control of the simulator's tick and timed-bars requests: what requests are answered
// with, ticks and bars pushed to live requests, and stand-alone collections for raising
// events by hand.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/marshal.h"
#include "platform/com/python/variant_py.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/python/control_bindings.h"
#include "platform/cqgcel/sim_clock.h"
#include "platform/cqgcel/sim_market_common.h"
#include "platform/cqgcel/sim_ticks.h"
#include "platform/cqgcel/sim_timed_bars.h"
#include "platform/cqgcel/simulator.h"

namespace py = pybind11;

namespace mx::cqgcel::bind {
namespace {

using com::py_glue::FromPython;
using com::py_glue::ToPython;

constexpr const char* kTickFields[] = {"PriceType", "Price", "Volume", "Timestamp"};
constexpr const char* kBarFields[] = {"Timestamp",
                                      "Open",
                                      "High",
                                      "Low",
                                      "Close",
                                      "ActualVolume",
                                      "ActualVolumeFractional",
                                      "CommodityVolumeFractional",
                                      "ContractVolumeFractional",
                                      "TickVolume"};

// The fields of a record given as a tuple (in `names` order, at least `required` of them)
// or as a dict by name; absent ones are empty.
template <size_t N>
std::vector<com::Variant> Fields(py::handle record, const char* const (&names)[N], size_t required,
                                 const char* what) {
  std::vector<com::Variant> values(N);
  if (py::isinstance<py::dict>(record)) {
    auto d = py::reinterpret_borrow<py::dict>(record);
    for (auto item : d) {
      std::string key = py::str(item.first);
      size_t i = 0;
      while (i < N && key != names[i]) ++i;
      if (i == N) throw py::value_error(std::string(what) + " has no field '" + key + "'");
      values[i] = FromPython(item.second);
    }
    for (size_t i = 0; i < required; ++i) {
      if (values[i].IsEmpty()) {
        throw py::value_error(std::string(what) + " needs '" + names[i] + "'");
      }
    }
    return values;
  }
  if (!py::isinstance<py::tuple>(record) && !py::isinstance<py::list>(record)) {
    throw py::type_error(std::string(what) + " must be a tuple or a dict");
  }
  auto seq = py::reinterpret_borrow<py::sequence>(record);
  if (seq.size() < required || seq.size() > N) {
    throw py::value_error(std::string(what) + " takes " + std::to_string(required) + " to " +
                          std::to_string(N) + " values, " + std::to_string(seq.size()) + " given");
  }
  for (size_t i = 0; i < seq.size(); ++i) values[i] = FromPython(seq[i]);
  return values;
}

com::DateTime TimestampOr(const com::Variant& v, const com::DateTime& otherwise) {
  return v.IsEmpty() ? otherwise : v.Date();
}

// A tick's Price or Volume: any number, kept as given (an integer, a fractional volume,
// the invalid marker -2147483648 as an integer or a float).
com::Variant TickNumber(com::Variant v, const char* field) {
  if (!v.IsNumber()) {
    throw py::type_error(std::string("a tick's ") + field + " must be a number, got " +
                         (v.IsEmpty() ? std::string("None") : "'" + v.ToString() + "'"));
  }
  return v;
}

TickData ToTick(py::handle record, const com::DateTime& now) {
  auto v = Fields(record, kTickFields, 3, "a tick");
  return TickData{v[0].ToInt32(), TickNumber(v[1], "Price"), TickNumber(v[2], "Volume"),
                  TimestampOr(v[3], now)};
}

BarData ToBar(py::handle record) {
  auto v = Fields(record, kBarFields, 6, "a bar");
  BarData bar;
  bar.timestamp = v[0].Date();
  bar.open = v[1];
  bar.high = v[2];
  bar.low = v[3];
  bar.close = v[4];
  bar.actual_volume = v[5];
  double volume = v[5].IsNumber() ? v[5].ToDouble() : 0.0;
  bar.actual_volume_fractional = v[6].IsEmpty() ? volume : v[6].ToDouble();
  bar.commodity_volume_fractional = v[7].IsEmpty() ? volume : v[7].ToDouble();
  bar.contract_volume_fractional = v[8].IsEmpty() ? volume : v[8].ToDouble();
  bar.tick_volume = v[9].IsEmpty() ? 0 : v[9].ToInt();
  return bar;
}

std::vector<TickData> ToTicks(py::iterable records) {
  com::DateTime now = NowLocalWholeSeconds();
  std::vector<TickData> out;
  for (auto r : records) out.push_back(ToTick(r, now));
  return out;
}

std::vector<BarData> ToBars(py::iterable records) {
  std::vector<BarData> out;
  for (auto r : records) out.push_back(ToBar(r));
  return out;
}

std::shared_ptr<Simulator> RequireLive() {
  auto sim = Control::Instance().Live();
  if (!sim) throw std::runtime_error("No CQGCEL simulator is running");
  return sim;
}

// Runs `action` on the live simulator's COM thread: waits for it (and for the events it
// raises to reach every sink) and returns its result, or posts it and returns None.
py::object OnHome(bool wait, std::function<size_t(Simulator&)> action) {
  auto sim = RequireLive();
  if (!wait) {
    std::weak_ptr<Simulator> weak = sim;
    sim->home()->Post([weak, action = std::move(action)] {
      auto s = weak.lock();
      if (!s) return;
      try {
        action(*s);
      } catch (const std::exception& e) {
        // Nobody waits for a posted push: its failure (no such request or bar) is written
        // where a test's output shows it, and the COM thread goes on.
        std::fprintf(stderr, "cqgcel: a posted push failed: %s\n", e.what());
      }
    });
    return py::none();
  }
  size_t result = 0;
  {
    py::gil_scoped_release release;
    sim->home()->Run([&] { result = action(*sim); });
  }
  return py::int_(result);
}

// A stand-alone object handed out bound to the live simulator's thread, if there is one.
py::object Handout(com::DispatchPtr object) {
  auto sim = Control::Instance().Live();
  return ToPython(com::Variant(sim ? com::MakeProxy(std::move(object), sim->home()) : object));
}

}  // namespace

void init_market_data(py::module_& m) {
  m.def(
      "set_ticks",
      [](const std::string& symbol, std::optional<py::iterable> ticks) {
        SetTicksAnswer(symbol, ticks ? std::optional(ToTicks(*ticks)) : std::nullopt);
      },
      py::arg("symbol"), py::arg("ticks") = py::none(),
      R"(What a tick request for `symbol` resolves with: a list of ticks, each a tuple
(PriceType, Price, Volume[, Timestamp]) or a dict by those names ([] for an empty
answer); None for the generated current ticks (a bid, an ask and a trade).)");

  m.def(
      "set_max_tick_limit", [](std::optional<int32_t> cap) { SetMaxTickLimit(cap); },
      py::arg("cap") = py::none(),
      R"(Tick requests keep at most `cap` as their Limit (None: as set).)");

  m.def(
      "push_ticks",
      [](const std::string& symbol, py::iterable ticks, bool wait, std::optional<size_t> request) {
        auto data = ToTicks(ticks);
        return OnHome(wait, [symbol, data, request](Simulator& s) {
          return PushTicks(s, symbol, data, request);
        });
      },
      py::arg("symbol"), py::arg("ticks"), py::kw_only(), py::arg("wait") = true,
      py::arg("request") = py::none(),
      R"(Appends `ticks` to every live tick request whose Symbol is `symbol` (with `request`:
only to the request-th of them, 0 the first requested; ComError when there is none), each
followed by OnTicksAdded(ticks, added count). With wait (the default) returns, once every
sink has had the events, how many requests took them; else posts and returns None.)");

  m.def(
      "make_ticks",
      [](const std::string& symbol, py::iterable ticks) {
        return Handout(MakeTicks(symbol, ToTicks(ticks)));
      },
      py::arg("symbol"), py::arg("ticks"),
      R"(A tick collection (not in AllTicks) whose Request.Symbol is `symbol`, holding
`ticks`: an argument for raise_event("OnTicksAdded", ...).)");

  m.def(
      "set_timed_bars",
      [](const std::string& symbol, std::optional<py::iterable> bars) {
        SetTimedBarsAnswer(symbol, bars ? std::optional(ToBars(*bars)) : std::nullopt);
      },
      py::arg("symbol"), py::arg("bars") = py::none(),
      R"(What a timed-bars request for `symbol` resolves with: a list of bars, oldest first,
the last still forming; each a tuple (Timestamp, Open, High, Low, Close, ActualVolume) or a
dict by CQG's bar field names ([] for an empty answer); None for generated bars covering
the requested range.)");

  m.def(
      "push_timed_bar",
      [](const std::string& symbol, py::handle bar, bool wait, std::optional<size_t> request) {
        auto data = ToBar(bar);
        return OnHome(wait, [symbol, data, request](Simulator& s) {
          return PushTimedBar(s, symbol, data, request);
        });
      },
      py::arg("symbol"), py::arg("bar"), py::kw_only(), py::arg("wait") = true,
      py::arg("request") = py::none(),
      R"(Appends a new forming bar to every live timed-bars request of `symbol` (with
`request`: only to the request-th of them) and raises OnTimedBarsAdded for each; returns
how many (None without wait).)");

  m.def(
      "update_timed_bar",
      [](const std::string& symbol, int64_t index, py::handle bar, bool wait,
         std::optional<size_t> request) {
        auto data = ToBar(bar);
        return OnHome(wait, [symbol, index, data, request](Simulator& s) {
          return UpdateTimedBar(s, symbol, index, data, request);
        });
      },
      py::arg("symbol"), py::arg("index"), py::arg("bar"), py::kw_only(), py::arg("wait") = true,
      py::arg("request") = py::none(),
      R"(Rewrites bar `index` (negative: from the newest) of every live timed-bars request
of `symbol`, raising OnTimedBarsUpdated(bars, index); ComError when out of range.)");

  m.def(
      "remove_timed_bar",
      [](const std::string& symbol, int64_t index, bool wait, std::optional<size_t> request) {
        return OnHome(wait, [symbol, index, request](Simulator& s) {
          return RemoveTimedBar(s, symbol, index, request);
        });
      },
      py::arg("symbol"), py::arg("index"), py::kw_only(), py::arg("wait") = true,
      py::arg("request") = py::none(),
      R"(Removes bar `index` of every live timed-bars request of `symbol`, raising
OnTimedBarsRemoved(bars, index); ComError when out of range.)");

  m.def(
      "make_timed_bars",
      [](const std::string& symbol, py::iterable bars) {
        return Handout(MakeTimedBars(symbol, ToBars(bars)));
      },
      py::arg("symbol"), py::arg("bars"),
      R"(A timed-bars collection (not in AllTimedBars) whose Request.Symbol is `symbol`,
holding `bars`: an argument for raise_event("OnTimedBarsResolved", ...) and the like.)");
}

}  // namespace mx::cqgcel::bind
