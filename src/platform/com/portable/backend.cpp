// The portable backend's side of the shared runtime: streams that carry an object with
// its home apartment, and no system registries behind the process's own.
#include "platform/com/backend.h"

#include "platform/com/com_error.h"
#include "platform/com/marshal.h"

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
  throw ComError(hresult::kInvalidProgId, "Invalid class string: " + std::string(progid));
}

Connection ConnectForeignEvents(const DispatchPtr&, std::shared_ptr<IEventSink>) {
  throw ComError(hresult::kNoConnection, "The object raises no events.");
}

std::shared_ptr<const TypeLibrary> LoadUnregisteredTypeLibrary(std::string_view guid, int major,
                                                               int minor, int /*lcid*/) {
  throw ComError(hresult::kLibNotRegistered, "Library not registered: " + std::string(guid) + " " +
                                                 std::to_string(major) + "." +
                                                 std::to_string(minor));
}

}  // namespace backend
}  // namespace mx::com
