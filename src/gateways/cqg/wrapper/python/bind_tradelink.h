// Binding areas of the tradelink module, and the argument checks they share.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>

#include "gateways/cqg/wrapper/python/sink_py.h"
#include "gateways/cqg/wrapper/python/variant_py.h"  // Variant arguments and results
#include "gateways/cqg/wrapper/tradelink/trade_link.h"
#include "platform/com/apartment.h"

namespace mx::tradelink::bind {

namespace py = pybind11;

using TradeLinkClass = py::class_<TradeLink, comhost::py_glue::PySink<TradeLink>,
                                  std::shared_ptr<TradeLink>, comhost::CELSinkBase>;

void init_tradelink_session(py::module_& m, TradeLinkClass& cls);     // state, Init, Logon, ...
void init_tradelink_quotes(py::module_& m, TradeLinkClass& cls);      // instruments, quotes
void init_tradelink_account(py::module_& m, TradeLinkClass& cls);     // account, positions
void init_tradelink_orders(py::module_& m, TradeLinkClass& cls);      // orders, statuses
void init_tradelink_marketdata(py::module_& m, TradeLinkClass& cls);  // order book, bars

// `value` as text; TypeError "<name> must be str, not <type>" otherwise.
std::string TextArg(py::handle value, const char* name);
// `value` as an integer (any number is converted, as int() does); TypeError
// "<name> must be an integer, not <type>" for anything else.
int64_t IntArg(py::handle value, const char* name);
// A dispatch object (or null) as Python: Dispatch or None.
py::object DispatchOrNone(const com::DispatchPtr& object);

// Whether the calling thread runs an apartment (the COM thread).
bool OnComThread();

// Binds an event body (TradeLink::Handle...) for calls from Python. On the COM thread (a
// Python subclass calling super()) the body runs as it is: the objects are the COM
// thread's own and nothing waits, and the COM thread's lazily held GIL must not be
// released underneath it. On any other thread the GIL is released first, since reading
// marshalled objects waits for the COM thread.
template <class... A>
auto EventBody(void (TradeLink::*body)(const A&...)) {
  return [body](TradeLink& self, const A&... args) {
    if (OnComThread()) {
      (self.*body)(args...);
      return;
    }
    py::gil_scoped_release release;
    (self.*body)(args...);
  };
}

}  // namespace mx::tradelink::bind
