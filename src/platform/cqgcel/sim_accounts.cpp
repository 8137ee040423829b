#include "platform/cqgcel/sim_accounts.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "platform/com/com_error.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/sim_members.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using com::Args;
using com::Members;
using com::Variant;

const std::vector<std::string>& SimSummary::Names() {
  static const std::vector<std::string> names = {
      "Balance", "Collaterals", "NLV", "MaintenanceMargin", "ProfitLoss", "UPL", "OTE"};
  return names;
}

void SimSummary::CheckName(const std::string& name) {
  const auto& names = Names();
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    throw std::invalid_argument("Unknown summary value '" + name + "'");
  }
}

void SimSummary::CheckNames(const SummaryValues& values) {
  for (const auto& [name, value] : values) CheckName(name);
}

void SimSummary::Apply(const SummaryValues& updates) {
  CheckNames(updates);
  for (const auto& [name, value] : updates) values[name] = value;
}

SimSummary::SimSummary() {
  for (const auto& name : Names()) values[name] = 0.0;
}

const Members<SimSummary>& SimSummary::Table() {
  static const auto table = [] {
    Members<SimSummary> t("CQGAccountSummary");
    for (const auto& name : Names()) {
      t.Indexed(name, [name](SimSummary& s, Args a) {
        com::Arg(a, 0, name);  // the index (currency) argument; one value serves every index
        auto it = s.values.find(name);
        if (it == s.values.end() || !it->second) {
          throw com::ComError(com::hresult::kFail, "Summary." + name + " is not available");
        }
        return Variant(*it->second);
      });
    }
    return t;
  }();
  return table;
}

const Members<SimPosition>& SimPosition::Table() {
  using P = SimPosition;
  // The fields are PositionRow's: each is named with its type.
  static const auto table = Members<P>("CQGPosition")
                                .Field<std::string>("InstrumentName", &P::instrument_name, false)
                                .Field<int32_t>("Side", &P::side, false)
                                .Field<int32_t>("Quantity", &P::quantity, false)
                                .Field<double>("AveragePrice", &P::average_price, false)
                                .Field<double>("OTE", &P::ote, false)
                                .Field<double>("ProfitLoss", &P::profit_loss, false);
  return table;
}

SimAccount::SimAccount(int32_t id, std::string name)
    : gw_account_id(id),
      gw_account_name(std::move(name)),
      position_subscription_level(Constant("pslNoPositions")),
      summary(std::make_shared<SimSummary>()),
      positions(std::make_shared<SimPositions>()) {}

const Members<SimAccount>& SimAccount::Table() {
  using A = SimAccount;
  static const auto table =
      Members<A>("CQGAccount")
          .Field("GWAccountID", &A::gw_account_id, false)
          .Field("GWAccountName", &A::gw_account_name, false)
          .Field("AutoSubscribeInstruments", &A::auto_subscribe_instruments)
          // CQG spells it with one s.
          .Field("PositionSubcriptionLevel", &A::position_subscription_level)
          .Property("Summary", [](A& a) { return Variant(com::DispatchPtr(a.summary)); })
          .Property("Positions", [](A& a) { return Variant(com::DispatchPtr(a.positions)); });
  return table;
}

AccountArea::AccountArea(Simulator& sim)
    : sim_(sim),
      accounts_(std::make_shared<SimAccounts>()),
      subscription_level_(Constant("aslNone")) {
  auto account = Set(100001, "SIM100001");
  account->summary->values["Balance"] = 1'000'000.0;
  account->summary->values["NLV"] = 1'000'000.0;
}

std::shared_ptr<SimAccount> AccountArea::Find(int64_t id) const {
  for (const auto& item : accounts_->items) {
    auto account = std::static_pointer_cast<SimAccount>(item);
    if (account->gw_account_id == id) return account;
  }
  return nullptr;
}

std::shared_ptr<SimAccount> AccountArea::Require(int64_t id) const {
  auto account = Find(id);
  if (!account) throw std::invalid_argument("No account with GWAccountID " + std::to_string(id));
  return account;
}

std::shared_ptr<SimAccount> AccountArea::Set(int32_t id, std::string name,
                                             const SummaryValues& summary,
                                             const std::vector<PositionRow>& positions) {
  SimSummary::CheckNames(summary);  // nothing changes for a bad name
  auto account = Set(id, std::move(name));
  account->summary->Apply(summary);
  SetPositions(*account, positions);
  return account;
}

void AccountArea::SetPositions(SimAccount& account, const std::vector<PositionRow>& rows) {
  auto& items = account.positions->items;
  items.clear();
  for (const auto& row : rows) {
    auto p = std::make_shared<SimPosition>();
    static_cast<PositionRow&>(*p) = row;
    items.push_back(std::move(p));
  }
}

std::shared_ptr<SimAccount> AccountArea::Set(int32_t id, std::string name) {
  auto account = std::make_shared<SimAccount>(id, std::move(name));
  for (auto& item : accounts_->items) {
    if (std::static_pointer_cast<SimAccount>(item)->gw_account_id == id) {
      item = account;
      return account;
    }
  }
  accounts_->items.push_back(account);
  return account;
}

bool AccountArea::Remove(int64_t id) {
  auto& items = accounts_->items;
  for (auto it = items.begin(); it != items.end(); ++it) {
    if (std::static_pointer_cast<SimAccount>(*it)->gw_account_id == id) {
      items.erase(it);
      return true;
    }
  }
  return false;
}

void AccountArea::ApplyFill(const std::shared_ptr<SimAccount>& account,
                            const std::string& instrument_name, int32_t side, int32_t quantity,
                            double price) {
  const int32_t buy = Constant("osdBuy");
  std::shared_ptr<SimPosition> position;
  for (const auto& item : account->positions->items) {
    auto p = std::static_pointer_cast<SimPosition>(item);
    if (p->instrument_name == instrument_name) position = p;
  }
  bool added = !position;
  if (added) {
    position = std::make_shared<SimPosition>();
    position->instrument_name = instrument_name;
    account->positions->items.push_back(position);
  }
  int32_t signed_fill = side == buy ? quantity : -quantity;
  int32_t before = position->quantity;
  int32_t after = before + signed_fill;
  if (before == 0 || (before > 0) != (after > 0) || after == 0) {
    position->average_price = after == 0 ? position->average_price : price;
  } else if (std::abs(after) > std::abs(before)) {
    position->average_price =
        (position->average_price * std::abs(before) + price * quantity) / std::abs(after);
  }
  position->quantity = after;
  position->side = after >= 0 ? buy : Constant("osdSell");
  sim_.Fire(EventId::OnAccountChanged,
            {Variant(Constant(added ? "actPositionAdded" : "actPositionChanged")),
             Variant(com::DispatchPtr(account)), Variant(com::DispatchPtr(position))});
}

void AddAccountMembers(Members<Simulator>& table) {
  // Accounts and positions are the broker's; the subscription is the session's.
  Simulator::AddSessionHook(
      [](Simulator& s) { s.Area<AccountArea>().set_subscription_level(Constant("aslNone")); });
  // Accounts are reported a moment after the switch, as a real gateway does.
  Control::Instance().script().SetDefault("AccountSubscriptionLevel",
                                          Answer::Succeed(std::chrono::milliseconds(2)));
  table
      .Property(
          "Accounts",
          [](Simulator& s) { return Variant(com::DispatchPtr(s.Area<AccountArea>().accounts())); })
      .Property(
          "AccountSubscriptionLevel",
          [](Simulator& s) { return Variant(s.Area<AccountArea>().subscription_level()); },
          [](Simulator& s, const Variant& v) {
            int32_t level = v.ToInt32();
            s.Area<AccountArea>().set_subscription_level(level);
            if (level != Constant("aslAccountUpdatesAndOrders")) return;
            s.Respond("AccountSubscriptionLevel", [](Simulator& s, const Outcome& o) {
              if (o.failed) {
                if (o.error) {
                  s.Fire(EventId::OnDataError, {Variant(o.error), Variant(o.description)});
                }
                return;
              }
              s.Fire(EventId::OnAccountChanged,
                     {Variant(Constant("actAccountsReloaded")), Variant(), Variant()});
            });
          });
}

}  // namespace mx::cqgcel
