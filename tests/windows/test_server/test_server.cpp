// The test server: class TestObject ("Mx.ComTest.1"), served through its type info
// (DispGetIDsOfNames / DispInvoke over the dual interface's vtable), with one connection
// point for its events and errors reported through IErrorInfo. The tests drive it only
// as a COM client does, by ProgID and late binding.
#include "test_server.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <string>

#include "platform/com/win/server_registration.h"
#include "platform/com/win/windows_headers.h"

namespace {

std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

const mx::com::win::ServerClass kClass{CLSID_TestObject, L"Mx.ComTest.1",
                                       L"morvex COM runtime test object", L"Apartment"};

ITypeLib* Library() {
  static ITypeLib* library = [] {
    ITypeLib* lib = nullptr;
    LoadTypeLibEx(mx::com::win::ModulePathOf(&live_objects).c_str(), REGKIND_NONE, &lib);
    return lib;
  }();
  return library;
}

ITypeInfo* InfoOf(REFGUID guid) {
  ITypeInfo* info = nullptr;
  if (Library() != nullptr) Library()->GetTypeInfoOfGuid(guid, &info);
  return info;
}

HRESULT Raise(HRESULT code, const wchar_t* description) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    create->SetGUID(IID_ITestObject);
    create->SetSource(const_cast<LPOLESTR>(L"TestObject"));
    create->SetDescription(const_cast<LPOLESTR>(description));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return code;
}

const wchar_t* VtName(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
      return L"VT_EMPTY";
    case VT_ERROR:
      return L"VT_ERROR";
    case VT_BOOL:
      return L"VT_BOOL";
    case VT_I4:
      return L"VT_I4";
    case VT_I8:
      return L"VT_I8";
    case VT_R8:
      return L"VT_R8";
    case VT_BSTR:
      return L"VT_BSTR";
    case VT_DATE:
      return L"VT_DATE";
    case VT_DISPATCH:
      return L"VT_DISPATCH";
    default:
      return L"other";
  }
}

class TestObject;

class ConnectionPoint final : public IConnectionPoint {
 public:
  explicit ConnectionPoint(IConnectionPointContainer* owner) : owner_(owner) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Lives as long as its container.
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    *iid = DIID__ITestObjectEvents;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
    *out = owner_;
    owner_->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    IDispatch* dispatch = nullptr;
    if (FAILED(
            sink->QueryInterface(DIID__ITestObjectEvents, reinterpret_cast<void**>(&dispatch)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = next_cookie_++;
    sinks_.emplace(*cookie, dispatch);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    auto it = sinks_.find(cookie);
    if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
    it->second->Release();
    sinks_.erase(it);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  // Calls every sink; `args` in automation's order (last argument first).
  void Fire(DISPID id, VARIANTARG* args, UINT count) {
    auto sinks = sinks_;  // a sink may disconnect while it runs
    for (auto& [cookie, sink] : sinks) {
      sink->AddRef();
      DISPPARAMS params{args, nullptr, count, 0};
      sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                   nullptr);
      sink->Release();
    }
  }

  ~ConnectionPoint() {
    for (auto& [cookie, sink] : sinks_) sink->Release();
  }

 private:
  IConnectionPointContainer* owner_;
  std::map<DWORD, IDispatch*> sinks_;
  DWORD next_cookie_ = 1;
};

class TestObject final : public ITestObject,
                         public IConnectionPointContainer,
                         public IProvideClassInfo,
                         public ISupportErrorInfo {
 public:
  explicit TestObject(const wchar_t* name) : name_(SysAllocString(name)), point_(this) {
    ++live_objects;
    V_VT(&stamp_) = VT_EMPTY;
  }
  ~TestObject() {
    SysFreeString(name_);
    --live_objects;
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID_ITestObject)) {
      *out = static_cast<ITestObject*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(iid, IID_IProvideClassInfo)) {
      *out = static_cast<IProvideClassInfo*>(this);
    } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch, from the type info.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (index != 0) return DISP_E_BADINDEX;
    *info = InfoOf(IID_ITestObject);
    return *info ? S_OK : TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    ITypeInfo* info = InfoOf(IID_ITestObject);
    if (info == nullptr) return E_UNEXPECTED;
    HRESULT hr = DispGetIDsOfNames(info, names, count, ids);
    info->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* arg_error) override {
    ITypeInfo* info = InfoOf(IID_ITestObject);
    if (info == nullptr) return E_UNEXPECTED;
    HRESULT hr = DispInvoke(static_cast<ITestObject*>(this), info, id, flags, params, result, excep,
                            arg_error);
    info->Release();
    return hr;
  }

  // ITestObject
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* value) override {
    *value = SysAllocString(name_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Name(BSTR value) override {
    SysFreeString(name_);
    name_ = SysAllocStringLen(value, SysStringLen(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Stamp(DATE* value) override {
    *value = V_VT(&stamp_) == VT_DATE ? V_DATE(&stamp_) : 0.0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Stamp(DATE value) override {
    V_VT(&stamp_) = VT_DATE;
    V_DATE(&stamp_) = value;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Balance(LONG index, double* value) override {
    if (index < 0 || index > 2) return Raise(DISP_E_BADINDEX, L"Balance: no such index");
    *value = 1000.25 * (index + 1);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Big(LONGLONG* value) override {
    *value = 0x123456789ALL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Flag(VARIANT_BOOL* value) override {
    *value = flag_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Flag(VARIANT_BOOL value) override {
    flag_ = value;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) override {
    *sum = a + b;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE KindOf(VARIANT value, BSTR* kind) override {
    std::wstring text = VtName(V_VT(&value));
    if (V_VT(&value) == VT_ERROR) {
      wchar_t code[16];
      std::swprintf(code, 16, L" 0x%08X", static_cast<unsigned>(V_ERROR(&value)));
      text += code;
    }
    *kind = SysAllocString(text.c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Echo(VARIANT value, VARIANT* same) override {
    VariantInit(same);
    return VariantCopy(same, &value);
  }
  HRESULT STDMETHODCALLTYPE Fail(LONG code, BSTR description) override {
    return Raise(static_cast<HRESULT>(code), description);
  }
  HRESULT STDMETHODCALLTYPE Item(LONG index, VARIANT* item) override {
    static const wchar_t* const kItems[] = {L"a", L"b", L"c"};
    if (index < 0 || index > 2) return Raise(DISP_E_BADINDEX, L"Item: no such index");
    VariantInit(item);
    V_VT(item) = VT_BSTR;
    V_BSTR(item) = SysAllocString(kItems[index]);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
    *count = 3;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Child(IDispatch** child) override {
    auto* made = new TestObject(L"child");
    made->AddRef();
    *child = static_cast<ITestObject*>(made);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ThreadId(LONG* id) override {
    *id = static_cast<LONG>(GetCurrentThreadId());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RaiseEvents(LONG count) override {
    for (LONG n = 1; n <= count; ++n) {
      VARIANTARG args[2];
      VariantInit(&args[0]);
      VariantInit(&args[1]);
      std::wstring text = L"first " + std::to_wstring(n);
      V_VT(&args[1]) = VT_I4;
      V_I4(&args[1]) = n;
      V_VT(&args[0]) = VT_BSTR;
      V_BSTR(&args[0]) = SysAllocString(text.c_str());
      point_.Fire(7, args, 2);
      VariantClear(&args[0]);
    }
    VARIANTARG when;
    VariantInit(&when);
    V_VT(&when) = VT_DATE;
    V_DATE(&when) = V_VT(&stamp_) == VT_DATE ? V_DATE(&stamp_) : 0.0;
    point_.Fire(3, &when, 1);
    LONG value = 41;
    BSTR text = SysAllocString(L"in");
    VARIANTARG refs[2];
    V_VT(&refs[1]) = VT_I4 | VT_BYREF;
    V_I4REF(&refs[1]) = &value;
    V_VT(&refs[0]) = VT_BSTR | VT_BYREF;
    V_BSTRREF(&refs[0]) = &text;
    point_.Fire(42, refs, 2);
    SysFreeString(text);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RaiseUnknownEvent() override {
    point_.Fire(999, nullptr, 0);
    return S_OK;
  }

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    if (!IsEqualIID(iid, DIID__ITestObjectEvents)) {
      *out = nullptr;
      return CONNECT_E_NOCONNECTION;
    }
    *out = &point_;
    point_.AddRef();
    return S_OK;
  }

  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    *info = InfoOf(CLSID_TestObject);
    return *info ? S_OK : TYPE_E_ELEMENTNOTFOUND;
  }

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsEqualIID(iid, IID_ITestObject) ? S_OK : S_FALSE;
  }

 private:
  std::atomic<ULONG> refs_{0};
  BSTR name_;
  VARIANT stamp_;
  VARIANT_BOOL flag_ = VARIANT_FALSE;
  ConnectionPoint point_;
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new TestObject(L"test");
    object->AddRef();
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++server_locks;
    } else {
      --server_locks;
    }
    return S_OK;
  }
};

Factory factory;

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!IsEqualCLSID(clsid, CLSID_TestObject)) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(iid, out);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return live_objects == 0 && server_locks == 0 ? S_OK : S_FALSE;
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
  return mx::com::win::RegisterServer(kClass, mx::com::win::ModulePathOf(&live_objects));
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return mx::com::win::UnregisterServer(kClass, mx::com::win::ModulePathOf(&live_objects));
}

}  // extern "C"
