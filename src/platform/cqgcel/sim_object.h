// SimObject<T>: a dispatch object of the simulator. Before any member runs, it
//  - writes the journal: every call and property write (every member use except plain
//    property reads) when Journaled, and every read too while the journal of reads is on;
//    a call that then fails is in it all the same;
//  - raises the scripted error of a synchronous failure: a call or property write of a
//    member whose request answer is "raise" (Script::RaiseIfScripted);
//  - raises a member fault a test set on a read, or holds the read at its gate
//    (MemberFaults).
// Objects that are data the gateway reads (ticks, bars and their collections) are not
// Journaled: only the journal of reads sees them.
//
// Thread-safety: as com::Object (the home apartment's thread).
#pragma once

#include "platform/com/com_error.h"
#include "platform/com/object.h"
#include "platform/cqgcel/control.h"

namespace mx::cqgcel {

template <class T, bool Journaled = true>
class SimObject : public com::Object<T> {
 protected:
  void Observe(std::string_view name, com::CallKind kind, com::Args args) override {
    Control& control = Control::Instance();
    Journal& journal = control.journal();
    if (journal.reads() || (Journaled && !IsPlainRead(name, kind, args))) {
      journal.Add(T::Table().type_name(), name, kind, args);  // what was sent, even if it fails
    }
    if (name.empty()) return;
    if (kind != com::CallKind::Get) control.script().RaiseIfScripted(name);
    if (kind != com::CallKind::Put && control.faults().Any()) RaiseIfUnreadable(name);
  }

 private:
  bool IsPlainRead(std::string_view name, com::CallKind kind, com::Args args) const {
    return kind == com::CallKind::Get && args.empty() &&
           this->Describe(name) == com::MemberKind::Property;
  }

  void RaiseIfUnreadable(std::string_view name) {
    const auto& table = T::Table();
    T& self = static_cast<T&>(*this);
    for (const auto& fault : Control::Instance().faults().For(table.type_name(), name)) {
      bool applies = true;
      for (const auto& [member, value] : fault.where) {
        const auto* m = table.Find(member);
        try {
          applies = m != nullptr && m->call(self, {}) == value;
        } catch (const com::ComError&) {
          applies = false;  // a member that needs arguments never matches
        }
        if (!applies) break;
      }
      if (!applies) continue;
      if (fault.gate) {
        fault.gate->Arrive();
        continue;
      }
      throw com::ComError(fault.code != 0 ? fault.code : com::hresult::kFail,
                          fault.description.empty()
                              ? table.type_name() + "." + std::string(name) + " is not available"
                              : fault.description);
    }
  }
};

}  // namespace mx::cqgcel
