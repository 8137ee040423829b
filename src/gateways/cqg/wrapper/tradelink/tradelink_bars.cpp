// TradeLink: timed bars (subscribe_bar, unsubscribe_bar, the timed-bar events, dumpBar).
//
// The events read CQGCEL's bars first, without the GIL; the host's Bar records are built
// under the GIL, outside the bars lock; the map and its lists are read and changed under
// the bars lock only (see BarsLock).
#include <array>
#include <vector>

#include "gateways/cqg/wrapper/comhost/trace.h"
#include "gateways/cqg/wrapper/python/sink_py.h"
#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"
#include "gateways/cqg/wrapper/tradelink/cel_names.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/marketdata_support.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"
#include "platform/com/python/variant_py.h"

namespace mx::tradelink {

using comhost::Trace;

namespace {

// One CQG bar as read from CQGCEL.
struct BarRead {
  Variant timestamp, open, high, low, close, volume;
};

BarRead ReadBar(const com::DispatchPtr& bars, int64_t index) {
  auto bar = bars->Call("Item", {Variant(index)}).Dispatch();
  return BarRead{bar->Get("Timestamp"), bar->Get("Open"),  bar->Get("High"),
                 bar->Get("Low"),       bar->Get("Close"), bar->Get("ActualVolume")};
}

std::string RequestSymbol(const com::DispatchPtr& bars) {
  return bars->Get("Request").Dispatch()->Get("Symbol").Text();
}

// A host Bar from a CQG bar: the time cut to whole seconds, the values as they came.
py::object MakeBar(const BarRead& b, py::handle security) {
  static PyObject* const kwnames = [] {
    const char* names[] = {"datetime", "security", "open", "high", "low", "close", "volume"};
    PyObject* t = PyTuple_New(7);
    for (Py_ssize_t i = 0; i < 7; ++i) PyTuple_SET_ITEM(t, i, PyUnicode_InternFromString(names[i]));
    return t;  // never freed
  }();
  using com::py_glue::ToPython;
  py::object values[] = {ToNaiveSecond(b.timestamp, "Timestamp"),
                         py::reinterpret_borrow<py::object>(security),
                         ToPython(b.open),
                         ToPython(b.high),
                         ToPython(b.low),
                         ToPython(b.close),
                         ToPython(b.volume)};
  std::array<PyObject*, 7> args{};
  for (size_t i = 0; i < args.size(); ++i) args[i] = values[i].ptr();
  PyObject* bar = PyObject_Vectorcall(HostApi::Get().Bar.ptr(), args.data(), 0, kwnames);
  if (bar == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bar);
}

bool IsFilled(py::handle sequence) {
  if (sequence.is_none()) return false;
  Py_ssize_t n = PyObject_Length(sequence.ptr());
  if (n < 0) throw py::error_already_set();
  return n > 0;
}

// Drops the oldest bar and appends `bar`. For a list both steps run with no Python code
// in between (the dropped bar is released afterwards), so no reader sees half a shift.
void ShiftIn(py::handle sequence, py::handle bar) {
  if (PyList_CheckExact(sequence.ptr())) {
    py::object oldest = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(sequence.ptr(), 0));
    if (PyList_SetSlice(sequence.ptr(), 0, 1, nullptr) < 0 ||
        PyList_Append(sequence.ptr(), bar.ptr()) < 0) {
      throw py::error_already_set();
    }
    return;
  }
  if (PySequence_DelItem(sequence.ptr(), 0) < 0) throw py::error_already_set();
  sequence.attr("append")(bar);
}

}  // namespace

void TradeLink::subscribe_bar(const std::string& cqg_symbol, int64_t lookback_period,
                              const std::string& freq) {
  if (freq != "1Day" && freq != "1Min") {
    Raise(PyExc_ValueError,
          "Parameter freq=" + freq + " is Not supported. Only ('1Day', '1Min') are allowed.");
  }
  if (lookback_period < 0 || lookback_period > kMaxLookbackPeriod) {
    Raise(PyExc_ValueError, "lookback_period must be from 0 to " +
                                std::to_string(kMaxLookbackPeriod) + ", not " +
                                std::to_string(lookback_period));
  }
  const auto& cel = this->cel();
  const auto& names = CelNames::Get();
  Trace("Create " + freq + " timed bars request for " + cqg_symbol);
  com::DispatchPtr request;
  {
    py::gil_scoped_release release;
    // Create and set in one round trip to the COM thread.
    com::RunInHome(cel, [&](const com::DispatchPtr& here) {
      auto r = here->Call("CreateTimedBarsRequest").Dispatch();
      r->Put("Symbol", Variant(cqg_symbol));
      r->Put("RangeStart", Variant(int32_t{0}));
      r->Put("RangeEnd", Variant(static_cast<int32_t>(-lookback_period - 1)));
      if (freq == "1Day") {
        r->Put("HistoricalPeriod", Variant(names.hpDaily));
      } else {
        r->Put("IntradayPeriod", Variant(names.pfds1Min));
      }
      r->Put("DailyBarClose", Variant(names.dbcLastQuoteOrSettlement));
      r->Put("UpdatesEnabled", Variant(true));
      r->Call("IncludeOutput", {Variant(names.tbrContractVolume), Variant(true)});
      r->Call("IncludeOutput", {Variant(names.tbrCommodityVolume), Variant(true)});
      r->Put("SessionsFilter", Variant("all"));
      request = r;
    });
    request = BindLike(cel, std::move(request));
  }
  eventBarDone->Clear();
  {
    py::gil_scoped_release release;
    cel->Call("RequestTimedBars", {Variant(request)});
  }
  Trace("Waiting for eventBarDone in subscribe_bar(" + cqg_symbol + ")...");
  WaitEvent(*eventBarDone);  // on a time-out the call goes on as on success
  Trace("eventBarDone is done.");
}

void TradeLink::unsubscribe_bar(const std::string& cqg_symbol) {
  com::DispatchPtr bars = get_timedbars_from_cqg_symbol(cqg_symbol);
  if (!bars) return;
  {
    py::gil_scoped_release release;
    cel()->Call("RemoveTimedBars", {Variant(bars)});
  }
  py::object security = LookupSecurity(std::string_view(cqg_symbol));
  eventBarDone->Clear();
  {
    BarsLock lock(bars_mu_);
    if (PyDict_DelItem(subscribe_bars_data.ptr(), security.ptr()) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
      PyErr_Clear();  // no entry is no error
    }
  }
  Trace("Successfully unsubscribe timedbar for " + cqg_symbol);
}

com::DispatchPtr TradeLink::get_timedbars_from_cqg_symbol(const std::string& cqg_symbol) {
  const auto& cel = this->cel();
  py::gil_scoped_release release;
  return FindFirstContaining(cel, "AllTimedBars", {"Request", "Symbol"}, cqg_symbol);
}

void TradeLink::OnTimedBarsResolved(const Variant& cqgTimedBars, const Variant& cqgError) {
  AtComBoundary([&] { HandleTimedBarsResolved(cqgTimedBars, cqgError); });
}

void TradeLink::HandleTimedBarsResolved(const Variant& cqgTimedBars, const Variant& cqgError) {
  struct SignalDone {
    com::ManualResetEvent& event;
    ~SignalDone() {
      if (!event.IsSet()) event.Set();
    }
  } done{*eventBarDone};
  if (!cqgError.IsEmpty()) return;
  const com::DispatchPtr& bars = cqgTimedBars.Dispatch();
  int64_t count = bars->Count();
  if (count == 0) return;
  std::string symbol = RequestSymbol(bars);
  // Every bar but the last, which is still forming, oldest first.
  std::vector<BarRead> completed;
  completed.reserve(static_cast<size_t>(count - 1));
  for (int64_t i = 0; i + 1 < count; ++i) completed.push_back(ReadBar(bars, i));

  comhost::py_glue::ComThreadGil gil;
  py::object security = LookupSecurity(std::string_view(symbol));
  if (security.is_none()) {
    Trace("OnTimedBarsResolved: no security for " + symbol + ", bars ignored");
    return;
  }
  {
    BarsLock lock(bars_mu_);
    if (IsFilled(MapGet(subscribe_bars_data, security))) return;
  }
  py::list sequence(completed.size());
  for (size_t i = 0; i < completed.size(); ++i) {
    sequence[i] = MakeBar(completed[i], security);
  }
  BarsLock lock(bars_mu_);
  // Published whole: a reader sees no entry, or every bar. An answer that filled the
  // entry meanwhile stays.
  if (!IsFilled(MapGet(subscribe_bars_data, security))) {
    MapSet(subscribe_bars_data, security, sequence);
  }
}

void TradeLink::OnTimedBarsAdded(const Variant& cqgTimedBars) {
  AtComBoundary([&] { HandleTimedBarsAdded(cqgTimedBars); });
}

void TradeLink::HandleTimedBarsAdded(const Variant& cqgTimedBars) {
  const com::DispatchPtr& bars = cqgTimedBars.Dispatch();
  int64_t count = bars->Count();
  if (count < 2) return;
  std::string symbol = RequestSymbol(bars);
  BarRead completed = ReadBar(bars, count - 2);  // completed by the start of the newest

  comhost::py_glue::ComThreadGil gil;
  py::object security = LookupSecurity(std::string_view(symbol));
  if (security.is_none()) {
    Trace("OnTimedBarsAdded: no security for " + symbol + ", bar ignored");
    return;
  }
  py::object bar = MakeBar(completed, security);
  static PyObject* const datetime_name = PyUnicode_InternFromString("datetime");
  BarsLock lock(bars_mu_);
  py::object sequence = MapGet(subscribe_bars_data, security);
  if (sequence.is_none()) {
    int held = PyDict_Contains(subscribe_bars_data.ptr(), security.ptr());
    if (held < 0) throw py::error_already_set();
    if (held == 0) {
      PyErr_SetObject(PyExc_KeyError, security.ptr());
      throw py::error_already_set();
    }
    Raise(PyExc_RuntimeError, "We should have initiated data in OnTimedBarsResolved first!");
  }
  py::object last = sequence[py::int_(-1)];  // IndexError for an empty sequence
  py::object newest = last.attr(datetime_name);
  py::object time = bar.attr(datetime_name);
  int later = PyObject_RichCompareBool(time.ptr(), newest.ptr(), Py_GT);
  if (later < 0) throw py::error_already_set();
  if (!later) return;
  comhost::WriteLine("[2] OnTimedBarsAdded: " + std::string(py::str(bar)));
  ShiftIn(sequence, bar);
}

void TradeLink::OnTimedBarsUpdated(const Variant&, const Variant&) {}
void TradeLink::HandleTimedBarsUpdated(const Variant&, const Variant&) {}
void TradeLink::OnTimedBarsRemoved(const Variant&, const Variant&) {}
void TradeLink::HandleTimedBarsRemoved(const Variant&, const Variant&) {}

void TradeLink::dumpBar(const Variant& bar, const Variant& index) {
  std::string line;
  {
    py::gil_scoped_release release;
    const com::DispatchPtr& b = bar.Dispatch();
    line = "Bar index: " + index.ToString();
    for (const char* field :
         {"Timestamp", "Open", "High", "Low", "Close", "ActualVolumeFractional",
          "CommodityVolumeFractional", "ContractVolumeFractional", "TickVolume"}) {
      line += std::string(" ") + field + " " + b->Get(field).ToString();
    }
  }
  Trace(line);
}

}  // namespace mx::tradelink
