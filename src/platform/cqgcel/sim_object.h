// SimObject<T>: a dispatch object of the simulator. Every call and property write it
// receives (every member use except plain property reads) goes to the journal.
//
// Thread-safety: as com::Object (the home apartment's thread).
#pragma once

#include "platform/com/object.h"
#include "platform/cqgcel/control.h"

namespace mx::cqgcel {

template <class T>
class SimObject : public com::Object<T> {
 protected:
  void Observe(std::string_view name, com::CallKind kind, com::Args args) override {
    if (kind == com::CallKind::Get && args.empty() &&
        this->Describe(name) == com::MemberKind::Property) {
      return;
    }
    Control::Instance().journal().Add(T::Table().type_name(), name, kind, args);
  }
};

}  // namespace mx::cqgcel
