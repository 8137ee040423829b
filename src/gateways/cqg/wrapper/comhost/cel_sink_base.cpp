#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"

#include <cxxabi.h>

#include <stdexcept>
#include <string>

#include "gateways/cqg/wrapper/comhost/trace.h"
#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::comhost {

using cqgcel::EventId;

void CELSinkBase::OnEvent(int dispid, std::string_view name, com::Args args) {
  try {
    Deliver(dispid, args);
  } catch (const std::exception& e) {
    Trace("Exception in " + std::string(name) + ": " + e.what());
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind
  } catch (...) {
    Trace("Exception in " + std::string(name) + ": unknown error");
  }
}

void CELSinkBase::Deliver(int dispid, com::Args args) {
  int arity = cqgcel::EventArity(dispid);
  if (arity < 0) throw std::invalid_argument("unknown event id " + std::to_string(dispid));
  if (static_cast<int>(args.size()) != arity) {
    throw std::invalid_argument(cqgcel::CelEvents().Name(dispid) + " takes " +
                                std::to_string(arity) + " arguments, " +
                                std::to_string(args.size()) + " given");
  }
  switch (static_cast<EventId>(dispid)) {
#define CEL_EVENT0(name) \
  case EventId::name:    \
    name();              \
    return;
#define CEL_EVENT1(name, a) \
  case EventId::name:       \
    name(args[0]);          \
    return;
#define CEL_EVENT2(name, a, b) \
  case EventId::name:          \
    name(args[0], args[1]);    \
    return;
#define CEL_EVENT3(name, a, b, c)    \
  case EventId::name:                \
    name(args[0], args[1], args[2]); \
    return;
#define CEL_EVENT5(name, a, b, c, d, e)                \
  case EventId::name:                                  \
    name(args[0], args[1], args[2], args[3], args[4]); \
    return;
#include "platform/cqgcel/interface/cel_events.def"
    default:
      return;
  }
}

}  // namespace mx::comhost
