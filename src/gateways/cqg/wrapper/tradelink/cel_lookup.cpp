#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"

#include "platform/com/com_error.h"
#include "platform/com/marshal.h"

namespace mx::tradelink {
namespace {

com::DispatchPtr RequireObject(const com::Variant& v, std::string_view what) {
  if (v.type() != com::Variant::Type::Dispatch || !v.Dispatch()) {
    throw com::ComError::TypeMismatch(std::string(what) + " is not an object");
  }
  return v.Dispatch();
}

}  // namespace

com::DispatchPtr BindLike(const com::DispatchPtr& cqgCEL, com::DispatchPtr object) {
  if (!object) return object;
  if (auto home = com::HomeOf(cqgCEL)) return com::MakeProxy(std::move(object), std::move(home));
  return object;
}

com::DispatchPtr FindFirstContaining(const com::DispatchPtr& cqgCEL, std::string_view collection,
                                     std::initializer_list<std::string_view> path,
                                     std::string_view needle) {
  com::DispatchPtr found;
  com::RunInHome(cqgCEL, [&](const com::DispatchPtr& cel) {
    auto items = RequireObject(cel->Get(collection), collection)->Enumerate();
    for (const auto& item : items) {
      com::Variant value = item;
      for (std::string_view member : path) value = RequireObject(value, member)->Get(member);
      if (value.Text().find(needle) != std::string::npos) {
        found = item.Dispatch();
        return;
      }
    }
  });
  return BindLike(cqgCEL, std::move(found));
}

AccountWalk WalkAccountsHere(const com::DispatchPtr& cel, int64_t id) {
  AccountWalk walk;
  for (const auto& item : RequireObject(cel->Get("Accounts"), "Accounts")->Enumerate()) {
    const auto& account = RequireObject(item, "account");
    VisitedAccount visited{account->Get("GWAccountID").ToInt(),
                           account->Get("GWAccountName").ToString()};
    bool match = visited.id == id;
    walk.visited.push_back(std::move(visited));
    if (match) {
      walk.found = account;
      break;
    }
  }
  return walk;
}

AccountWalk WalkAccounts(const com::DispatchPtr& cqgCEL, int64_t id) {
  AccountWalk walk;
  com::RunInHome(cqgCEL, [&](const com::DispatchPtr& cel) { walk = WalkAccountsHere(cel, id); });
  walk.found = BindLike(cqgCEL, std::move(walk.found));
  return walk;
}

}  // namespace mx::tradelink
