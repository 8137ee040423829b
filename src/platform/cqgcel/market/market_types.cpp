#include "platform/cqgcel/market/market_types.h"

namespace mx::cqgcel::market {

std::string_view CqgName(QuoteType t) {
  switch (t) {
    case QuoteType::Ask:
      return "qtAsk";
    case QuoteType::Bid:
      return "qtBid";
    case QuoteType::Trade:
      return "qtTrade";
    case QuoteType::DayOpen:
      return "qtDayOpen";
    case QuoteType::DayHigh:
      return "qtDayHigh";
    case QuoteType::DayLow:
      return "qtDayLow";
    case QuoteType::YesterdaySettlement:
      return "qtYesterdaySettlement";
  }
  return "";
}

std::string_view CqgName(TickPriceType t) {
  switch (t) {
    case TickPriceType::Ask:
      return "tptAsk";
    case TickPriceType::Bid:
      return "tptBid";
    case TickPriceType::Trade:
      return "tptTrade";
  }
  return "";
}

std::string_view CqgName(OrderStatus s) {
  switch (s) {
    case OrderStatus::InTransit:
      return "osInTransit";
    case OrderStatus::InOrderBook:
      return "osInOrderBook";
    case OrderStatus::Filled:
      return "osFilled";
    case OrderStatus::Canceled:
      return "osCanceled";
    case OrderStatus::RejectGW:
      return "osRejectGW";
  }
  return "";
}

std::string_view CqgName(ChangeType c) { return c == ChangeType::Added ? "ctAdded" : "ctChanged"; }

std::string_view CqgName(OrderType t) {
  switch (t) {
    case OrderType::Market:
      return "otMarket";
    case OrderType::Limit:
      return "otLimit";
    case OrderType::Stop:
      return "otStop";
  }
  return "";
}

std::string_view CqgName(Side s) { return s == Side::Buy ? "osdBuy" : "osdSell"; }

std::string_view CqgName(FillStatus s) {
  switch (s) {
    case FillStatus::Normal:
      return "fsNormal";
    case FillStatus::Busted:
      return "fsBusted";
    case FillStatus::Modified:
      return "fsModified";
  }
  return "";
}

std::optional<OrderType> OrderTypeFromCqgName(std::string_view name) {
  for (OrderType t : {OrderType::Market, OrderType::Limit, OrderType::Stop}) {
    if (CqgName(t) == name) return t;
  }
  return std::nullopt;
}

std::optional<Side> SideFromCqgName(std::string_view name) {
  for (Side s : {Side::Buy, Side::Sell}) {
    if (CqgName(s) == name) return s;
  }
  return std::nullopt;
}

std::string_view ShortSymbol(std::string_view full_name) {
  const size_t dot = full_name.rfind('.');
  return dot == std::string_view::npos ? full_name : full_name.substr(dot + 1);
}

}  // namespace mx::cqgcel::market
