// Objects and type libraries that the process did not register itself: the system's
// class and type library registries (HKEY_CLASSES_ROOT).
#include <cwchar>

#include "platform/com/backend.h"
#include "platform/com/com_error.h"
#include "platform/com/win/com_object.h"
#include "platform/com/win/convert.h"
#include "platform/com/win/type_info.h"
#include "platform/com/win/windows_headers.h"

namespace mx::com {
namespace {

struct LibAttr {
  ITypeLib* lib;
  TLIBATTR* attr = nullptr;
  explicit LibAttr(ITypeLib* l) : lib(l) { lib->GetLibAttr(&attr); }
  ~LibAttr() {
    if (attr) lib->ReleaseTLibAttr(attr);
  }
};

// Every enumeration constant of `lib`, in declaration order.
TypeLibrary::Constants EnumConstants(ITypeLib* lib) {
  TypeLibrary::Constants constants;
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    TYPEKIND kind;
    if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_ENUM) continue;
    win::ComPtr<ITypeInfo> info;
    if (FAILED(lib->GetTypeInfo(i, info.Out()))) continue;
    win::TypeAttr type(info.get());
    if (type.attr == nullptr) continue;
    for (UINT v = 0; v < type.attr->cVars; ++v) {
      VARDESC* desc = nullptr;
      if (FAILED(info->GetVarDesc(v, &desc))) continue;
      BSTR name = nullptr;
      VARIANT value;
      VariantInit(&value);
      if (desc->varkind == VAR_CONST &&
          SUCCEEDED(info->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr)) &&
          SUCCEEDED(VariantChangeType(&value, desc->lpvarValue, 0, VT_I4))) {
        constants.emplace_back(win::Narrow(name), static_cast<int32_t>(V_I4(&value)));
      }
      SysFreeString(name);
      VariantClear(&value);
      info->ReleaseVarDesc(desc);
    }
  }
  return constants;
}

}  // namespace

namespace backend {

DispatchPtr CreateUnregisteredObject(std::string_view progid) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(win::Widen(progid).c_str(), &clsid);
  if (hr == CO_E_CLASSSTRING) {
    throw ComError(hresult::kInvalidProgId, "Invalid class string: " + std::string(progid));
  }
  win::Check(hr, "ProgID not registered: " + std::string(progid));
  win::ComPtr<::IDispatch> object;
  SetErrorInfo(0, nullptr);  // what a failing server sets is its own
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                        object.OutVoid());
  if (hr == REGDB_E_CLASSNOTREG) {
    throw ComError(hr, "Class not registered: " + std::string(progid));
  }
  if (FAILED(hr)) {
    // An in-process server's class object may say why (SetErrorInfo on this thread).
    std::string why = win::HresultText(hr);
    win::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) == S_OK && info) {
      BSTR description = nullptr;
      if (SUCCEEDED(info->GetDescription(&description)) && SysStringLen(description) > 0) {
        why = win::Narrow(description);
      }
      SysFreeString(description);
    }
    throw ComError(hr, "Cannot create " + std::string(progid) + ": " + why);
  }
  return std::make_shared<win::ComObject>(std::move(object));
}

std::shared_ptr<const TypeLibrary> LoadUnregisteredTypeLibrary(std::string_view guid, int major,
                                                               int minor, int lcid) {
  const std::string what = "Library not registered: " + std::string(guid) + " " +
                           std::to_string(major) + "." + std::to_string(minor);
  GUID id;
  if (FAILED(CLSIDFromString(win::Widen(guid).c_str(), &id))) {
    throw ComError(hresult::kLibNotRegistered, what);
  }
  win::ComPtr<ITypeLib> lib;
  HRESULT hr = ::LoadRegTypeLib(id, static_cast<WORD>(major), static_cast<WORD>(minor),
                                static_cast<LCID>(lcid), lib.Out());
  if (FAILED(hr))
    throw ComError(hresult::kLibNotRegistered, what + " (" + win::HresultText(hr) + ")");
  LibAttr attr(lib.get());
  int found_major = attr.attr ? attr.attr->wMajorVerNum : major;
  int found_minor = attr.attr ? attr.attr->wMinorVerNum : minor;
  return std::make_shared<TypeLibrary>(std::string(guid), found_major, found_minor,
                                       EnumConstants(lib.get()));
}

std::shared_ptr<const TypeLibrary> ForeignTypeLibrary(const DispatchPtr& object) {
  auto* com = dynamic_cast<const win::ComObject*>(object.get());
  win::ComPtr<ITypeInfo> info = com ? com->TypeInfo() : win::ComPtr<ITypeInfo>();
  if (!info) {
    throw ComError(
        hresult::kLibNotRegistered,
        std::string(object ? object->TypeName() : "The object") + " gives no type information.");
  }
  win::ComPtr<ITypeLib> lib;
  UINT index = 0;
  win::Check(info->GetContainingTypeLib(lib.Out(), &index), "ITypeInfo::GetContainingTypeLib");
  LibAttr attr(lib.get());
  std::string guid;
  int major = 0, minor = 0;
  if (attr.attr) {
    wchar_t text[64] = {};
    if (StringFromGUID2(attr.attr->guid, text, 64) > 0) guid = win::Narrow(text, wcslen(text));
    major = attr.attr->wMajorVerNum;
    minor = attr.attr->wMinorVerNum;
  }
  return std::make_shared<TypeLibrary>(std::move(guid), major, minor, EnumConstants(lib.get()));
}

}  // namespace backend
}  // namespace mx::com
