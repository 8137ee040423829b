// The simulator's CQGCEL type library: the interface (interface/cel_interface.h) with the
// numbers this server gives it. Event dispatch ids and constant values are the server's
// own, deliberately unlike the order of cel_events.def and the seeds of cel_constants.def
// (reversed and offset), so that a host assuming either fails its tests.
//
// Inside the simulator events are raised by EventId; they reach the event source under
// the dispatch id DispIdOf gives. Register() puts the simulator under the ProgID and its
// type library in the process's registry: the COM runtime calls it through the server
// entry point when a host first creates "CQG.CQGCEL.4" (the registry folder names this
// library), and the control module calls it as it loads.
//
// Thread-safety: everything here may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/com/events.h"
#include "platform/com/type_library.h"
#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::cqgcel {

// The dispatch id of an event in this server's type library.
constexpr int DispIdOf(int index) { return 0x100 + (kEventCount + 1 - index); }
// The value of the constant with seed `seed` in this server's type library.
constexpr int32_t ValueOfSeed(int32_t seed) { return 50000 - 3 * seed; }

// The source interface of the simulator's class, with this server's dispatch ids.
const std::shared_ptr<const com::EventInterface>& SimulatorEvents();
const std::shared_ptr<const com::TypeLibrary>& CelTypeLibrary();
// The simulator's class in its type library (what Simulator::GetTypeInfo answers).
const std::shared_ptr<const com::TypeInfo>& SimulatorTypeInfo();
// A constant by name; ComError TYPE_E_ELEMENTNOTFOUND for an unknown name.
int32_t Constant(std::string_view name);

// Registers the simulator as "CQG.CQGCEL.4" and the type library. Idempotent.
void Register();

}  // namespace mx::cqgcel

#ifndef _WIN32
// The server entry points the portable runtime calls after loading this library: the
// class and its type library, or the type library alone (server_registry.h). On Windows
// the DLL's DllRegisterServer writes the system registry instead (win_server/).
extern "C" void mx_com_register_server();
extern "C" void mx_com_register_type_libraries();
#endif
