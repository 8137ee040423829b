// Registration of an in-process COM server (what its DllRegisterServer and
// DllUnregisterServer do): the class under HKEY_CLASSES_ROOT\CLSID with its DLL and
// threading model, its ProgID both ways, and the type library embedded in the DLL.
//
// Errors: the first failing HRESULT (registry or type library), returned, not thrown:
// these run inside exported DLL functions.
#pragma once

#include <string>

#include "platform/com/win/windows_headers.h"

namespace mx::com::win {

struct ServerClass {
  CLSID clsid;
  const wchar_t* progid;       // "Vendor.Class.1"
  const wchar_t* description;  // the class's and ProgID's default value
  const wchar_t* threading;    // "Apartment", "Both", ...
};

// The full path of the module (DLL) that holds `address`.
std::wstring ModulePathOf(const void* address);

// Registers `cls` as served by `module_path`, and the type library embedded there as
// resource TYPELIB 1 (its registered path is the DLL's, without a "\\?\" prefix).
HRESULT RegisterServer(const ServerClass& cls, const std::wstring& module_path);
// Removes what RegisterServer wrote; absent keys are not errors.
HRESULT UnregisterServer(const ServerClass& cls, const std::wstring& module_path);

}  // namespace mx::com::win
