// ComError: the error of a late-bound call, carrying a result code and a description.
//
// Errors raised inside an object (the simulator's scripted failures, a missing member)
// travel to the caller unchanged, across apartments too: what() is the description.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace mx::com {

// Result codes used by the runtime (values as Windows defines them).
namespace hresult {
inline constexpr int32_t kUnknownName = static_cast<int32_t>(0x80020006);    // DISP_E_UNKNOWNNAME
inline constexpr int32_t kTypeMismatch = static_cast<int32_t>(0x80020005);   // DISP_E_TYPEMISMATCH
inline constexpr int32_t kBadParamCount = static_cast<int32_t>(0x8002000E);  // DISP_E_BADPARAMCOUNT
inline constexpr int32_t kMemberNotFound =
    static_cast<int32_t>(0x80020003);                                       // DISP_E_MEMBERNOTFOUND
inline constexpr int32_t kBadIndex = static_cast<int32_t>(0x8002000B);      // DISP_E_BADINDEX
inline constexpr int32_t kDisconnected = static_cast<int32_t>(0x80010108);  // RPC_E_DISCONNECTED
inline constexpr int32_t kNotInitialized = static_cast<int32_t>(0x800401F0);  // CO_E_NOTINITIALIZED
inline constexpr int32_t kClassNotRegistered =
    static_cast<int32_t>(0x80040154);                                        // REGDB_E_CLASSNOTREG
inline constexpr int32_t kInvalidProgId = static_cast<int32_t>(0x800401F3);  // CO_E_CLASSSTRING
inline constexpr int32_t kLibNotRegistered =
    static_cast<int32_t>(0x8002801D);  // TYPE_E_LIBNOTREGISTERED
inline constexpr int32_t kElementNotFound =
    static_cast<int32_t>(0x8002802B);  // TYPE_E_ELEMENTNOTFOUND
inline constexpr int32_t kNoConnection =
    static_cast<int32_t>(0x80040200);                                     // CONNECT_E_NOCONNECTION
inline constexpr int32_t kStreamUsed = static_cast<int32_t>(0x80070057);  // E_INVALIDARG
inline constexpr int32_t kFail = static_cast<int32_t>(0x80004005);        // E_FAIL
}  // namespace hresult

class ComError : public std::runtime_error {
 public:
  ComError(int32_t code, std::string description)
      : std::runtime_error(description), code_(code), description_(std::move(description)) {}

  int32_t code() const noexcept { return code_; }
  const std::string& description() const noexcept { return description_; }

  static ComError UnknownName(std::string_view type_name, std::string_view member);
  static ComError TypeMismatch(std::string_view detail);
  static ComError Disconnected();

 private:
  int32_t code_;
  std::string description_;
};

}  // namespace mx::com
