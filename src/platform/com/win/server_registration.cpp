#include "platform/com/win/server_registration.h"

namespace mx::com::win {
namespace {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

HRESULT SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE, nullptr, &handle, nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

HRESULT DeleteTree(const std::wstring& key) {
  LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return S_OK;
  return HRESULT_FROM_WIN32(rc);
}

}  // namespace

std::wstring ModulePathOf(const void* address) {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCWSTR>(address), &module);
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

HRESULT RegisterServer(const ServerClass& cls, const std::wstring& module_path) {
  // REGKIND_REGISTER would record the path with a "\\?\" prefix: register it ourselves.
  ITypeLib* library = nullptr;
  HRESULT hr = LoadTypeLibEx(module_path.c_str(), REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  std::wstring path = module_path;  // RegisterTypeLib takes a writable string
  hr = RegisterTypeLib(library, path.data(), nullptr);
  TLIBATTR* attr = nullptr;
  GUID libid{};
  if (SUCCEEDED(hr) && SUCCEEDED(library->GetLibAttr(&attr))) {
    libid = attr->guid;
    library->ReleaseTLibAttr(attr);
  }
  library->Release();
  if (FAILED(hr)) return hr;

  const std::wstring clsid = GuidText(cls.clsid);
  const std::wstring key = L"CLSID\\" + clsid;
  const std::wstring progid = cls.progid;
  for (HRESULT step : {
           SetValue(key, nullptr, cls.description),
           SetValue(key + L"\\InprocServer32", nullptr, module_path),
           SetValue(key + L"\\InprocServer32", L"ThreadingModel", cls.threading),
           SetValue(key + L"\\ProgID", nullptr, progid),
           SetValue(key + L"\\TypeLib", nullptr, GuidText(libid)),
           SetValue(progid, nullptr, cls.description),
           SetValue(progid + L"\\CLSID", nullptr, clsid),
       }) {
    if (FAILED(step)) return step;
  }
  return S_OK;
}

HRESULT UnregisterServer(const ServerClass& cls, const std::wstring& module_path) {
  HRESULT result = DeleteTree(L"CLSID\\" + GuidText(cls.clsid));
  if (HRESULT hr = DeleteTree(cls.progid); FAILED(hr) && SUCCEEDED(result)) result = hr;
  ITypeLib* library = nullptr;
  if (SUCCEEDED(LoadTypeLibEx(module_path.c_str(), REGKIND_NONE, &library))) {
    TLIBATTR* attr = nullptr;
    if (SUCCEEDED(library->GetLibAttr(&attr))) {
      HRESULT hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                     attr->syskind);
      if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && SUCCEEDED(result)) result = hr;
      library->ReleaseTLibAttr(attr);
    }
    library->Release();
  }
  return result;
}

}  // namespace mx::com::win
