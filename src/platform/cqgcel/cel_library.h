// What identifies CQGCEL to a host: its ProgID, its type library (id, version and
// constants) and its outgoing event interface (the 104 events, cel_events.def).
//
// Register() puts the simulator under the ProgID and its type library in the registry;
// a host that wants CQGCEL calls it once (a real Windows backend would register here
// instead). Thread-safety: everything here may be called from any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/com/events.h"
#include "platform/com/type_library.h"

namespace mx::cqgcel {

inline constexpr std::string_view kProgId = "CQG.CQGCEL.4";
inline constexpr std::string_view kLibraryId = "{51F35562-AEB4-4AB3-99E8-AC9666344B64}";
inline constexpr int kLibraryMajor = 4;
inline constexpr int kLibraryMinor = 0;

// Dispatch ids of the events: the position in cel_events.def, from 1.
enum class EventId : int {
  kNone = 0,
#define CEL_EVENT0(name) name,
#define CEL_EVENT1(name, a) name,
#define CEL_EVENT2(name, a, b) name,
#define CEL_EVENT3(name, a, b, c) name,
#define CEL_EVENT5(name, a, b, c, d, e) name,
#include "platform/cqgcel/cel_events.def"
  kCount
};
inline constexpr int kEventCount = static_cast<int>(EventId::kCount) - 1;  // 104

const com::EventInterface& CelEvents();
// Number of parameters of the event with this dispatch id (1..104).
int EventArity(int dispid);
const std::shared_ptr<const com::TypeLibrary>& CelTypeLibrary();
// A constant by name; ComError TYPE_E_ELEMENTNOTFOUND for an unknown name.
int32_t Constant(std::string_view name);

// Registers the simulator as "CQG.CQGCEL.4" and the type library. Idempotent.
void Register();

}  // namespace mx::cqgcel
