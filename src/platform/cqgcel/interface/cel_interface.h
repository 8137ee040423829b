// The CQGCEL interface as hosts and servers both know it: its ProgID, its type library's
// id and version, the names of its events (with their parameters) and of its constants.
// No numbers: a server's type library gives each event its dispatch id and each constant
// its value, and hosts look them up by name (CelEventMap, the type library's Constant).
//
// EventId is this code's own index of the events (cel_events.def order, from 1): sinks
// and the simulator's internals use it; it never travels between host and server.
//
// Thread-safety: everything here may be called from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/com/events.h"

namespace mx::cqgcel {

inline constexpr std::string_view kProgId = "CQG.CQGCEL.4";
inline constexpr std::string_view kLibraryId = "{51F35562-AEB4-4AB3-99E8-AC9666344B64}";
inline constexpr int kLibraryMajor = 4;
inline constexpr int kLibraryMinor = 0;

// The events by this code's index: the position in cel_events.def, from 1.
enum class EventId : int {
  kNone = 0,
#define CEL_EVENT0(name) name,
#define CEL_EVENT1(name, a) name,
#define CEL_EVENT2(name, a, b) name,
#define CEL_EVENT3(name, a, b, c) name,
#define CEL_EVENT5(name, a, b, c, d, e) name,
#include "platform/cqgcel/interface/cel_events.def"
  kCount
};
inline constexpr int kEventCount = static_cast<int>(EventId::kCount) - 1;  // 104

// The events numbered by EventId (DispId(name) is the index; 0 for an unknown name).
const com::EventInterface& CelEvents();
// Number of parameters of the event with this index (1..104); -1 for another index.
int EventArity(int index);
// The names of the type library's constants, in cel_constants.def order.
std::span<const std::string_view> ConstantNames();

}  // namespace mx::cqgcel
