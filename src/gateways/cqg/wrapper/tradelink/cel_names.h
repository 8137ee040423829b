// The CQGCEL type-library constants the gateway compares with, looked up by name.
//
// Values come from the library the COM host uses (comhost::CelTypeLibrary: the created
// server's own), so another CQGCEL server with other numbers works unchanged. They are
// looked up once per library; CurrentTable rebuilds a table derived from them when the
// library changes.
//
// Thread-safety: Get() and CurrentTable() may be called from any thread after the module
// has loaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace mx::tradelink {

struct CelNames {
  // Connection statuses and data levels.
  int32_t csConnectionUp, csConnectionDown, dsQuotesAndBBA;
  // Quote types.
  int32_t qtAsk, qtBid, qtCohUndAsk, qtCohUndBid, qtDayHigh, qtDayLow, qtDayOpen, qtImpliedAsk,
      qtImpliedBid, qtIndicativeOpen, qtMarker, qtOutrightAsk, qtOutrightBid, qtSettlement,
      qtTodayMarker, qtTrade, qtYesterdaySettlement;
  // Tick requests.
  int32_t trtCurrentNotify, tfAll, tptAsk, tptBid, tptSettlement, tptTrade;
  // Timed bars.
  int32_t hpDaily, pfds1Min, dbcLastQuoteOrSettlement, tbrContractVolume, tbrCommodityVolume;
  // Orders: types, sides, statuses, properties, fills, change types.
  int32_t otLimit, otMarket, otStop, osdBuy, osdSell;
  int32_t osActiveAt, osContingent, osInCancel, osInClient, osInModify, osInTransit, osNotSent,
      osParked, osInOrderBook, osFilled, osBusted, osCanceled, osRejectFCM, osRejectGW,
      osDisconnected, osExpired, osInTransitTimeout;
  int32_t opGWStatus, opGUID, opEventServerTimestamp, opAverageFillPrice, opFilledQuantity;
  int32_t fsNormal, ctAdded, ctChanged, ctRemoved;
  // Accounts.
  int32_t actPositionAdded, actPositionChanged, actAccountsReloaded;
  int32_t aslNone, aslAccountUpdatesAndOrders, pslNoPositions, pslSnapshotAndUpdates;

  const void* library = nullptr;  // the type library these values come from

  // Throws ComError (TYPE_E_ELEMENTNOTFOUND) when a name is missing (the COM host refuses
  // such a library first).
  static const CelNames& Get();
};

// A table built from the current names by `build`, rebuilt when they change (a new type
// library); every table built stays alive, so a reference never dangles.
template <class T, T (*build)(const CelNames&)>
const T& CurrentTable() {
  struct Built {
    const CelNames* names;
    T table;
  };
  static std::atomic<const Built*> current{nullptr};
  static std::mutex mu;
  const CelNames& names = CelNames::Get();
  const Built* b = current.load(std::memory_order_acquire);
  if (b != nullptr && b->names == &names) return b->table;
  std::lock_guard lk(mu);
  b = current.load(std::memory_order_acquire);
  if (b == nullptr || b->names != &names) {
    b = new Built{&names, build(names)};  // kept for the process (see above)
    current.store(b, std::memory_order_release);
  }
  return b->table;
}

}  // namespace mx::tradelink
