#include "gateways/cqg/wrapper/tradelink/cel_tables.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "gateways/cqg/wrapper/tradelink/cel_names.h"

namespace mx::tradelink {

namespace {

std::vector<QuoteTypeEntry> QuoteTypes(const CelNames& n) {
  using F = QuoteField;
  return std::vector<QuoteTypeEntry>{
      {n.qtAsk, "Best ask", F::kAsk},
      {n.qtBid, "Best bid", F::kBid},
      {n.qtCohUndAsk, "Coherent underlying price for the best ask", F::kNone},
      {n.qtCohUndBid, "Coherent underlying price for the best bid", F::kNone},
      {n.qtDayHigh, "Current day high price", F::kHigh},
      {n.qtDayLow, "Current day low price", F::kLow},
      {n.qtDayOpen, "Day open price", F::kOpen},
      {n.qtImpliedAsk, "Implied best ask", F::kNone},
      {n.qtImpliedBid, "Implied best bid", F::kNone},
      {n.qtIndicativeOpen, "Indicative open", F::kNone},
      {n.qtMarker, "Marker price", F::kNone},
      {n.qtOutrightAsk, "Outright best ask", F::kNone},
      {n.qtOutrightBid, "Outright best bid", F::kNone},
      {n.qtSettlement, "Settlement price", F::kNone},
      {n.qtTodayMarker, "Marker price", F::kNone},
      {n.qtTrade, "Last trade price", F::kLast},
      {n.qtYesterdaySettlement, "Yesterday's settlement price", F::kPrevClose},
  };
}

struct StatusRow {
  int32_t status;
  HostStatus host;
};

std::vector<StatusRow> StatusRows(const CelNames& n) {
  using H = HostStatus;
  return std::vector<StatusRow>{
      {n.osActiveAt, H::kUnknown},        {n.osContingent, H::kUnknown},
      {n.osInCancel, H::kUnknown},        {n.osInClient, H::kUnknown},
      {n.osInModify, H::kUnknown},        {n.osInTransit, H::kUnknown},
      {n.osNotSent, H::kUnknown},         {n.osParked, H::kUnknown},
      {n.osInOrderBook, H::kSubmitted},   {n.osFilled, H::kFilled},
      {n.osBusted, H::kFilled},           {n.osCanceled, H::kCancelled},
      {n.osRejectFCM, H::kFailed},        {n.osRejectGW, H::kFailed},
      {n.osDisconnected, H::kFailed},     {n.osExpired, H::kFailed},
      {n.osInTransitTimeout, H::kFailed},
  };
}

}  // namespace

const QuoteTypeEntry* FindQuoteType(int64_t value) {
  const auto& table = CurrentTable<std::vector<QuoteTypeEntry>, QuoteTypes>();
  for (const auto& e : table) {
    if (e.value == value) return &e;
  }
  return nullptr;
}

bool TranslateOrderStatus(int64_t status, HostStatus* out) {
  const auto& rows = CurrentTable<std::vector<StatusRow>, StatusRows>();
  for (const auto& r : rows) {
    if (r.status == status) {
      *out = r.host;
      return true;
    }
  }
  return false;
}

std::string PyText(const com::Variant& value) {
  if (value.type() != com::Variant::Type::Double) return value.ToString();
  double d = value.ToDouble();
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  std::string text(buf, end);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace mx::tradelink
