#include "gateways/cqg/wrapper/tradelink/cel_names.h"

#include "gateways/cqg/wrapper/comhost/com_host.h"

namespace mx::tradelink {

namespace {

CelNames Read(const com::TypeLibrary& lib) {
  CelNames n{};
  n.library = &lib;
#define CEL(name) n.name = lib.Constant(#name)
  CEL(csConnectionUp);
  CEL(csConnectionDown);
  CEL(dsQuotesAndBBA);
  CEL(qtAsk);
  CEL(qtBid);
  CEL(qtCohUndAsk);
  CEL(qtCohUndBid);
  CEL(qtDayHigh);
  CEL(qtDayLow);
  CEL(qtDayOpen);
  CEL(qtImpliedAsk);
  CEL(qtImpliedBid);
  CEL(qtIndicativeOpen);
  CEL(qtMarker);
  CEL(qtOutrightAsk);
  CEL(qtOutrightBid);
  CEL(qtSettlement);
  CEL(qtTodayMarker);
  CEL(qtTrade);
  CEL(qtYesterdaySettlement);
  CEL(trtCurrentNotify);
  CEL(tfAll);
  CEL(tptAsk);
  CEL(tptBid);
  CEL(tptSettlement);
  CEL(tptTrade);
  CEL(hpDaily);
  CEL(pfds1Min);
  CEL(dbcLastQuoteOrSettlement);
  CEL(tbrContractVolume);
  CEL(tbrCommodityVolume);
  CEL(otLimit);
  CEL(otMarket);
  CEL(otStop);
  CEL(osdBuy);
  CEL(osdSell);
  CEL(osActiveAt);
  CEL(osContingent);
  CEL(osInCancel);
  CEL(osInClient);
  CEL(osInModify);
  CEL(osInTransit);
  CEL(osNotSent);
  CEL(osParked);
  CEL(osInOrderBook);
  CEL(osFilled);
  CEL(osBusted);
  CEL(osCanceled);
  CEL(osRejectFCM);
  CEL(osRejectGW);
  CEL(osDisconnected);
  CEL(osExpired);
  CEL(osInTransitTimeout);
  CEL(opGWStatus);
  CEL(opGUID);
  CEL(opEventServerTimestamp);
  CEL(opAverageFillPrice);
  CEL(opFilledQuantity);
  CEL(fsNormal);
  CEL(ctAdded);
  CEL(ctChanged);
  CEL(ctRemoved);
  CEL(actPositionAdded);
  CEL(actPositionChanged);
  CEL(actAccountsReloaded);
  CEL(aslNone);
  CEL(aslAccountUpdatesAndOrders);
  CEL(pslNoPositions);
  CEL(pslSnapshotAndUpdates);
#undef CEL
  return n;
}

}  // namespace

const CelNames& CelNames::Get() {
  static std::atomic<const CelNames*> current{nullptr};
  static std::mutex mu;
  const com::TypeLibrary& lib = comhost::CelTypeLibrary();
  const CelNames* n = current.load(std::memory_order_acquire);
  if (n != nullptr && n->library == &lib) return *n;
  std::lock_guard lk(mu);
  n = current.load(std::memory_order_acquire);
  if (n == nullptr || n->library != &lib) {
    n = new CelNames(Read(lib));  // kept for the process: references to it stay valid
    current.store(n, std::memory_order_release);
  }
  return *n;
}

}  // namespace mx::tradelink
