// CELSinkBase: the base of every CQGCEL event sink, one do-nothing operation per event.
//
// The 104 operations come from cel_events.def, under exactly the event names, each taking
// its parameters as Variants. A sink derives and overrides what it needs. Events arrive
// through OnEvent (the connection point's call), which is the delivery boundary: an error
// that escapes the sink's operation is written as one trace line
// "Exception in <event>: <error text>" and goes no further, so the pump and the other
// sinks carry on. A wrong argument count is such an error.
//
// Deliver() maps an event to its operation; a Python trampoline overrides it to route the
// events a Python subclass overrides (and only those) to Python.
//
// Thread-safety: events are delivered on the COM thread, one at a time.
#pragma once

#include <string_view>

#include "platform/com/events.h"
#include "platform/com/variant.h"

namespace mx::comhost {

using com::Variant;

class CELSinkBase : public com::IEventSink {
 public:
  ~CELSinkBase() override = default;

  void OnEvent(int dispid, std::string_view name, com::Args args) final;

#define CEL_EVENT0(name) \
  virtual void name() {}
#define CEL_EVENT1(name, a) \
  virtual void name(const Variant& /*a*/) {}
#define CEL_EVENT2(name, a, b) \
  virtual void name(const Variant& /*a*/, const Variant& /*b*/) {}
#define CEL_EVENT3(name, a, b, c) \
  virtual void name(const Variant& /*a*/, const Variant& /*b*/, const Variant& /*c*/) {}
#define CEL_EVENT5(name, a, b, c, d, e)                                               \
  virtual void name(const Variant& /*a*/, const Variant& /*b*/, const Variant& /*c*/, \
                    const Variant& /*d*/, const Variant& /*e*/) {}
#include "platform/cqgcel/interface/cel_events.def"

 protected:
  // Calls the operation of event `dispid` with `args`; std::invalid_argument for an
  // unknown id or a wrong argument count.
  virtual void Deliver(int dispid, com::Args args);
};

}  // namespace mx::comhost
