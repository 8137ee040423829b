// TradeLink: account subscription, balance and positions, account events.
//
// The balance and the positions are read from CQGCEL in one round trip each (the whole
// walk runs on the COM thread), then turned into host records under the module's lock.
#include <chrono>
#include <cmath>
#include <exception>
#include <thread>
#include <vector>

#include "gateways/cqg/wrapper/comhost/trace.h"
#include "gateways/cqg/wrapper/python/sink_py.h"
#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"
#include "gateways/cqg/wrapper/tradelink/cel_names.h"
#include "gateways/cqg/wrapper/tradelink/cel_tables.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"
#include "platform/com/marshal.h"
#include "platform/com/python/variant_py.h"

namespace mx::tradelink {

using com::py_glue::ToPython;
using comhost::Trace;

namespace {

// Holds the module's (non-reentrant) Python lock; acquire releases the GIL while blocked.
class ModuleLockHold {
 public:
  ModuleLockHold() : lock_(ModuleLock()) { lock_.attr("acquire")(); }
  ~ModuleLockHold() {
    try {
      lock_.attr("release")();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("releasing tradelink.lock");
    }
  }
  ModuleLockHold(const ModuleLockHold&) = delete;
  ModuleLockHold& operator=(const ModuleLockHold&) = delete;

 private:
  py::object lock_;
};

std::string NotFound(int64_t id) {
  return "GWAccountID " + std::to_string(id) + " can not be found!";
}

// One position as read from CQGCEL.
struct ReadPosition {
  Variant quantity, instrument_name, side, average_price;
};

// The failure's text as the balance line shows it.
std::string FailureText(const py::error_already_set& e) { return py::str(e.value()); }

}  // namespace

void TradeLink::subscribe_account_and_positions(int64_t id) {
  const auto& cel = this->cel();
  const auto& names = CelNames::Get();
  double pause = AccountSwitchPause();
  {
    py::gil_scoped_release release;
    cel->Put("AccountSubscriptionLevel", names.aslNone);
    std::this_thread::sleep_for(std::chrono::duration<double>(pause));
    cel->Put("AccountSubscriptionLevel", names.aslAccountUpdatesAndOrders);
  }
  Trace("Waiting for accounts coming...");
  if (!WaitEvent(*eventAccountIsReady)) Raise(PyExc_RuntimeError, "Accounts coming timeout!");
  Trace("Select account " + std::to_string(id) + ", subscribe to open positions.");
  set_GWAccountID(id);
  com::DispatchPtr account = get_account_from_gwaccountid(id);
  if (!account) Raise(PyExc_ValueError, NotFound(id));
  {
    py::gil_scoped_release release;
    account->Put("AutoSubscribeInstruments", true);
    account->Put("PositionSubcriptionLevel", names.pslSnapshotAndUpdates);
  }
  update_account_balance();
  update_positions();
}

void TradeLink::unsubscribe_account_and_positions(int64_t id) {
  const auto& cel = this->cel();
  const auto& names = CelNames::Get();
  {
    py::gil_scoped_release release;
    cel->Put("AccountSubscriptionLevel", names.aslNone);
  }
  com::DispatchPtr account = get_account_from_gwaccountid(id);
  if (!account) Raise(PyExc_ValueError, NotFound(id));
  {
    py::gil_scoped_release release;
    account->Put("AutoSubscribeInstruments", false);
    account->Put("PositionSubcriptionLevel", names.pslNoPositions);
  }
  Trace("Unsubscribe account " + std::to_string(id) + ".");
}

void TradeLink::update_account_balance() {
  ModuleLockHold hold;
  std::string failure;
  try {
    com::DispatchPtr account = get_account_from_gwaccountid(GWAccountID());
    account_balance = HostApi::Get().AccountBalance();
    if (!account) Raise(PyExc_ValueError, NotFound(GWAccountID()));
    double cash = 0, collaterals = 0, nlv = 0, margin = 0, pnl = 0, upl = 0;
    {
      py::gil_scoped_release release;
      com::RunInHome(account, [&](const com::DispatchPtr& a) {
        com::DispatchPtr summary = a->Get("Summary").Dispatch();
        cash = summary->Get("Balance", {0}).ToDouble();
        collaterals = summary->Get("Collaterals", {1}).ToDouble();
        nlv = summary->Get("NLV", {0}).ToDouble();
        margin = summary->Get("MaintenanceMargin", {1}).ToDouble();
        pnl = summary->Get("ProfitLoss", {0}).ToDouble();
        upl = summary->Get("UPL", {0}).ToDouble();
      });
    }
    py::object balance = account_balance;
    balance.attr("cash") = cash;
    balance.attr("cash_by_currency") = py::none();
    balance.attr("available_cash") = cash - collaterals;
    balance.attr("max_power_short") = py::none();
    balance.attr("net_cash_power") = nlv;
    balance.attr("maintenance_margin") = margin;
    balance.attr("realized_pnl") = pnl;
    balance.attr("unrealized_pnl") = upl;
    return;
  } catch (py::error_already_set& e) {
    failure = FailureText(e);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // The failure is reported, not raised: the line is the local time, ": " and its text.
  std::string when = py::str(NowLocal());
  comhost::WriteLine(when + ": " + failure);
}

void TradeLink::update_positions() {
  ModuleLockHold hold;
  const auto& host = HostApi::Get();
  const auto& names = CelNames::Get();
  py::list fresh;
  positions = fresh;
  int64_t id = GWAccountID();
  com::DispatchPtr account = get_account_from_gwaccountid(id);
  if (!account) Raise(PyExc_ValueError, NotFound(id));
  std::vector<ReadPosition> read;
  // A read that fails ends the walk; the positions read before it are still appended
  // (below) before the failure goes to the caller.
  std::exception_ptr walk_failure;
  {
    py::gil_scoped_release release;
    com::RunInHome(account, [&](const com::DispatchPtr& a) {
      try {
        com::DispatchPtr list = a->Get("Positions").Dispatch();
        int64_t count = list->Count();
        read.reserve(static_cast<size_t>(std::max<int64_t>(count, 0)));
        for (int64_t n = 0; n < count; ++n) {
          com::DispatchPtr p = list->Call("ItemByIndex", {Variant(n)}).Dispatch();
          ReadPosition row{p->Get("Quantity"), {}, {}, {}};
          if (row.quantity.ToBool()) {
            row.instrument_name = p->Get("InstrumentName");
            row.side = p->Get("Side");
            row.average_price = p->Get("AveragePrice");
          }
          read.push_back(std::move(row));
        }
      } catch (...) {
        walk_failure = std::current_exception();
      }
    });
  }
  for (const ReadPosition& row : read) {
    if (!row.quantity.ToBool()) continue;
    const std::string& name = row.instrument_name.Text();
    auto dot = name.rfind('.');
    std::string_view symbol =
        dot == std::string::npos ? std::string_view(name) : std::string_view(name).substr(dot + 1);
    py::object security = LookupSecurity(symbol);
    if (security.is_none()) continue;
    int64_t side = row.side.ToInt();
    py::object direction;
    if (side == names.osdBuy) {
      direction = host.LONG;
    } else if (side == names.osdSell) {
      direction = host.SHORT;
    } else {
      Raise(PyExc_ValueError, "Return CQG Position Side " + PyText(row.side) + " is invalid!");
    }
    py::object quantity =
        py::reinterpret_steal<py::object>(PyNumber_Absolute(ToPython(row.quantity).ptr()));
    if (!quantity) throw py::error_already_set();
    fresh.append(host.PositionData(py::arg("security") = security, py::arg("direction") = direction,
                                   py::arg("holding_price") = ToPython(row.average_price),
                                   py::arg("quantity") = quantity,
                                   py::arg("update_time") = NowLocal()));
  }
  if (walk_failure) std::rethrow_exception(walk_failure);
}

void TradeLink::OnAccountChanged(const Variant& change, const Variant& cqgAccount,
                                 const Variant& cqgPosition) {
  AtComBoundary([&] { HandleAccountChanged(change, cqgAccount, cqgPosition); });
}

void TradeLink::HandleAccountChanged(const Variant& change, const Variant& cqgAccount,
                                     const Variant& cqgPosition) {
  const auto& names = CelNames::Get();
  int64_t type = change.ToInt();
  auto report = [&](const char* what) {
    const auto& account = cqgAccount.Dispatch();
    const auto& position = cqgPosition.Dispatch();
    Trace(std::string("OnAccountChanged - open position is ") + what + " for " +
          PyText(account->Get("GWAccountName")) +
          " account - instrument: " + PyText(position->Get("InstrumentName")) +
          " average price: " + PyText(position->Get("AveragePrice")) +
          " quantity: " + PyText(position->Get("Quantity")) +
          " OTE: " + PyText(position->Get("OTE")) + " PL: " + PyText(position->Get("ProfitLoss")));
  };
  if (type == names.actPositionAdded) report("added");
  if (type == names.actPositionChanged) report("changed");
  if (type == names.actAccountsReloaded) {
    Trace("OnAccountChanged - Accounts are ready!");
    eventAccountIsReady->Set();
  }
}

}  // namespace mx::tradelink
