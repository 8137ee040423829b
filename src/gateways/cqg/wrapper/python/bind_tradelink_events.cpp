// The events TradeLink handles, bound for calls from Python in one place and one way
// (DefEvent), and the import-time check that no other binding of an event exists.
#include <set>
#include <stdexcept>
#include <string>

#include "gateways/cqg/wrapper/python/bind_tradelink.h"
#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::tradelink::bind {

namespace {

std::set<std::string>& BoundThroughDefEvent() {
  static auto* names = new std::set<std::string>();  // module init only (GIL held)
  return *names;
}

}  // namespace

void NoteEventBinding(const char* name) { BoundThroughDefEvent().insert(name); }

void init_tradelink_events(TradeLinkClass& cls) {
  using T = TradeLink;
  // Session.
  DefEvent(cls, "OnGWConnectionStatusChanged", &T::HandleGWConnectionStatusChanged,
           py::arg("connectionStatus"));
  DefEvent(cls, "OnDataConnectionStatusChanged", &T::HandleDataConnectionStatusChanged,
           py::arg("newStatus"));
  DefEvent(cls, "OnDataError", &T::HandleDataError, py::arg("cqgError"),
           py::arg("errorDescription"));
  // Instruments and quotes.
  DefEvent(cls, "OnInstrumentResolved", &T::HandleInstrumentResolved, py::arg("symbol"),
           py::arg("cqgInstrument"), py::arg("cqgError"));
  DefEvent(cls, "OnInstrumentChanged", &T::HandleInstrumentChanged, py::arg("cqgInstrument"),
           py::arg("cqgQuotes"), py::arg("cqgInstrumentProperties"));
  // Account.
  DefEvent(cls, "OnAccountChanged", &T::HandleAccountChanged, py::arg("change"),
           py::arg("cqgAccount"), py::arg("cqgPosition"));
  // Orders.
  DefEvent(cls, "OnOrderChanged", &T::HandleOrderChanged, py::arg("changeType"),
           py::arg("cqgOrder"), py::arg("oldProperties"), py::arg("cqgFill"), py::arg("cqgError"));
  // Order book.
  DefEvent(cls, "OnTicksResolved", &T::HandleTicksResolved, py::arg("cqgTicks"),
           py::arg("cqgError"));
  DefEvent(cls, "OnTicksAdded", &T::HandleTicksAdded, py::arg("cqgTicks"),
           py::arg("addedTicksCount"));
  DefEvent(cls, "OnTicksRemoved", &T::HandleTicksRemoved, py::arg("cqgTicks"),
           py::arg("removedTickIndex"));
  // Timed bars.
  DefEvent(cls, "OnTimedBarsResolved", &T::HandleTimedBarsResolved, py::arg("cqgTimedBars"),
           py::arg("cqgError"));
  DefEvent(cls, "OnTimedBarsAdded", &T::HandleTimedBarsAdded, py::arg("cqgTimedBars"));
  DefEvent(cls, "OnTimedBarsUpdated", &T::HandleTimedBarsUpdated, py::arg("cqgTimedBars"),
           py::arg("index"));
  DefEvent(cls, "OnTimedBarsRemoved", &T::HandleTimedBarsRemoved, py::arg("cqgTimedBars"),
           py::arg("index"));
}

void CheckEventBindings(TradeLinkClass& cls) {
  const auto& events = cqgcel::CelEvents();
  py::dict own = cls.attr("__dict__");
  for (int id = 1; id <= events.size(); ++id) {
    const std::string& name = events.Name(id);
    if (own.contains(name) && BoundThroughDefEvent().count(name) == 0) {
      throw std::logic_error("TradeLink." + name + " is bound outside DefEvent");
    }
  }
}

}  // namespace mx::tradelink::bind
