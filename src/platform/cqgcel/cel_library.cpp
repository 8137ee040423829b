#include "platform/cqgcel/cel_library.h"

#include <mutex>

#include "platform/com/com.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

const com::EventInterface& CelEvents() {
  static const com::EventInterface events({
#define CEL_EVENT0(name) #name,
#define CEL_EVENT1(name, a) #name,
#define CEL_EVENT2(name, a, b) #name,
#define CEL_EVENT3(name, a, b, c) #name,
#define CEL_EVENT5(name, a, b, c, d, e) #name,
#include "platform/cqgcel/cel_events.def"
  });
  return events;
}

int EventArity(int dispid) {
  static const int arity[] = {
      0,
#define CEL_EVENT0(name) 0,
#define CEL_EVENT1(name, a) 1,
#define CEL_EVENT2(name, a, b) 2,
#define CEL_EVENT3(name, a, b, c) 3,
#define CEL_EVENT5(name, a, b, c, d, e) 5,
#include "platform/cqgcel/cel_events.def"
  };
  return (dispid >= 1 && dispid <= kEventCount) ? arity[dispid] : -1;
}

const std::shared_ptr<const com::TypeLibrary>& CelTypeLibrary() {
  static const std::shared_ptr<const com::TypeLibrary> library =
      std::make_shared<com::TypeLibrary>(std::string(kLibraryId), kLibraryMajor, kLibraryMinor,
                                         com::TypeLibrary::Constants{
#define CEL_CONSTANT(name, value) {#name, value},
#include "platform/cqgcel/cel_constants.def"
                                         });
  return library;
}

int32_t Constant(std::string_view name) { return CelTypeLibrary()->Constant(name); }

void Register() {
  static std::once_flag once;
  std::call_once(once, [] {
    com::RegisterTypeLibrary(CelTypeLibrary());
    com::RegisterClassObject(std::string(kProgId), [] { return Simulator::Create(); });
  });
}

}  // namespace mx::cqgcel
