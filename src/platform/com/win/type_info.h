// Reading an ITypeInfo: its TYPEATTR (TypeAttr, released when the guard goes), its
// functions one by one (ForEachFunction), and a member's name (MemberName).
//
// Thread-safety: as the ITypeInfo it reads; a guard is used on one thread.
#pragma once

#include <string>

#include "platform/com/win/convert.h"
#include "platform/com/win/windows_headers.h"

namespace mx::com::win {

// attr is null when GetTypeAttr failed.
struct TypeAttr {
  ITypeInfo* info;
  TYPEATTR* attr = nullptr;
  explicit TypeAttr(ITypeInfo* i) : info(i) { info->GetTypeAttr(&attr); }
  ~TypeAttr() {
    if (attr) info->ReleaseTypeAttr(attr);
  }
  TypeAttr(const TypeAttr&) = delete;
  TypeAttr& operator=(const TypeAttr&) = delete;
};

// Calls `visit(const FUNCDESC&)` for each function of `info` (whose attributes are
// `attr`) that can be read, until it returns false.
template <class Visit>
void ForEachFunction(ITypeInfo* info, const TYPEATTR& attr, Visit&& visit) {
  for (UINT i = 0; i < attr.cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    if (FAILED(info->GetFuncDesc(i, &f))) continue;
    const bool go_on = visit(static_cast<const FUNCDESC&>(*f));
    info->ReleaseFuncDesc(f);
    if (!go_on) return;
  }
}

// The name of member `id` (MEMBERID_NIL: of the type itself); empty when it has none.
inline std::string MemberName(ITypeInfo* info, MEMBERID id) {
  BSTR name = nullptr;
  if (FAILED(info->GetDocumentation(id, &name, nullptr, nullptr, nullptr))) return {};
  std::string out = Narrow(name);
  SysFreeString(name);
  return out;
}

}  // namespace mx::com::win
