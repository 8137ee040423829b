// Binding areas of the tradelink module, and the argument checks they share.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>

#include "gateways/cqg/wrapper/python/sink_py.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"
#include "platform/com/apartment.h"
#include "platform/com/python/variant_py.h"  // Variant arguments and results

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

// Every event TradeLink handles is bound for calls from Python (a subclass's super(), a
// direct call) through DefEvent, and only there: init_tradelink_events lists them all, and
// CheckEventBindings fails the import when any other binding of an event exists.
//
// How a bound event runs: on the COM thread (a Python override calling super()) the body
// runs as it is: the objects are the COM thread's own, nothing waits, and the interpreter
// lock that the COM thread holds across a run of deliveries must not be released
// underneath it (its Python part would then run without the lock). On any other thread
// the lock is released first, since reading marshalled objects waits for the COM thread.
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

// Remembers that `name` was bound through DefEvent (for CheckEventBindings).
void NoteEventBinding(const char* name);

template <class... A, class... Extra>
void DefEvent(TradeLinkClass& cls, const char* name, void (TradeLink::*body)(const A&...),
              const Extra&... extra) {
  static_assert(sizeof...(A) == sizeof...(Extra), "name every parameter of the event");
  cls.def(name, EventBody(body), extra...);
  NoteEventBinding(name);
}

// The fourteen events TradeLink handles (bind_tradelink_events.cpp).
void init_tradelink_events(TradeLinkClass& cls);
// Throws std::logic_error naming any event that TradeLink's class binds outside DefEvent.
void CheckEventBindings(TradeLinkClass& cls);

}  // namespace mx::tradelink::bind
