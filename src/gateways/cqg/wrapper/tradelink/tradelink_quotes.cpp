// TradeLink: instrument look-up, quote subscriptions and the quote path.
//
// The quote path (OnInstrumentChanged) reads the whole event from CQGCEL first, in C++
// and without the GIL, then folds each valid quote into the host's Quote record with as
// few Python calls as the contract allows: the security look-up, the map get and store,
// one dataclasses.replace, process_quote.
#include <exception>
#include <string_view>
#include <vector>

#include "gateways/cqg/wrapper/comhost/trace.h"
#include "gateways/cqg/wrapper/python/sink_py.h"
#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"
#include "gateways/cqg/wrapper/tradelink/cel_names.h"
#include "gateways/cqg/wrapper/tradelink/cel_tables.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/marketdata_support.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"

namespace mx::tradelink {

using comhost::Trace;

namespace {

// Interned names and keyword tuples of the quote path, made once under the GIL.
struct QuoteNames {
  PyObject* cqg_quotes;
  PyObject* exchange;
  PyObject* last_price;
  PyObject* bid_price;
  PyObject* ask_price;
  PyObject* create_kw;      // ("security", "exchange", "datetime")
  PyObject* replace_kw[8];  // per QuoteField: (field, "datetime")

  static const QuoteNames& Get() {
    static const QuoteNames names = [] {
      QuoteNames n{};
      auto intern = [](const char* s) { return PyUnicode_InternFromString(s); };
      n.cqg_quotes = intern("cqg_quotes");
      n.exchange = intern("exchange");
      n.last_price = intern("last_price");
      n.bid_price = intern("bid_price");
      n.ask_price = intern("ask_price");
      n.create_kw = py::make_tuple(py::str(intern("security")), py::str(n.exchange),
                                   py::str(intern("datetime")))
                        .release()
                        .ptr();
      const char* fields[8] = {nullptr,      "last_price", "bid_price", "ask_price",
                               "open_price", "high_price", "low_price", "prev_close_price"};
      for (int i = 1; i < 8; ++i) {
        n.replace_kw[i] =
            py::make_tuple(py::str(intern(fields[i])), py::str(intern("datetime"))).release().ptr();
      }
      return n;
    }();
    return names;
  }
};

// One valid quote of an event, as read from CQGCEL.
struct ReadQuote {
  int64_t type;
  double price;
};

}  // namespace

// What the COM thread reads of one OnInstrumentChanged, before any Python runs: the
// instrument's full name and its valid quotes in order, and the first read that failed
// (raised where it happened: after the quotes read before it are handed over).
struct QuoteEventRead {
  std::string full_name;
  std::vector<ReadQuote> quotes;
  std::exception_ptr error;
};

namespace {

QuoteEventRead ReadQuoteEvent(const Variant& cqgInstrument, const Variant& cqgQuotes) {
  QuoteEventRead event;
  const com::DispatchPtr& instrument = cqgInstrument.Dispatch();
  const com::DispatchPtr& quotes = cqgQuotes.Dispatch();
  bool have_name = false;
  try {
    for (const Variant& item : quotes->Enumerate()) {
      const com::DispatchPtr& quote = item.Dispatch();
      if (!quote->Get("IsValid").ToBool()) continue;
      if (!have_name) {
        event.full_name = instrument->Get("FullName").Text();
        have_name = true;
      }
      event.quotes.push_back(ReadQuote{quote->Get("Type").ToInt(), quote->Get("Price").ToDouble()});
    }
  } catch (...) {
    event.error = std::current_exception();
  }
  return event;
}

// The short symbol: the last dot-separated piece of a full name (all of it without a dot).
std::string_view ShortSymbol(std::string_view full_name) {
  auto dot = full_name.rfind('.');
  return dot == std::string_view::npos ? full_name : full_name.substr(dot + 1);
}

// The short symbol as a Python text; the last one made is kept (quotes of one instrument
// tend to come in runs). GIL held.
py::str ShortSymbolText(const std::string& full_name) {
  static std::string* last_name = new std::string();
  static PyObject* last_text = nullptr;
  if (last_text == nullptr || *last_name != full_name) {
    std::string_view s = ShortSymbol(full_name);
    PyObject* text = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (text == nullptr) throw py::error_already_set();
    Py_XDECREF(last_text);
    last_text = text;
    *last_name = full_name;
  }
  return py::reinterpret_borrow<py::str>(last_text);
}

bool NonZero(PyObject* record, PyObject* name) {
  PyObject* v = PyObject_GetAttr(record, name);
  if (v == nullptr) throw py::error_already_set();
  int truth = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) != 0.0 : PyObject_IsTrue(v);
  Py_DECREF(v);
  if (truth < 0) throw py::error_already_set();
  return truth != 0;
}

}  // namespace

com::DispatchPtr TradeLink::get_instrument_from_cqg_symbol(const std::string& cqg_symbol) {
  const auto& cel = this->cel();
  py::gil_scoped_release release;
  return FindFirstContaining(cel, "Instruments", {"FullName"}, cqg_symbol);
}

void TradeLink::subscribe_quote(const std::string& cqg_symbol) {
  const auto& cel = this->cel();
  eventQuoteDone->Clear();
  {
    py::gil_scoped_release release;
    cel->Call("NewInstrument", {Variant(cqg_symbol)});
  }
  Trace("Waiting for eventQuoteDone in subscribe_quote(" + cqg_symbol + ")...");
  WaitEvent(*eventQuoteDone);  // a time-out is no error: the subscription may come later
  Trace("eventQuoteDone is done.");
}

void TradeLink::unsubscribe_quote(const std::string& cqg_symbol) {
  com::DispatchPtr instrument = get_instrument_from_cqg_symbol(cqg_symbol);
  if (!instrument) return;
  {
    py::gil_scoped_release release;
    cel()->Call("RemoveInstrument", {Variant(instrument)});
  }
  eventQuoteDone->Clear();
  Trace("Successfully unsubscribe quote for " + cqg_symbol);
}

void TradeLink::OnInstrumentResolved(const Variant& symbol, const Variant& cqgInstrument,
                                     const Variant& cqgError) {
  AtComBoundary([&] { HandleInstrumentResolved(symbol, cqgInstrument, cqgError); });
}

void TradeLink::HandleInstrumentResolved(const Variant& /*symbol*/, const Variant& cqgInstrument,
                                         const Variant& cqgError) {
  if (cqgError.IsEmpty()) {
    cqgInstrument.Dispatch()->Put("DataSubscriptionLevel", CelNames::Get().dsQuotesAndBBA);
  }
  if (!eventQuoteDone->IsSet()) eventQuoteDone->Set();
}

void TradeLink::OnInstrumentChanged(const Variant& cqgInstrument, const Variant& cqgQuotes,
                                    const Variant& cqgInstrumentProperties) {
  AtComBoundary(
      [&] { HandleInstrumentChanged(cqgInstrument, cqgQuotes, cqgInstrumentProperties); });
}

void TradeLink::HandleInstrumentChanged(const Variant& cqgInstrument, const Variant& cqgQuotes,
                                        const Variant& /*cqgInstrumentProperties*/) {
  // Read the event first (no GIL), then fold what was read into the host's records.
  QuoteEventRead event = ReadQuoteEvent(cqgInstrument, cqgQuotes);
  if (event.quotes.empty()) {
    if (event.error) std::rethrow_exception(event.error);
    return;
  }
  DeliverQuotes(event);
}

void TradeLink::DeliverQuotes(const QuoteEventRead& event) {
  comhost::py_glue::ComThreadGil gil;
  const auto& names = QuoteNames::Get();
  const auto& host = HostApi::Get();
  py::str symbol = ShortSymbolText(event.full_name);
  py::object cqg_quotes;  // the gateway's map, read once per event
  for (const ReadQuote& q : event.quotes) {
    py::object security = LookupSecurity(symbol);
    if (security.is_none()) continue;
    if (!cqg_quotes) {
      cqg_quotes =
          py::reinterpret_steal<py::object>(PyObject_GetAttr(gateway.ptr(), names.cqg_quotes));
      if (!cqg_quotes) throw py::error_already_set();
    }
    py::object record = MapGet(cqg_quotes, security);
    py::object now;
    if (record.is_none()) {
      py::object exchange =
          py::reinterpret_steal<py::object>(PyObject_GetAttr(security.ptr(), names.exchange));
      if (!exchange) throw py::error_already_set();
      now = NowLocal();
      PyObject* args[3] = {security.ptr(), exchange.ptr(), now.ptr()};
      record = py::reinterpret_steal<py::object>(
          PyObject_Vectorcall(host.Quote.ptr(), args, 0, names.create_kw));
      if (!record) throw py::error_already_set();
    }
    const QuoteTypeEntry* entry = FindQuoteType(q.type);
    if (entry == nullptr) {
      PyErr_SetObject(PyExc_KeyError, py::int_(q.type).ptr());
      throw py::error_already_set();
    }
    if (entry->field != QuoteField::kNone) {
      py::float_ price(q.price);
      if (!now) now = NowLocal();
      PyObject* args[4] = {nullptr, record.ptr(), price.ptr(), now.ptr()};
      record = py::reinterpret_steal<py::object>(
          PyObject_Vectorcall(host.replace.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                              names.replace_kw[static_cast<int>(entry->field)]));
      if (!record) throw py::error_already_set();
    }
    if (PyObject_SetItem(cqg_quotes.ptr(), security.ptr(), record.ptr()) < 0) {
      throw py::error_already_set();
    }
    // A last price just set to a non-zero value needs no read-back.
    bool has_last = (entry->field == QuoteField::kLast && q.price != 0.0) ||
                    NonZero(record.ptr(), names.last_price);
    if (has_last ||
        (NonZero(record.ptr(), names.bid_price) && NonZero(record.ptr(), names.ask_price))) {
      PyObject* result = PyObject_CallOneArg(GatewayMethod(kProcessQuote).ptr(), record.ptr());
      if (result == nullptr) throw py::error_already_set();
      Py_DECREF(result);
    }
  }
  if (event.error) std::rethrow_exception(event.error);
}

}  // namespace mx::tradelink
