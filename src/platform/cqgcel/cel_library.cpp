#include "platform/cqgcel/cel_library.h"

#include <cstdlib>
#include <mutex>

#include "platform/com/com.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

const std::shared_ptr<const com::EventInterface>& SimulatorEvents() {
  static const auto events = [] {
    std::vector<com::EventInterface::Member> members;
    for (const auto& [name, index] : CelEvents().members()) {
      members.emplace_back(name, DispIdOf(index));
    }
    return std::make_shared<const com::EventInterface>(com::EventInterface::WithIds{},
                                                       std::move(members));
  }();
  return events;
}

const std::shared_ptr<const com::TypeLibrary>& CelTypeLibrary() {
  static const std::shared_ptr<const com::TypeLibrary> library = [] {
    com::TypeLibrary::Constants constants{
#define CEL_CONSTANT(name, seed) {#name, ValueOfSeed(seed)},
#include "platform/cqgcel/interface/cel_constants.def"
    };
    // MX_CQGCEL_DROP_CONSTANT=<name> plays a server of another version whose library
    // lacks that constant (what a host must refuse by name).
    if (const char* drop = std::getenv("MX_CQGCEL_DROP_CONSTANT"); drop != nullptr) {
      std::erase_if(constants, [drop](const auto& c) { return c.first == drop; });
    }
    return std::make_shared<com::TypeLibrary>(std::string(kLibraryId), kLibraryMajor, kLibraryMinor,
                                              std::move(constants));
  }();
  return library;
}

const std::shared_ptr<const com::TypeInfo>& SimulatorTypeInfo() {
  static const auto info =
      std::make_shared<const com::TypeInfo>("CQGCEL", CelTypeLibrary(), SimulatorEvents());
  return info;
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

#ifndef _WIN32
extern "C" __attribute__((visibility("default"))) void mx_com_register_server() {
  mx::cqgcel::Register();
}

extern "C" __attribute__((visibility("default"))) void mx_com_register_type_libraries() {
  mx::com::RegisterTypeLibrary(mx::cqgcel::CelTypeLibrary());
}
#endif
