// ComObject: a COM object (any IDispatch) used through the runtime's IDispatch.
//
// Members are reached by name: GetIDsOfNames (each name asked once per object), then
// Invoke. Get and Method both invoke with DISPATCH_METHOD | DISPATCH_PROPERTYGET, as
// automation clients do, so a property that takes arguments is reached either way; Put
// invokes DISPATCH_PROPERTYPUT. The empty name is the default member (DISPID_VALUE).
// Empty arguments are passed as omitted (DISP_E_PARAMNOTFOUND); the server's type
// information supplies their defaults. Errors become ComError: the exception a member
// raises (EXCEPINFO) with its code and description, or the failed HRESULT with its text.
// Describe, TypeName and MemberNames read the object's type information.
//
// Thread-safety: an object of a single-threaded apartment is used on that apartment's
// thread; one from CoGetInterfaceAndReleaseStream on a thread outside any apartment
// (the process's multi-threaded one) may be used from any such thread.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/object.h"
#include "platform/com/win/com_ptr.h"

namespace mx::com::win {

class ComObject : public mx::com::IDispatch {
 public:
  explicit ComObject(ComPtr<::IDispatch> object);

  Variant Invoke(std::string_view name, CallKind kind, Args args) override;
  MemberKind Describe(std::string_view name) const override;
  std::string_view TypeName() const override;
  std::vector<std::string> MemberNames() const override;
  const void* Identity() const override { return identity_; }

  ::IDispatch* get() const { return object_.get(); }
  // The object's type information (the dispatch view of a dual interface), or null.
  ComPtr<ITypeInfo> TypeInfo() const;

 protected:
  // What a call returns, before the caller sees it (a marshalled object binds returned
  // objects to its home).
  virtual Variant Returned(Variant value) { return value; }

 private:
  DISPID IdOf(std::string_view name);
  void LoadTypeInfo() const;
  [[noreturn]] void Fail(HRESULT hr, std::string_view name, EXCEPINFO& info, UINT arg_error,
                         size_t arg_count) const;

  ComPtr<::IDispatch> object_;
  const void* identity_;  // the object's IUnknown: COM's identity
  std::mutex ids_mu_;
  std::unordered_map<std::string, DISPID, StringHash, std::equal_to<>> ids_;  // ids_mu_
  mutable std::once_flag type_once_;
  mutable ComPtr<ITypeInfo> type_info_;  // set once (type_once_)
  mutable std::string type_name_;        // set once (type_once_)
};

// The IDispatch to hand to COM for one of the runtime's objects: a COM object's own, or
// the callable wrapper that serves one of ours.
ComPtr<::IDispatch> ComDispatchOf(const DispatchPtr& object);

}  // namespace mx::com::win
