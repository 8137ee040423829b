// The portable backend's side of the shared runtime: streams that carry an object with
// its home apartment, and the registry folder (server_registry.h) behind the process's
// own registrations.
#include "platform/com/backend.h"

#include <algorithm>

#include "platform/com/com.h"
#include "platform/com/com_error.h"
#include "platform/com/marshal.h"
#include "platform/com/portable/server_registry.h"

namespace mx::com {

std::unique_ptr<Stream> CoMarshalInterThreadInterfaceInStream(const DispatchPtr& object) {
  auto home = Apartment::Current();
  if (!home) throw ComError(hresult::kNotInitialized, "CoInitialize has not been called.");
  if (!object) throw ComError(hresult::kStreamUsed, "No object to marshal.");
  return std::make_unique<Stream>(Unwrap(object), std::move(home));
}

DispatchPtr CoGetInterfaceAndReleaseStream(std::unique_ptr<Stream> stream) {
  if (!stream || !stream->object_) {
    throw ComError(hresult::kStreamUsed, "The stream holds no marshalled interface.");
  }
  return MakeProxy(std::move(stream->object_), std::move(stream->home_));
}

namespace backend {

DispatchPtr CreateUnregisteredObject(std::string_view progid) {
  // The registry's server registers its classes as it loads; then it is found as any
  // class this process registered.
  if (portable::LoadServerForProgId(progid)) {
    auto ids = RegisteredProgIds();
    if (std::find(ids.begin(), ids.end(), progid) != ids.end()) return CreateObject(progid);
  }
  throw ComError(hresult::kClassNotRegistered, "Class not registered: " + std::string(progid));
}

Connection ConnectForeignEvents(const DispatchPtr&, std::shared_ptr<IEventSink>) {
  throw ComError(hresult::kNoConnection, "The object raises no events.");
}

std::shared_ptr<const TypeLibrary> LoadUnregisteredTypeLibrary(std::string_view guid, int major,
                                                               int minor, int lcid) {
  if (portable::LoadServerForTypeLibrary(guid, major, minor)) {
    if (auto lib = FindRegisteredTypeLibrary(guid, major, minor)) return lib;
  }
  (void)lcid;
  throw ComError(hresult::kLibNotRegistered, "Library not registered: " + std::string(guid) + " " +
                                                 std::to_string(major) + "." +
                                                 std::to_string(minor));
}

std::shared_ptr<const TypeLibrary> ForeignTypeLibrary(const DispatchPtr& object) {
  throw ComError(
      hresult::kLibNotRegistered,
      std::string(object ? object->TypeName() : "The object") + " gives no type information.");
}

std::vector<EventInterface::Member> ForeignSourceEvents(const DispatchPtr&) {
  throw ComError(hresult::kNoConnection, "The object raises no events.");
}

}  // namespace backend
}  // namespace mx::com
