// The CQGCEL type-library constants the gateway compares with, looked up by name once.
//
// Values come from the library that comhost loaded (never from the simulator directly), so
// another CQGCEL backend with other numbers works unchanged.
//
// Thread-safety: Get() may be called from any thread after the module has loaded.
#pragma once

#include <cstdint>

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

  // Throws ComError (TYPE_E_ELEMENTNOTFOUND) on first use when a name is missing.
  static const CelNames& Get();
};

}  // namespace mx::tradelink
