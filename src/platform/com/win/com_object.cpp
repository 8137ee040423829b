#include "platform/com/win/com_object.h"

#include <algorithm>

#include "platform/com/com_error.h"
#include "platform/com/win/callable_wrapper.h"
#include "platform/com/win/convert.h"
#include "platform/com/win/type_info.h"

namespace mx::com::win {
namespace {

// VARIANTARGs that clear themselves.
class ArgList {
 public:
  explicit ArgList(size_t n) : args_(n) {
    for (auto& a : args_) VariantInit(&a);
  }
  ~ArgList() {
    for (auto& a : args_) VariantClear(&a);
  }
  VARIANTARG* data() { return args_.data(); }
  VARIANTARG& operator[](size_t i) { return args_[i]; }

 private:
  std::vector<VARIANTARG> args_;
};

void FreeExcepInfo(EXCEPINFO& info) {
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
}

}  // namespace

ComObject::ComObject(ComPtr<::IDispatch> object) : object_(std::move(object)) {
  // COM's identity is the IUnknown; it stays valid for as long as object_ does.
  ComPtr<IUnknown> unknown = object_.As<IUnknown>(IID_IUnknown);
  identity_ = unknown ? static_cast<const void*>(unknown.get()) : object_.get();
}

DISPID ComObject::IdOf(std::string_view name) {
  {
    std::lock_guard lk(ids_mu_);
    if (auto it = ids_.find(name); it != ids_.end()) return it->second;
  }
  // Not under the lock: the call may pump and re-enter this object.
  std::wstring wide = Widen(name);
  LPOLESTR names[] = {wide.data()};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (hr == DISP_E_UNKNOWNNAME || hr == DISP_E_MEMBERNOTFOUND) {
    throw ComError::UnknownName(TypeName(), name);
  }
  Check(hr, std::string(TypeName()) + "." + std::string(name));
  std::lock_guard lk(ids_mu_);
  ids_.emplace(std::string(name), id);
  return id;
}

Variant ComObject::Invoke(std::string_view name, CallKind kind, Args args) {
  const DISPID id = name.empty() ? DISPID_VALUE : IdOf(name);
  const size_t n = args.size();
  ArgList argv(n);
  // Automation passes arguments last first.
  for (size_t i = 0; i < n; ++i) ToVariant(args[i], &argv[n - 1 - i], kind != CallKind::Put);
  DISPPARAMS params{argv.data(), nullptr, static_cast<UINT>(n), 0};
  DISPID put_id = DISPID_PROPERTYPUT;
  WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
  if (kind == CallKind::Put) {
    if (n == 0) {
      throw ComError(hresult::kBadParamCount,
                     std::string(TypeName()) + "." + std::string(name) + " takes one value");
    }
    params.rgdispidNamedArgs = &put_id;
    params.cNamedArgs = 1;
    flags = DISPATCH_PROPERTYPUT;
  }
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO info{};
  UINT arg_error = 0;
  HRESULT hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                               kind == CallKind::Put ? nullptr : &result, &info, &arg_error);
  if (hr == DISP_E_MEMBERNOTFOUND && kind == CallKind::Put &&
      args[n - 1].type() == Variant::Type::Dispatch) {
    FreeExcepInfo(info);
    info = EXCEPINFO{};
    hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUTREF, &params,
                         nullptr, &info, &arg_error);
  }
  if (FAILED(hr)) {
    VariantClear(&result);
    Fail(hr, name, info, arg_error, n);
  }
  Variant value;
  try {
    value = FromVariant(result);
  } catch (...) {
    VariantClear(&result);
    throw;
  }
  VariantClear(&result);
  return Returned(std::move(value));
}

void ComObject::Fail(HRESULT hr, std::string_view name, EXCEPINFO& info, UINT arg_error,
                     size_t arg_count) const {
  if (hr == DISP_E_EXCEPTION) throw ErrorFromExcepInfo(info);
  FreeExcepInfo(info);
  std::string member =
      std::string(TypeName()) + "." + (name.empty() ? "(default)" : std::string(name));
  // arg_error counts from the last argument; callers count from the first.
  std::string position = std::to_string(arg_count - arg_error);
  const auto code = static_cast<int32_t>(hr);
  switch (hr) {
    case DISP_E_TYPEMISMATCH:
      throw ComError(code, "Type mismatch: argument " + position + " of " + member);
    case DISP_E_PARAMNOTFOUND:
      throw ComError(code, member + " needs argument " + position);
    case DISP_E_BADPARAMCOUNT:
      throw ComError(code, member + " takes " + (arg_count == 0 ? "arguments" : "other arguments"));
    case DISP_E_MEMBERNOTFOUND:
      throw ComError(code, member + " cannot be used this way");
    default:
      throw ComError(code, member + ": " + HresultText(hr));
  }
}

void ComObject::LoadTypeInfo() const {
  std::call_once(type_once_, [this] {
    UINT count = 0;
    ComPtr<ITypeInfo> info;
    if (SUCCEEDED(object_->GetTypeInfoCount(&count)) && count > 0 &&
        SUCCEEDED(object_->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Out())) && info) {
      TypeAttr attr(info.get());
      if (attr.attr && attr.attr->typekind == TKIND_INTERFACE) {
        // A dual interface: its dispatch view lists what Invoke serves.
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> dispatch_view;
        if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
            SUCCEEDED(info->GetRefTypeInfo(ref, dispatch_view.Out()))) {
          info = dispatch_view;
        }
      }
      type_info_ = info;
      type_name_ = MemberName(info.get(), MEMBERID_NIL);
    }
    if (type_name_.empty()) type_name_ = "Object";
  });
}

ComPtr<ITypeInfo> ComObject::TypeInfo() const {
  LoadTypeInfo();
  return type_info_;
}

std::string_view ComObject::TypeName() const {
  LoadTypeInfo();
  return type_name_;
}

MemberKind ComObject::Describe(std::string_view name) const {
  ComPtr<ITypeInfo> info = TypeInfo();
  if (!info) return MemberKind::Property;  // nothing says otherwise
  std::wstring wide = Widen(name);
  LPOLESTR names[] = {wide.data()};
  MEMBERID id = MEMBERID_NIL;
  if (FAILED(info->GetIDsOfNames(names, 1, &id))) return MemberKind::None;
  TypeAttr attr(info.get());
  if (!attr.attr) return MemberKind::None;
  MemberKind kind = MemberKind::None;
  ForEachFunction(info.get(), *attr.attr, [&](const FUNCDESC& f) {
    if (f.memid == id) {
      if (f.invkind == INVOKE_PROPERTYGET && f.cParams == 0) {
        kind = MemberKind::Property;
      } else if (f.invkind == INVOKE_FUNC || f.invkind == INVOKE_PROPERTYGET) {
        kind = MemberKind::Method;
      } else if (kind == MemberKind::None) {
        kind = MemberKind::Property;  // written only
      }
    }
    return kind != MemberKind::Method;
  });
  for (UINT i = 0; kind == MemberKind::None && i < attr.attr->cVars; ++i) {
    VARDESC* v = nullptr;
    if (FAILED(info->GetVarDesc(i, &v))) continue;
    if (v->memid == id) kind = MemberKind::Property;
    info->ReleaseVarDesc(v);
  }
  return kind;
}

std::vector<std::string> ComObject::MemberNames() const {
  std::vector<std::string> names;
  ComPtr<ITypeInfo> info = TypeInfo();
  if (!info) return names;
  TypeAttr attr(info.get());
  if (!attr.attr) return names;
  auto add = [&](MEMBERID id) {
    std::string name = MemberName(info.get(), id);
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
  };
  ForEachFunction(info.get(), *attr.attr, [&](const FUNCDESC& f) {
    if ((f.wFuncFlags & (FUNCFLAG_FRESTRICTED | FUNCFLAG_FHIDDEN)) == 0) add(f.memid);
    return true;
  });
  for (UINT i = 0; i < attr.attr->cVars; ++i) {
    VARDESC* v = nullptr;
    if (FAILED(info->GetVarDesc(i, &v))) continue;
    if ((v->wVarFlags & (VARFLAG_FRESTRICTED | VARFLAG_FHIDDEN)) == 0) add(v->memid);
    info->ReleaseVarDesc(v);
  }
  return names;
}

ComPtr<::IDispatch> ComDispatchOf(const DispatchPtr& object) {
  if (auto* com = dynamic_cast<const ComObject*>(object.get())) {
    return ComPtr<::IDispatch>::Share(com->get());
  }
  return CallableWrapperFor(object);
}

}  // namespace mx::com::win
