// TradeLink: the order book fed by tick requests (subscribe_orderbook, the tick events)
// and TickType2String.
//
// The tick path (OnTicksAdded) reads the new ticks from CQGCEL first, without the GIL,
// then takes it once for the host side of all of them: per tick the security look-up,
// the map read, a new OrderBook or dataclasses.replace, the map write and, with a
// complete first level, process_orderbook. A tick whose Price or Volume is CQG's invalid
// marker is skipped whole (nothing stored, nothing handed over) and counted in one trace
// line per event: an order book never shows the marker as a price or a volume.
#include <array>

#include "gateways/cqg/wrapper/comhost/trace.h"
#include "gateways/cqg/wrapper/python/sink_py.h"
#include "gateways/cqg/wrapper/tradelink/bar_repair.h"
#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"
#include "gateways/cqg/wrapper/tradelink/cel_names.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/marketdata_support.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"
#include "platform/com/python/variant_py.h"

namespace mx::tradelink {

using comhost::Trace;

namespace {

// A new tick as read from CQGCEL.
struct TickRead {
  int64_t price_type;
  com::Variant price, volume;
};

// CQG's mark of a missing value, as an integer or a floating-point number (a bool never).
bool IsInvalidMarker(const com::Variant& v) {
  using T = com::Variant::Type;
  if (v.type() == T::Int32 || v.type() == T::Int64) return v.ToInt() == kInvalidValue;
  return v.type() == T::Double && v.ToDouble() == static_cast<double>(kInvalidValue);
}

// Interned keyword names of the OrderBook fields written here.
struct BookNames {
  PyObject *security, *exchange, *datetime, *bid_price_1, *bid_volume_1, *ask_price_1,
      *ask_volume_1;
  static const BookNames& Get() {
    static const BookNames names = [] {
      auto n = [](const char* s) { return PyUnicode_InternFromString(s); };  // never freed
      return BookNames{n("security"),     n("exchange"),    n("datetime"),    n("bid_price_1"),
                       n("bid_volume_1"), n("ask_price_1"), n("ask_volume_1")};
    }();
    return names;
  }
};

// kwnames tuples for vectorcall (never freed).
PyObject* KwNames(std::initializer_list<PyObject*> names) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
  Py_ssize_t i = 0;
  for (PyObject* n : names) {
    Py_INCREF(n);
    PyTuple_SET_ITEM(t, i++, n);
  }
  return t;
}

py::object Call(PyObject* callable, PyObject* const* args, size_t positional, PyObject* kwnames) {
  PyObject* r = PyObject_Vectorcall(callable, args, positional, kwnames);
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

bool NonZero(PyObject* record, PyObject* name) {
  py::object v = py::reinterpret_steal<py::object>(PyObject_GetAttr(record, name));
  if (!v) throw py::error_already_set();
  int truth = PyObject_IsTrue(v.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

}  // namespace

void TradeLink::subscribe_orderbook(const std::string& cqg_symbol) {
  const auto& cel = this->cel();
  const auto& names = CelNames::Get();
  com::DispatchPtr request;
  std::string limit;
  {
    py::gil_scoped_release release;
    // Create, set and read back in one round trip to the COM thread.
    com::RunInHome(cel, [&](const com::DispatchPtr& here) {
      auto r = here->Call("CreateTicksRequest").Dispatch();
      r->Put("Symbol", Variant(cqg_symbol));
      r->Put("Type", Variant(names.trtCurrentNotify));
      r->Put("TickFilter", Variant(names.tfAll));
      r->Put("SessionsFilter", Variant(int32_t{31}));
      r->Put("Limit", Variant(int32_t{10}));
      limit = r->Get("Limit").ToString();
      request = r;
    });
    request = BindLike(cel, std::move(request));
  }
  Trace("Limit: " + limit);
  eventOrderbookDone->Clear();
  {
    py::gil_scoped_release release;
    cel->Call("RequestTicks", {Variant(request)});
  }
  Trace("Waiting for eventOrderbookDone in subscribe_orderbook(" + cqg_symbol + ")...");
  WaitEvent(*eventOrderbookDone);  // a time-out is not an error here
  Trace("eventOrderbookDone is done.");
}

void TradeLink::unsubscribe_orderbook(const std::string& cqg_symbol) {
  com::DispatchPtr ticks = get_ticks_from_cqg_symbol(cqg_symbol);
  if (!ticks) return;
  {
    py::gil_scoped_release release;
    cel()->Call("RemoveTicks", {Variant(ticks)});
  }
  eventOrderbookDone->Clear();
  Trace("Successfully unsubscribe orderbook for " + cqg_symbol);
}

com::DispatchPtr TradeLink::get_ticks_from_cqg_symbol(const std::string& cqg_symbol) {
  const auto& cel = this->cel();
  py::gil_scoped_release release;
  return FindFirstContaining(cel, "AllTicks", {"Request", "Symbol"}, cqg_symbol);
}

void TradeLink::OnTicksResolved(const Variant& cqgTicks, const Variant& cqgError) {
  AtComBoundary([&] { HandleTicksResolved(cqgTicks, cqgError); });
}

void TradeLink::HandleTicksResolved(const Variant&, const Variant&) {
  // A failed request ends the wait as a resolved one does.
  if (!eventOrderbookDone->IsSet()) eventOrderbookDone->Set();
}

void TradeLink::OnTicksAdded(const Variant& cqgTicks, const Variant& addedTicksCount) {
  AtComBoundary([&] { HandleTicksAdded(cqgTicks, addedTicksCount); });
}

void TradeLink::HandleTicksAdded(const Variant& cqgTicks, const Variant& addedTicksCount) {
  // CQGCEL's side first, without the GIL: the symbol and the newly appended ticks.
  const com::DispatchPtr& ticks = cqgTicks.Dispatch();
  int64_t count = ticks->Count();
  int64_t first = count - addedTicksCount.ToInt();
  if (first < 0) first = 0;
  if (first >= count) return;
  std::string symbol = ticks->Get("Request").Dispatch()->Get("Symbol").Text();
  std::vector<TickRead> added;
  added.reserve(static_cast<size_t>(count - first));
  for (int64_t i = first; i < count; ++i) {
    auto tick = ticks->Call("Item", {Variant(i)}).Dispatch();
    added.push_back(
        TickRead{tick->Get("PriceType").ToInt(), tick->Get("Price"), tick->Get("Volume")});
  }

  comhost::py_glue::ComThreadGil gil;
  const auto& n = BookNames::Get();
  const auto& host = HostApi::Get();
  static PyObject* const kNewBook = KwNames({n.security, n.exchange, n.datetime});
  static PyObject* const kAsk = KwNames({n.ask_volume_1, n.ask_price_1, n.datetime});
  static PyObject* const kBid = KwNames({n.bid_volume_1, n.bid_price_1, n.datetime});
  py::object books = gateway.attr("cqg_orderbooks");
  py::handle process = GatewayMethod(kProcessOrderbook);
  py::str symbol_text(symbol);  // made once for every tick's look-up
  size_t ignored = 0;
  size_t invalid = 0;
  for (const TickRead& tick : added) {
    if (IsInvalidMarker(tick.price) || IsInvalidMarker(tick.volume)) {
      ++invalid;
      continue;
    }
    py::object security = LookupSecurity(symbol_text);
    if (security.is_none()) {
      ++ignored;  // no record under an absent key
      continue;
    }
    py::object book = MapGet(books, security);
    if (book.is_none()) {
      py::object exchange = security.attr(n.exchange);
      py::object now = NowLocal();
      std::array<PyObject*, 3> args{security.ptr(), exchange.ptr(), now.ptr()};
      book = Call(host.OrderBook.ptr(), args.data(), 0, kNewBook);
    }
    std::string_view name = TickType2String(tick.price_type);
    bool ask = name == "Ask price";
    if (ask || name == "Bid price") {
      py::object volume = com::py_glue::ToPython(tick.volume);
      py::object price = com::py_glue::ToPython(tick.price);
      py::object now = NowLocal();
      std::array<PyObject*, 4> args{book.ptr(), volume.ptr(), price.ptr(), now.ptr()};
      book = Call(host.replace.ptr(), args.data(), 1, ask ? kAsk : kBid);
    }
    MapSet(books, security, book);
    if (NonZero(book.ptr(), n.bid_price_1) && NonZero(book.ptr(), n.ask_price_1) &&
        NonZero(book.ptr(), n.bid_volume_1) && NonZero(book.ptr(), n.ask_volume_1)) {
      PyObject* r = PyObject_CallOneArg(process.ptr(), book.ptr());
      if (r == nullptr) throw py::error_already_set();
      Py_DECREF(r);
    }
  }
  if (ignored > 0) {
    Trace("OnTicksAdded: no security for " + symbol + ", " + std::to_string(ignored) +
          " tick(s) ignored");
  }
  if (invalid > 0) {
    Trace("OnTicksAdded: " + symbol + ": " + std::to_string(invalid) +
          " tick(s) with an invalid price or volume skipped");
  }
}

void TradeLink::OnTicksRemoved(const Variant&, const Variant&) {}
void TradeLink::HandleTicksRemoved(const Variant&, const Variant&) {}

}  // namespace mx::tradelink
