// Connecting a sink to a COM object's events: the default source interface of its class
// (IProvideClassInfo), its connection point (IConnectionPointContainer), and an IDispatch
// sink that names each event by the DISPID the source interface's type info gives it.
#include <algorithm>
#include <atomic>
#include <exception>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/com/backend.h"
#include "platform/com/com_error.h"
#include "platform/com/win/com_object.h"
#include "platform/com/win/convert.h"
#include "platform/com/win/type_info.h"
#include "platform/com/win/windows_headers.h"

namespace mx::com {
namespace {

using win::ComPtr;
using win::TypeAttr;

ComError NoEvents(std::string_view why) {
  return ComError(hresult::kNoConnection,
                  "The object raises no events (" + std::string(why) + ").");
}

// The default source interface of the object's class: its IID and type info.
ComPtr<ITypeInfo> DefaultSource(::IDispatch* object, IID& iid) {
  auto provider = ComPtr<::IDispatch>::Share(object).As<IProvideClassInfo>(IID_IProvideClassInfo);
  if (!provider) throw NoEvents("no IProvideClassInfo");
  ComPtr<ITypeInfo> coclass;
  win::Check(provider->GetClassInfo(coclass.Out()), "IProvideClassInfo::GetClassInfo");
  TypeAttr attr(coclass.get());
  if (!attr.attr) throw NoEvents("no class type info");
  for (UINT i = 0; i < attr.attr->cImplTypes; ++i) {
    INT flags = 0;
    if (FAILED(coclass->GetImplTypeFlags(i, &flags))) continue;
    if ((flags & IMPLTYPEFLAG_FDEFAULT) == 0 || (flags & IMPLTYPEFLAG_FSOURCE) == 0) continue;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> source;
    win::Check(coclass->GetRefTypeOfImplType(i, &ref), "GetRefTypeOfImplType");
    win::Check(coclass->GetRefTypeInfo(ref, source.Out()), "GetRefTypeInfo");
    TypeAttr source_attr(source.get());
    if (!source_attr.attr) break;
    iid = source_attr.attr->guid;
    return source;
  }
  throw NoEvents("its class has no default source interface");
}

// Event names by DISPID, from the source interface's functions.
std::unordered_map<DISPID, std::string> EventNames(ITypeInfo* source) {
  std::unordered_map<DISPID, std::string> names;
  TypeAttr attr(source);
  if (!attr.attr) return names;
  win::ForEachFunction(source, *attr.attr, [&](const FUNCDESC& f) {
    BSTR name = nullptr;
    UINT got = 0;
    if (SUCCEEDED(source->GetNames(f.memid, &name, 1, &got)) && got == 1) {
      names.emplace(f.memid, win::Narrow(name));
    }
    SysFreeString(name);
    return true;
  });
  return names;
}

// The sink COM calls: answers as IDispatch and as the source interface.
class EventSink final : public ::IDispatch {
 public:
  EventSink(IID source, std::unordered_map<DISPID, std::string> names,
            std::shared_ptr<IEventSink> sink)
      : source_(source), names_(std::move(names)), sink_(std::move(sink)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, source_)) {
      *out = static_cast<::IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (result != nullptr) VariantInit(result);
    auto it = names_.find(id);
    if (it == names_.end()) return S_OK;  // an event this host does not know: ignored
    const std::string& name = it->second;
    std::vector<Variant> args;
    try {
      const UINT n = params ? params->cArgs : 0;
      args.reserve(n);
      for (UINT i = n; i-- > 0;) args.push_back(win::FromVariant(params->rgvarg[i]));
    } catch (const std::exception& e) {
      ReportSinkError(name, e.what());
      return S_OK;
    }
    try {
      sink_->OnEvent(static_cast<int>(id), name, args);
    } catch (const std::exception& e) {
      ReportSinkError(name, e.what());
    }
    return S_OK;  // the source goes on with its other sinks whatever this one did
  }

 private:
  const IID source_;
  const std::unordered_map<DISPID, std::string> names_;
  const std::shared_ptr<IEventSink> sink_;
  std::atomic<ULONG> refs_{0};
};

}  // namespace

namespace backend {

std::vector<EventInterface::Member> ForeignSourceEvents(const DispatchPtr& object) {
  auto* com = dynamic_cast<const win::ComObject*>(object.get());
  if (com == nullptr) throw NoEvents("not a COM object");
  IID iid{};
  ComPtr<ITypeInfo> source = DefaultSource(com->get(), iid);
  std::vector<EventInterface::Member> members;
  for (auto& [id, name] : EventNames(source.get())) members.emplace_back(std::move(name), id);
  std::sort(members.begin(), members.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  return members;
}

Connection ConnectForeignEvents(const DispatchPtr& object, std::shared_ptr<IEventSink> sink) {
  auto* com = dynamic_cast<const win::ComObject*>(object.get());
  if (com == nullptr) throw NoEvents("not a COM object");
  auto container = ComPtr<::IDispatch>::Share(com->get())
                       .As<IConnectionPointContainer>(IID_IConnectionPointContainer);
  if (!container) throw NoEvents("no IConnectionPointContainer");
  IID iid{};
  ComPtr<ITypeInfo> source = DefaultSource(com->get(), iid);
  ComPtr<IConnectionPoint> point;
  HRESULT hr = container->FindConnectionPoint(iid, point.Out());
  if (FAILED(hr)) throw NoEvents("no connection point for its source interface");
  auto receiver =
      ComPtr<::IDispatch>::Share(new EventSink(iid, EventNames(source.get()), std::move(sink)));
  DWORD cookie = 0;
  win::Check(point->Advise(receiver.get(), &cookie), "IConnectionPoint::Advise");
  return Connection([point, cookie] { point->Unadvise(cookie); });
}

}  // namespace backend
}  // namespace mx::com
