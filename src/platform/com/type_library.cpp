#include "platform/com/type_library.h"

#include <mutex>

#include "platform/com/backend.h"
#include "platform/com/com_error.h"
#include "platform/com/marshal.h"

namespace mx::com {
namespace {

std::mutex libraries_mu;
std::vector<std::shared_ptr<const TypeLibrary>>& Libraries() {
  static std::vector<std::shared_ptr<const TypeLibrary>> libraries;
  return libraries;
}

}  // namespace

TypeLibrary::TypeLibrary(std::string guid, int major, int minor, Constants constants)
    : guid_(std::move(guid)), major_(major), minor_(minor), constants_(std::move(constants)) {
  for (const auto& [name, value] : constants_) by_name_.emplace(name, value);
}

std::optional<int32_t> TypeLibrary::Find(std::string_view name) const {
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return std::nullopt;
  return it->second;
}

int32_t TypeLibrary::Constant(std::string_view name) const {
  if (auto v = Find(name)) return *v;
  throw ComError(hresult::kElementNotFound,
                 "Type library has no constant '" + std::string(name) + "'");
}

void RegisterTypeLibrary(std::shared_ptr<const TypeLibrary> library) {
  std::lock_guard lk(libraries_mu);
  auto& libs = Libraries();
  std::erase_if(libs, [&](const auto& l) {
    return l->guid() == library->guid() && l->major() == library->major() &&
           l->minor() == library->minor();
  });
  libs.push_back(std::move(library));
}

std::shared_ptr<const TypeLibrary> FindRegisteredTypeLibrary(std::string_view guid, int major,
                                                             int minor) {
  std::lock_guard lk(libraries_mu);
  for (const auto& l : Libraries()) {
    if (l->guid() == guid && l->major() == major && l->minor() >= minor) return l;
  }
  return nullptr;
}

std::shared_ptr<const TypeLibrary> LoadRegTypeLib(std::string_view guid, int major, int minor,
                                                  int lcid) {
  if (auto lib = FindRegisteredTypeLibrary(guid, major, minor)) return lib;
  return backend::LoadUnregisteredTypeLibrary(guid, major, minor, lcid);
}

std::shared_ptr<const TypeLibrary> TypeLibraryOf(const DispatchPtr& object) {
  if (!object) throw ComError(hresult::kLibNotRegistered, "No object to read a type library from.");
  if (auto info = object->GetTypeInfo(); info && info->library()) return info->library();
  return backend::ForeignTypeLibrary(Unwrap(object));
}

std::vector<EventInterface::Member> SourceEventsOf(const DispatchPtr& object) {
  if (!object) throw ComError(hresult::kNoConnection, "The object raises no events.");
  if (auto info = object->GetTypeInfo()) {
    if (!info->source()) throw ComError(hresult::kNoConnection, "The object raises no events.");
    return info->source()->members();
  }
  return backend::ForeignSourceEvents(Unwrap(object));
}

}  // namespace mx::com
