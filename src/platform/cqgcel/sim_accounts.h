// Accounts of the simulated CQGCEL: each with a Summary (Balance, Collaterals, NLV,
// MaintenanceMargin, ProfitLoss, UPL, OTE, each read with an index argument) and its open
// Positions; the account subscription level and its answer.
//
// Setting AccountSubscriptionLevel to aslAccountUpdatesAndOrders is answered
// ("AccountSubscriptionLevel"): succeed -> OnAccountChanged(actAccountsReloaded, None,
// None); fail -> OnDataError(error, description); fail_without_error -> no answer.
//
// A market (or a test) drives accounts through AccountArea: ApplyFill moves a position
// and raises actPositionAdded / actPositionChanged; summary values are plain fields.
//
// A new simulator holds one account: GWAccountID 100001, "SIM100001", balance and NLV
// 1,000,000, no positions.
//
// Thread-safety: everything on the simulator's home thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/cqgcel/sim_list.h"
#include "platform/cqgcel/sim_object.h"

namespace mx::cqgcel {

class Simulator;

// Summary values to set, by member name; an empty value makes the member unreadable.
using SummaryValues = std::vector<std::pair<std::string, std::optional<double>>>;

// One position as a test or a saved state gives it.
struct PositionRow {
  std::string instrument_name;
  int32_t side = 0;      // osdBuy / osdSell
  int32_t quantity = 0;  // signed: negative when short
  double average_price = 0;
  double ote = 0;
  double profit_loss = 0;
};

// Account summary: named values; an absent value cannot be read (the call fails).
class SimSummary : public SimObject<SimSummary> {
 public:
  static const com::Members<SimSummary>& Table();
  static const std::vector<std::string>& Names();  // the members, in order
  // std::invalid_argument "Unknown summary value '<name>'" unless `name` is a member.
  static void CheckName(const std::string& name);
  static void CheckNames(const SummaryValues& values);
  void Apply(const SummaryValues& values);  // checks the names first
  SimSummary();
  std::map<std::string, std::optional<double>, std::less<>> values;
};

class SimPosition : public SimObject<SimPosition>, public PositionRow {
 public:
  static const com::Members<SimPosition>& Table();
};

struct PositionsTag {
  static constexpr const char* kName = "CQGPositions";
};
using SimPositions = SimList<PositionsTag>;

class SimAccount : public SimObject<SimAccount> {
 public:
  static const com::Members<SimAccount>& Table();
  SimAccount(int32_t id, std::string name);

  int32_t gw_account_id;
  std::string gw_account_name;
  bool auto_subscribe_instruments = false;
  int32_t position_subscription_level;
  std::shared_ptr<SimSummary> summary;
  std::shared_ptr<SimPositions> positions;
};

struct AccountsTag {
  static constexpr const char* kName = "CQGAccounts";
};
using SimAccounts = SimList<AccountsTag>;

class AccountArea {
 public:
  explicit AccountArea(Simulator& sim);

  std::shared_ptr<SimAccount> Find(int64_t id) const;
  // Find, or std::invalid_argument "No account with GWAccountID <id>".
  std::shared_ptr<SimAccount> Require(int64_t id) const;
  // Replaces an account of the same id in place, else appends.
  std::shared_ptr<SimAccount> Set(int32_t id, std::string name);
  // Set, then the summary values and the positions (in that order).
  std::shared_ptr<SimAccount> Set(int32_t id, std::string name, const SummaryValues& summary,
                                  const std::vector<PositionRow>& positions);
  // Replaces the account's positions by `rows`, raising no event.
  static void SetPositions(SimAccount& account, const std::vector<PositionRow>& rows);
  bool Remove(int64_t id);
  void Clear() { accounts_->items.clear(); }
  const std::shared_ptr<SimAccounts>& accounts() const { return accounts_; }

  int32_t subscription_level() const { return subscription_level_; }
  void set_subscription_level(int32_t level) { subscription_level_ = level; }

  // Moves the account's position in `instrument_name` by a fill of `quantity` (positive)
  // on `side` at `price` and raises actPositionAdded (new position) or actPositionChanged.
  void ApplyFill(const std::shared_ptr<SimAccount>& account, const std::string& instrument_name,
                 int32_t side, int32_t quantity, double price);

 private:
  Simulator& sim_;
  std::shared_ptr<SimAccounts> accounts_;
  int32_t subscription_level_;
};

}  // namespace mx::cqgcel
