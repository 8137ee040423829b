#include "platform/cqgcel/win_server/served_object.h"

#include <exception>
#include <unordered_set>
#include <vector>

#include "platform/com/com_error.h"
#include "platform/com/win/callable_wrapper.h"
#include "platform/com/win/com_object.h"
#include "platform/com/win/convert.h"
#include "platform/com/win/server_registration.h"
#include "platform/com/win/type_info.h"

namespace mx::cqgcel::win_server {
namespace {

using com::win::Narrow;

std::atomic<long> live_wrappers{0};

// One wrapper per simulator object, and the set of wrappers (to recognise them when they
// come back as arguments). Guarded by ServedObject::RegistryLock().
std::unordered_map<const com::IDispatch*, ServedObject*>& Wrappers() {
  static std::unordered_map<const com::IDispatch*, ServedObject*> wrappers;
  return wrappers;
}
std::unordered_set<const ::IDispatch*>& Served() {
  static std::unordered_set<const ::IDispatch*> served;
  return served;
}

// An argument that does not convert: Invoke answers DISP_E_TYPEMISMATCH and its position.
struct BadArgument {
  UINT index;
};

bool IsOmitted(const VARIANT& v) {
  return V_VT(&v) == VT_ERROR && V_ERROR(&v) == DISP_E_PARAMNOTFOUND;
}

}  // namespace

const ServerLibrary& ServerLibrary::Instance() {
  static const ServerLibrary library;
  return library;
}

ServerLibrary::ServerLibrary() : path_(com::win::ModulePathOf(&live_wrappers)) {
  status_ = LoadTypeLibEx(path_.c_str(), REGKIND_NONE, library_.Out());
  if (FAILED(status_)) return;
  const UINT count = library_->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    TYPEKIND kind;
    ComPtr<ITypeInfo> info;
    if (FAILED(library_->GetTypeInfoType(i, &kind)) || FAILED(library_->GetTypeInfo(i, info.Out())))
      continue;
    std::string name = com::win::MemberName(info.get(), MEMBERID_NIL);
    if (kind == TKIND_COCLASS && name == "CQGCEL") class_info_ = info;
    if (kind != TKIND_DISPATCH) continue;
    if (name == "_ICQGCELEvents") {
      event_info_ = info;
      com::win::TypeAttr attr(info.get());
      if (attr.attr) {
        event_iid_ = attr.attr->guid;
        com::win::ForEachFunction(info.get(), *attr.attr, [&](const FUNCDESC& f) {
          event_ids_.emplace(com::win::MemberName(info.get(), f.memid), f.memid);
          return true;
        });
      }
    } else if (name.size() > 1 && name[0] == 'I') {
      interfaces_.emplace(name.substr(1), info);
    }
  }
  if (!class_info_ || !event_info_ || !InterfaceFor("CQGCEL")) status_ = TYPE_E_ELEMENTNOTFOUND;
}

ITypeInfo* ServerLibrary::InterfaceFor(std::string_view type_name) const {
  auto it = interfaces_.find(std::string(type_name));
  return it == interfaces_.end() ? nullptr : it->second.get();
}

DISPID ServerLibrary::EventId(std::string_view name) const {
  auto it = event_ids_.find(std::string(name));
  return it == event_ids_.end() ? DISPID_UNKNOWN : it->second;
}

std::mutex& ServedObject::RegistryLock() {
  static std::mutex mu;
  return mu;
}

ServedObject::ServedObject(com::DispatchPtr object, ITypeInfo* info)
    : object_(std::move(object)), info_(ComPtr<ITypeInfo>::Share(info)) {
  Wrappers()[object_.get()] = this;
  Served().insert(this);
  ++live_wrappers;
}

ServedObject::~ServedObject() { --live_wrappers; }

long ServedObject::LiveCount() { return live_wrappers.load(); }

ComPtr<::IDispatch> ServedObject::For(const com::DispatchPtr& object) {
  if (!object) return {};
  if (auto* foreign = dynamic_cast<const com::win::ComObject*>(object.get())) {
    return ComPtr<::IDispatch>::Share(foreign->get());
  }
  ITypeInfo* info = ServerLibrary::Instance().InterfaceFor(object->TypeName());
  if (info == nullptr) return com::win::CallableWrapperFor(object);
  std::lock_guard lk(RegistryLock());
  ServedObject*& slot = Wrappers()[object.get()];
  if (slot == nullptr) slot = new ServedObject(object, info);
  slot->AddRef();
  return ComPtr<::IDispatch>::Attach(slot);
}

com::DispatchPtr ServedObject::Native(::IDispatch* d) {
  if (d == nullptr) return nullptr;
  std::lock_guard lk(RegistryLock());
  if (!Served().contains(d)) return nullptr;
  return static_cast<ServedObject*>(d)->object_;
}

HRESULT ServedObject::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
    *out = static_cast<::IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = QueryMore(iid);
  return *out ? S_OK : E_NOINTERFACE;
}

ULONG ServedObject::AddRef() { return ++refs_; }

ULONG ServedObject::Release() {
  // Under the registry's lock, so that For never revives a dying wrapper.
  std::unique_lock lk(RegistryLock());
  ULONG left = --refs_;
  if (left == 0) {
    auto it = Wrappers().find(object_.get());
    if (it != Wrappers().end() && it->second == this) Wrappers().erase(it);
    Served().erase(this);
    lk.unlock();
    delete this;
  }
  return left;
}

HRESULT ServedObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT ServedObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  *info = info_.get();
  info_->AddRef();
  return S_OK;
}

HRESULT ServedObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  return info_->GetIDsOfNames(names, count, ids);
}

HRESULT ServedObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* excep, UINT* arg_error) {
  std::string name;  // empty: the default member
  if (id != DISPID_VALUE) {
    name = MemberName(id);
    if (name.empty()) return DISP_E_MEMBERNOTFOUND;
  }
  if (params != nullptr && params->cNamedArgs > 0) {
    const bool put_value = params->cNamedArgs == 1 &&
                           params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT &&
                           (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF));
    if (!put_value) return DISP_E_NONAMEDARGS;
  }
  try {
    com::Variant value = Call(name, flags, params);
    if (result != nullptr && !(flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) {
      VariantInit(result);
      ToClientVariant(value, result);
    }
    return S_OK;
  } catch (const BadArgument& bad) {
    if (arg_error != nullptr) *arg_error = bad.index;
    return DISP_E_TYPEMISMATCH;
  } catch (const com::ComError& e) {
    return Raise(excep, e.code(), e.description());
  } catch (const std::exception& e) {
    return Raise(excep, com::hresult::kFail, e.what());
  }
}

std::string ServedObject::MemberName(DISPID id) {
  if (auto it = names_.find(id); it != names_.end()) return it->second;
  BSTR text = nullptr;
  UINT got = 0;
  if (FAILED(info_->GetNames(id, &text, 1, &got)) || got == 0) return {};
  std::string name = Narrow(text);
  SysFreeString(text);
  // A type library keeps one spelling of a name for all its uses ("Quantity" the property
  // and "quantity" a parameter elsewhere): the object's own spelling is the one to call.
  if (object_->Describe(name) == com::MemberKind::None) {
    for (const auto& member : object_->MemberNames()) {
      if (member.size() == name.size() &&
          CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, member.data(),
                         static_cast<int>(member.size()), name.data(),
                         static_cast<int>(name.size())) == CSTR_EQUAL) {
        name = member;
        break;
      }
    }
  }
  names_.emplace(id, name);
  return name;
}

com::Variant ServedObject::Call(const std::string& name, WORD flags, DISPPARAMS* params) {
  const UINT n = params ? params->cArgs : 0;
  // Arguments come last first; omitted ones at the end are left out altogether.
  UINT skipped = 0;
  while (skipped < n && IsOmitted(params->rgvarg[skipped])) ++skipped;
  std::vector<com::Variant> args;
  args.reserve(n - skipped);
  for (UINT i = n; i-- > skipped;) {
    try {
      args.push_back(FromClientVariant(params->rgvarg[i]));
    } catch (const com::ComError&) {
      throw BadArgument{i};
    }
  }
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    return object_->Invoke(name, com::CallKind::Put, args);
  }
  const com::MemberKind kind = name.empty() ? com::MemberKind::Method : object_->Describe(name);
  if (kind != com::MemberKind::Property) {
    return object_->Invoke(name, com::CallKind::Method, args);
  }
  com::Variant value = object_->Invoke(name, com::CallKind::Get, {});
  if (args.empty()) return value;
  if (value.type() != com::Variant::Type::Dispatch) {
    throw com::ComError(com::hresult::kBadParamCount,
                        std::string(object_->TypeName()) + "." + name + " takes no arguments");
  }
  return value.Dispatch()->Invoke("", com::CallKind::Method, args);
}

HRESULT ServedObject::Raise(EXCEPINFO* info, int32_t code, std::string_view description) const {
  if (info == nullptr) return static_cast<HRESULT>(code);
  *info = EXCEPINFO{};
  info->scode = static_cast<SCODE>(code);
  info->bstrSource = com::win::ToBstr(object_->TypeName());
  info->bstrDescription = com::win::ToBstr(description);
  return DISP_E_EXCEPTION;
}

void ToClientVariant(const com::Variant& value, VARIANT* out) {
  if (value.type() == com::Variant::Type::Dispatch) {
    V_VT(out) = VT_DISPATCH;
    V_DISPATCH(out) = ServedObject::For(value.Dispatch()).Detach();
    return;
  }
  com::win::ToVariant(value, out);
}

com::Variant FromClientVariant(const VARIANT& value) {
  ::IDispatch* d = nullptr;
  if (V_VT(&value) == VT_DISPATCH) d = V_DISPATCH(&value);
  if (V_VT(&value) == (VT_DISPATCH | VT_BYREF) && V_DISPATCHREF(&value)) d = *V_DISPATCHREF(&value);
  if (auto native = ServedObject::Native(d)) return com::Variant(std::move(native));
  return com::win::FromVariant(value);
}

}  // namespace mx::cqgcel::win_server
