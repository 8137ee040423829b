// The CQGCEL class of the simulator's COM server: the class object, the CQGCEL object
// with its connection point, and the DLL's entry points.
//
// An object is created on the calling thread, which COM has put in a single-threaded
// apartment (the class is apartment-threaded): the simulator's home is that apartment,
// so its events are raised there, while that thread pumps messages (COM's own message
// loops do too). Each event reaches every connected sink by the DISPID the type
// library gives its name; an event the library does not name is not sent.
//
// The module pins itself when it serves its first object: the simulator's state and
// its apartments' windows are process-wide and outlive any one object.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/com.h"
#include "platform/com/com_error.h"
#include "platform/com/events.h"
#include "platform/com/win/convert.h"
#include "platform/com/win/server_registration.h"
#include "platform/cqgcel/simulator.h"
#include "platform/cqgcel/win_server/served_object.h"

namespace mx::cqgcel::win_server {
namespace {

// {4A66B263-AB84-44CC-B768-F221A91B4E9D}: coclass CQGCEL in cqgcel.idl.
constexpr CLSID kClassId = {
    0x4A66B263, 0xAB84, 0x44CC, {0xB7, 0x68, 0xF2, 0x21, 0xA9, 0x1B, 0x4E, 0x9D}};
const com::win::ServerClass kClass{kClassId, L"CQG.CQGCEL.4", L"CQGCEL (morvex simulator)",
                                   L"Apartment"};

std::atomic<long> server_locks{0};

void SetErrorText(const std::string& description) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  create->SetSource(const_cast<LPOLESTR>(L"CQG.CQGCEL.4"));
  BSTR text = com::win::ToBstr(description);
  create->SetDescription(text);
  SysFreeString(text);
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

// The sinks connected to one CQGCEL object, by cookie.
struct Sinks {
  std::map<DWORD, ComPtr<::IDispatch>> by_cookie;  // home thread only
  DWORD next_cookie = 1;
};

// Carries the simulator's events to the connected sinks (on the home thread).
class EventBridge final : public com::IEventSink {
 public:
  explicit EventBridge(std::shared_ptr<Sinks> sinks) : sinks_(std::move(sinks)) {}

  void OnEvent(int, std::string_view name, com::Args args) override {
    const DISPID id = ServerLibrary::Instance().EventId(name);
    if (id == DISPID_UNKNOWN || sinks_->by_cookie.empty()) return;
    std::vector<VARIANTARG> values(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
      VARIANTARG& v = values[args.size() - 1 - i];  // automation's order: last first
      VariantInit(&v);
      ToClientVariant(args[i], &v);
    }
    auto targets = sinks_->by_cookie;  // a sink may disconnect while it runs
    for (auto& [cookie, sink] : targets) {
      DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
      sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                   nullptr);
    }
    for (auto& v : values) VariantClear(&v);
  }

 private:
  std::shared_ptr<Sinks> sinks_;
};

class CelObject;

class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* owner, std::shared_ptr<Sinks> sinks)
      : owner_(owner), sinks_(std::move(sinks)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Part of its container's object.
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = ServerLibrary::Instance().EventIid();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
    if (out == nullptr) return E_POINTER;
    *out = owner_;
    owner_->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    ComPtr<::IDispatch> dispatch;
    if (FAILED(sink->QueryInterface(ServerLibrary::Instance().EventIid(), dispatch.OutVoid())) &&
        FAILED(sink->QueryInterface(IID_IDispatch, dispatch.OutVoid()))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = sinks_->next_cookie++;
    sinks_->by_cookie.emplace(*cookie, std::move(dispatch));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    return sinks_->by_cookie.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  IConnectionPointContainer* owner_;
  std::shared_ptr<Sinks> sinks_;
};

class CelObject final : public ServedObject,
                        public IConnectionPointContainer,
                        public IProvideClassInfo {
 public:
  // Under ServedObject::RegistryLock().
  explicit CelObject(std::shared_ptr<Simulator> simulator)
      : ServedObject(simulator, ServerLibrary::Instance().InterfaceFor("CQGCEL")),
        sinks_(std::make_shared<Sinks>()),
        point_(this, sinks_) {}

  // Connects the simulator's events to the sinks (outside the registry lock).
  void Connect() { bridge_ = com::ConnectEvents(object(), std::make_shared<EventBridge>(sinks_)); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return ServedObject::QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ServedObject::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return ServedObject::Release(); }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, ServerLibrary::Instance().EventIid())) return CONNECT_E_NOCONNECTION;
    *out = &point_;
    point_.AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = ServerLibrary::Instance().ClassInfo();
    (*info)->AddRef();
    return S_OK;
  }

 protected:
  void* QueryMore(REFIID iid) override {
    void* found = nullptr;
    if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
      found = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(iid, IID_IProvideClassInfo)) {
      found = static_cast<IProvideClassInfo*>(this);
    }
    if (found) AddRef();
    return found;
  }

 private:
  ~CelObject() override { bridge_.Disconnect(); }

  std::shared_ptr<Sinks> sinks_;
  ConnectionPoint point_;
  com::Connection bridge_;
};

// The simulator needs the runtime's apartment on the creating thread. COM has already
// put the thread in its apartment: the runtime's own entry is kept for the thread's
// life, without holding a COM initialisation of its own.
void EnterRuntimeApartment() {
  if (com::Apartment::Current()) return;
  com::CoInitialize();
  ::CoUninitialize();
}

void PinModule() {
  static std::once_flag once;
  std::call_once(once, [] {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&PinModule), &module);
  });
}

class ClassObject final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    const ServerLibrary& library = ServerLibrary::Instance();
    if (FAILED(library.status())) {
      SetErrorText("The CQGCEL type library cannot be loaded from " +
                   com::win::Narrow(library.path().c_str(), library.path().size()) + ": " +
                   com::win::HresultText(library.status()));
      return library.status();
    }
    try {
      PinModule();
      EnterRuntimeApartment();
      auto simulator = Simulator::Create();
      CelObject* object = nullptr;
      {
        std::lock_guard lk(ServedObject::RegistryLock());
        object = new CelObject(std::move(simulator));
        object->AddRef();
      }
      auto held = ComPtr<::IDispatch>::Attach(static_cast<ServedObject*>(object));
      object->Connect();
      return object->QueryInterface(iid, out);
    } catch (const com::ComError& e) {
      SetErrorText(e.description());
      return FAILED(e.code()) ? e.code() : E_FAIL;
    } catch (const std::exception& e) {
      SetErrorText(e.what());
      return E_FAIL;
    }
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

ClassObject class_object;

}  // namespace
}  // namespace mx::cqgcel::win_server

using mx::cqgcel::win_server::class_object;
using mx::cqgcel::win_server::kClass;
using mx::cqgcel::win_server::kClassId;

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, kClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  return class_object.QueryInterface(iid, out);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return mx::cqgcel::win_server::ServedObject::LiveCount() == 0 &&
                 mx::cqgcel::win_server::server_locks == 0
             ? S_OK
             : S_FALSE;
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
  return mx::com::win::RegisterServer(kClass, mx::com::win::ModulePathOf(&class_object));
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return mx::com::win::UnregisterServer(kClass, mx::com::win::ModulePathOf(&class_object));
}

}  // extern "C"
