#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::cqgcel {

const com::EventInterface& CelEvents() {
  static const com::EventInterface events(std::vector<std::string>{
#define CEL_EVENT0(name) #name,
#define CEL_EVENT1(name, a) #name,
#define CEL_EVENT2(name, a, b) #name,
#define CEL_EVENT3(name, a, b, c) #name,
#define CEL_EVENT5(name, a, b, c, d, e) #name,
#include "platform/cqgcel/interface/cel_events.def"
  });
  return events;
}

int EventArity(int index) {
  static const int arity[] = {
      0,
#define CEL_EVENT0(name) 0,
#define CEL_EVENT1(name, a) 1,
#define CEL_EVENT2(name, a, b) 2,
#define CEL_EVENT3(name, a, b, c) 3,
#define CEL_EVENT5(name, a, b, c, d, e) 5,
#include "platform/cqgcel/interface/cel_events.def"
  };
  return (index >= 1 && index <= kEventCount) ? arity[index] : -1;
}

std::span<const std::string_view> ConstantNames() {
  static constexpr std::string_view names[] = {
#define CEL_CONSTANT(name, seed) #name,
#include "platform/cqgcel/interface/cel_constants.def"
  };
  return names;
}

}  // namespace mx::cqgcel
