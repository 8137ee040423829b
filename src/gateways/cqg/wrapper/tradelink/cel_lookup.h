// Look-ups over CQGCEL's collections, each run on the COM thread as one round trip.
//
// A walk through the marshalled cqgCEL would cost one round trip per member read; these
// post the whole walk once (com::RunInHome) and hand back the object found, bound to the
// COM thread again (a proxy) when cqgCEL is one. Plain C++: no Python, no trace lines
// (the caller writes those on its own thread).
//
// Errors: ComError from CQGCEL (a missing member, a value of the wrong kind) passes to
// the caller.
//
// Thread-safety: any thread; the *Here variants only on the COM thread (inside a task).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/dispatch.h"

namespace mx::tradelink {

// The first member of cqgCEL's collection `collection` (walked in its own order) whose
// text at `path` (member names read one after the other, e.g. {"Request", "Symbol"})
// contains `needle` (case-sensitive); null when none does.
com::DispatchPtr FindFirstContaining(const com::DispatchPtr& cqgCEL, std::string_view collection,
                                     std::initializer_list<std::string_view> path,
                                     std::string_view needle);

// One account visited by the account look-up.
struct VisitedAccount {
  int64_t id = 0;
  std::string name;
};

struct AccountWalk {
  std::vector<VisitedAccount> visited;  // in collection order, up to and including a match
  com::DispatchPtr found;               // null when no account matched
};

// Walks cqgCEL.Accounts until GWAccountID equals `id`.
AccountWalk WalkAccounts(const com::DispatchPtr& cqgCEL, int64_t id);
// The same, on the COM thread with the unwrapped cqgCEL; `found` is not re-bound.
AccountWalk WalkAccountsHere(const com::DispatchPtr& cel, int64_t id);

// `object` bound to the home thread of `cqgCEL` (a proxy when cqgCEL is one).
com::DispatchPtr BindLike(const com::DispatchPtr& cqgCEL, com::DispatchPtr object);

}  // namespace mx::tradelink
