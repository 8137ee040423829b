// TradeLink's instruments and quotes, and QuoteType2String.
#include "gateways/cqg/wrapper/python/bind_tradelink.h"
#include "gateways/cqg/wrapper/tradelink/cel_tables.h"

namespace mx::tradelink::bind {

void init_tradelink_quotes(py::module_& m, TradeLinkClass& cls) {
  m.def(
      "QuoteType2String",
      [](py::handle quoteType) {
        const QuoteTypeEntry* entry = nullptr;
        if (PyLong_Check(quoteType.ptr())) {
          int overflow = 0;
          long long v = PyLong_AsLongLongAndOverflow(quoteType.ptr(), &overflow);
          if (overflow == 0) entry = FindQuoteType(v);
        }
        if (entry == nullptr) {
          PyErr_SetObject(PyExc_KeyError, quoteType.ptr());
          throw py::error_already_set();
        }
        return py::str(entry->name);
      },
      py::arg("quoteType"),
      R"(The name of a CQG quote type ("Best bid", ...); KeyError outside the table.)");

  cls.def(
         "get_instrument_from_cqg_symbol",
         [](TradeLink& t, py::handle cqg_symbol) {
           return DispatchOrNone(
               t.get_instrument_from_cqg_symbol(TextArg(cqg_symbol, "cqg_symbol")));
         },
         py::arg("cqg_symbol"),
         R"(The first subscribed instrument whose FullName contains cqg_symbol, or None.)")
      .def(
          "subscribe_quote",
          [](TradeLink& t, py::handle cqg_symbol) {
            t.subscribe_quote(TextArg(cqg_symbol, "cqg_symbol"));
          },
          py::arg("cqg_symbol"),
          R"(NewInstrument and wait (at most TIMEOUT) for its resolution; never fails on time-out.)")
      .def(
          "unsubscribe_quote",
          [](TradeLink& t, py::handle cqg_symbol) {
            t.unsubscribe_quote(TextArg(cqg_symbol, "cqg_symbol"));
          },
          py::arg("cqg_symbol"), R"(RemoveInstrument when the symbol is subscribed.)");
}

}  // namespace mx::tradelink::bind
