// Entering and leaving COM, and creating objects by programmatic identifier.
//
// CoInitialize enters the calling thread's single-threaded apartment (counted: each call
// needs a CoUninitialize); the last CoUninitialize closes it. CreateObject looks the
// ProgID up in the class registry and runs its factory on the calling thread, which must
// have entered COM; the object belongs to that apartment. On Windows a ProgID that this
// process did not register is created by the system (CLSIDFromProgID, CoCreateInstance).
//
// Thread-safety: registry functions from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/dispatch.h"

namespace mx::com {

void CoInitialize();
// False when the thread had not entered COM.
bool CoUninitialize();

using ClassFactory = std::function<DispatchPtr()>;
// Replaces an earlier registration of the same ProgID.
void RegisterClassObject(std::string progid, ClassFactory factory);
void UnregisterClassObject(std::string_view progid);
std::vector<std::string> RegisteredProgIds();
// A ProgID this process did not register is looked up in the system's registry (portable:
// the registry folder of portable/server_registry.h, whose server is loaded on first use).
// ComError CO_E_NOTINITIALIZED when the thread is not in COM, REGDB_E_CLASSNOTREG naming
// the ProgID when no registry knows it (on Windows CO_E_CLASSSTRING for a ProgID without a
// CLSID); any error of the factory passes through.
DispatchPtr CreateObject(std::string_view progid);

}  // namespace mx::com
