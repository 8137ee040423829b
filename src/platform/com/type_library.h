// TypeLibrary: a library's enumeration constants by name, found by library id and version.
//
// A COM server registers its library once (RegisterTypeLibrary); hosts load it by id,
// major and minor version and locale (LoadRegTypeLib) and look constants up by name.
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

void RegisterTypeLibrary(std::shared_ptr<const TypeLibrary> library);
// Libraries this process registered come first; on Windows the system's registered type
// libraries follow (their enumerations' constants, read through oleaut32). ComError
// TYPE_E_LIBNOTREGISTERED when no library of that id and major version, with a minor
// version at least `minor`, is registered. Only the system's look-up uses the locale.
std::shared_ptr<const TypeLibrary> LoadRegTypeLib(std::string_view guid, int major, int minor,
                                                  int lcid = 0);

}  // namespace mx::com
