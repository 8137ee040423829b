#include "platform/com/win/callable_wrapper.h"

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/com/com_error.h"
#include "platform/com/win/convert.h"

namespace mx::com::win {
namespace {

class Wrapper;
std::mutex registry_mu;
// One wrapper per object; a wrapper leaves on its last Release. Each module (program or
// DLL) that links the runtime has its own registry, so a wrapper is recognised only by
// the module that made it, and a proxy (never in the registry) costs no round trip.
std::unordered_map<const mx::com::IDispatch*, Wrapper*>& Registry() {
  static std::unordered_map<const mx::com::IDispatch*, Wrapper*> registry;
  return registry;
}
std::unordered_set<const ::IDispatch*>& Wrappers() {
  static std::unordered_set<const ::IDispatch*> wrappers;
  return wrappers;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::towlower(static_cast<unsigned char>(x)) ==
                  std::towlower(static_cast<unsigned char>(y));
         });
}

class Wrapper final : public ::IDispatch {
 public:
  explicit Wrapper(DispatchPtr object) : object_(std::move(object)) {}

  const DispatchPtr& object() const { return object_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
      *out = static_cast<::IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    // Under the registry's lock, so that CallableWrapperFor never revives a dying wrapper.
    std::unique_lock lk(registry_mu);
    ULONG left = --refs_;
    if (left == 0) {
      Registry().erase(object_.get());
      Wrappers().erase(this);
      lk.unlock();
      delete this;
    }
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

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;  // no named arguments
    std::string name = Narrow(names[0], wcslen(names[0]));
    if (object_->Describe(name) == MemberKind::None) {
      std::string found;
      for (const auto& member : object_->MemberNames()) {
        if (SameIgnoringCase(member, name)) found = member;
      }
      if (found.empty()) {
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
      }
      name = std::move(found);
    }
    std::lock_guard lk(names_mu_);
    auto it = std::find(names_.begin(), names_.end(), name);
    if (it == names_.end()) it = names_.insert(names_.end(), std::move(name));
    ids[0] = static_cast<DISPID>(it - names_.begin()) + 1;
    if (count > 1) return DISP_E_UNKNOWNNAME;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* info, UINT* arg_error) override {
    std::string name;
    if (id != DISPID_VALUE) {
      std::lock_guard lk(names_mu_);
      if (id < 1 || static_cast<size_t>(id) > names_.size()) return DISP_E_MEMBERNOTFOUND;
      name = names_[static_cast<size_t>(id) - 1];
    }
    CallKind kind = CallKind::Method;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      kind = CallKind::Put;
    } else if (flags & DISPATCH_PROPERTYGET) {
      kind = (flags & DISPATCH_METHOD) && !name.empty() &&
                     object_->Describe(name) != MemberKind::Property
                 ? CallKind::Method
                 : CallKind::Get;
    }
    const UINT n = params ? params->cArgs : 0;
    std::vector<Variant> args;
    args.reserve(n);
    try {
      // Automation passes arguments last first; a put's value (rgvarg[0]) ends up last.
      for (UINT i = n; i-- > 0;) {
        try {
          args.push_back(FromVariant(params->rgvarg[i]));
        } catch (const ComError&) {
          if (arg_error) *arg_error = i;
          return DISP_E_TYPEMISMATCH;
        }
      }
      Variant value = object_->Invoke(name, kind, args);
      if (result != nullptr && kind != CallKind::Put) {
        VariantInit(result);
        ToVariant(value, result);
      }
      return S_OK;
    } catch (const ComError& e) {
      return Raise(info, e.code(), e.description());
    } catch (const std::exception& e) {
      return Raise(info, hresult::kFail, e.what());
    }
  }

 private:
  HRESULT Raise(EXCEPINFO* info, int32_t code, std::string_view description) {
    if (info == nullptr) return static_cast<HRESULT>(code);
    *info = EXCEPINFO{};
    info->scode = static_cast<SCODE>(code);
    info->bstrSource = ToBstr(object_->TypeName());
    info->bstrDescription = ToBstr(description);
    return DISP_E_EXCEPTION;
  }

  DispatchPtr object_;
  std::atomic<ULONG> refs_{0};
  std::mutex names_mu_;
  std::vector<std::string> names_;  // DISPID n is names_[n - 1]; guarded by names_mu_
};

}  // namespace

ComPtr<::IDispatch> CallableWrapperFor(const DispatchPtr& object) {
  if (!object) return {};
  std::lock_guard lk(registry_mu);
  Wrapper*& slot = Registry()[object.get()];
  if (slot == nullptr) {
    slot = new Wrapper(object);
    Wrappers().insert(slot);
  }
  slot->AddRef();
  return ComPtr<::IDispatch>::Attach(slot);
}

DispatchPtr WrappedObject(::IDispatch* d) {
  if (d == nullptr) return nullptr;
  std::lock_guard lk(registry_mu);
  if (!Wrappers().contains(d)) return nullptr;
  return static_cast<Wrapper*>(d)->object();
}

}  // namespace mx::com::win
