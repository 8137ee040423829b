// What each backend of the COM runtime provides to the shared code: portable/ (our own
// apartments and registries, used on Linux) and win/ (ole32 and oleaut32).
//
// Internal to the runtime; hosts use com.h, events.h, type_library.h and marshal.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/com/apartment.h"
#include "platform/com/dispatch.h"
#include "platform/com/events.h"
#include "platform/com/type_library.h"

namespace mx::com {

// A dispatch object bound to a home apartment (a proxy), however its calls travel there:
// what HomeOf, Unwrap and RunInHome need.
class HomeBound {
 public:
  virtual ~HomeBound() = default;
  virtual const std::shared_ptr<Apartment>& home() const = 0;
  // The object itself, to be used on its home thread only; nullptr when not known here.
  virtual DispatchPtr target() const = 0;
  // Runs `task` on the home thread with the object itself and waits; rethrows its error.
  virtual void RunWithTarget(const std::function<void(const DispatchPtr&)>& task) = 0;
};

// Reports an error that a sink let escape (SetSinkErrorReporter's reporter, or stderr).
void ReportSinkError(std::string_view event, std::string_view what);

// A library this process registered (RegisterTypeLibrary), or nullptr.
std::shared_ptr<const TypeLibrary> FindRegisteredTypeLibrary(std::string_view guid, int major,
                                                             int minor);

namespace backend {

// How long a thread that waits for a task it ran in another apartment (Apartment::Run)
// spins before it sleeps. Portable: a moment, for its quick in-process round trips.
// Windows: not at all.
extern const std::chrono::microseconds kRunSpin;

// An object of a ProgID that no code of this process registered (RegisterClassObject
// comes first). Portable: the registry folder's server, else ComError REGDB_E_CLASSNOTREG.
// Windows: the system's class registry.
DispatchPtr CreateUnregisteredObject(std::string_view progid);

// Connects `sink` to an object that has no EventSource of ours (`object` is unwrapped).
// Portable: ComError CONNECT_E_NOCONNECTION. Windows: the object's connection points.
Connection ConnectForeignEvents(const DispatchPtr& object, std::shared_ptr<IEventSink> sink);

// A type library that no code of this process registered. Portable: ComError
// TYPE_E_LIBNOTREGISTERED. Windows: the system's type library registry.
std::shared_ptr<const TypeLibrary> LoadUnregisteredTypeLibrary(std::string_view guid, int major,
                                                               int minor, int lcid);

// The type library and the default source interface's events of an object with no
// TypeInfo of ours (`object` is unwrapped). Portable: ComError TYPE_E_LIBNOTREGISTERED and
// CONNECT_E_NOCONNECTION. Windows: the object's ITypeInfo.
std::shared_ptr<const TypeLibrary> ForeignTypeLibrary(const DispatchPtr& object);
std::vector<EventInterface::Member> ForeignSourceEvents(const DispatchPtr& object);

}  // namespace backend
}  // namespace mx::com
