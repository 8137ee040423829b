// TypeAttr: a type info's TYPEATTR, released when the guard goes (attr is null when
// GetTypeAttr failed).
//
// Thread-safety: as the ITypeInfo it reads; a guard is used on one thread.
#pragma once

#include "platform/com/win/windows_headers.h"

namespace mx::com::win {

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

}  // namespace mx::com::win
