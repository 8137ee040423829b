// TypeLibrary: a library's enumeration constants by name, found by library id and version.
// TypeInfo: an object's class as its library describes it (its default source interface).
//
// A COM server registers its library once (RegisterTypeLibrary); hosts load it by id,
// major and minor version and locale (LoadRegTypeLib) and look constants up by name. A
// host that holds an object asks the object itself instead (TypeLibraryOf: the library
// that contains its type information; SourceEventsOf: the events of its class's default
// source interface), so that the numbers are always the server's own.
//
// Thread-safety: registration and loading from any thread; a library is immutable.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/events.h"
#include "platform/com/object.h"

namespace mx::com {

class TypeLibrary {
 public:
  using Constants = std::vector<std::pair<std::string, int32_t>>;
  TypeLibrary(std::string guid, int major, int minor, Constants constants);

  const std::string& guid() const { return guid_; }
  int major() const { return major_; }
  int minor() const { return minor_; }
  std::optional<int32_t> Find(std::string_view name) const;
  // ComError TYPE_E_ELEMENTNOTFOUND for an unknown name.
  int32_t Constant(std::string_view name) const;
  // In declaration order.
  const Constants& constants() const { return constants_; }

 private:
  std::string guid_;
  int major_;
  int minor_;
  Constants constants_;
  std::unordered_map<std::string, int32_t, StringHash, std::equal_to<>> by_name_;
};

// An object's class in its type library: the class name, the library, and the default
// source interface (null when the class raises no events).
class TypeInfo {
 public:
  TypeInfo(std::string name, std::shared_ptr<const TypeLibrary> library,
           std::shared_ptr<const EventInterface> source)
      : name_(std::move(name)), library_(std::move(library)), source_(std::move(source)) {}
  const std::string& name() const { return name_; }
  const std::shared_ptr<const TypeLibrary>& library() const { return library_; }
  const std::shared_ptr<const EventInterface>& source() const { return source_; }

 private:
  std::string name_;
  std::shared_ptr<const TypeLibrary> library_;
  std::shared_ptr<const EventInterface> source_;
};

// The type library containing `object`'s type information (IDispatch::GetTypeInfo, then
// ITypeInfo::GetContainingTypeLib on Windows), read whole. ComError TYPE_E_LIBNOTREGISTERED
// when the object gives no type information.
std::shared_ptr<const TypeLibrary> TypeLibraryOf(const DispatchPtr& object);
// The events of the default source interface of `object`'s class, by name with the
// dispatch id the server gives each (IProvideClassInfo on Windows). ComError
// CONNECT_E_NOCONNECTION when the class has none.
std::vector<EventInterface::Member> SourceEventsOf(const DispatchPtr& object);

void RegisterTypeLibrary(std::shared_ptr<const TypeLibrary> library);
// Libraries this process registered come first; on Windows the system's registered type
// libraries follow (their enumerations' constants, read through oleaut32). ComError
// TYPE_E_LIBNOTREGISTERED when no library of that id and major version, with a minor
// version at least `minor`, is registered. Only the system's look-up uses the locale.
std::shared_ptr<const TypeLibrary> LoadRegTypeLib(std::string_view guid, int major, int minor,
                                                  int lcid = 0);

}  // namespace mx::com
