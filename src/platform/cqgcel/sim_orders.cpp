#include "platform/cqgcel/sim_orders.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "platform/com/com_error.h"
#include "platform/com/marshal.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/sim_accounts.h"
#include "platform/cqgcel/sim_clock.h"
#include "platform/cqgcel/sim_connection.h"
#include "platform/cqgcel/sim_instruments.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/sim_members.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using com::Args;
using com::Members;
using com::Variant;

namespace {

std::shared_ptr<SimOrder> Self(SimOrder& o) {
  return std::static_pointer_cast<SimOrder>(o.shared_from_this());
}

std::shared_ptr<Simulator> RequireSimulator(const std::weak_ptr<Simulator>& sim) {
  auto s = sim.lock();
  if (!s) throw com::ComError::Disconnected();
  return s;
}

}  // namespace

const Members<SimFill>& SimFill::Table() {
  using F = SimFill;
  static const auto table =
      Members<F>("CQGFill")
          // The fields are FillValues': each is named with its type.
          .Field<com::Variant>("Id", &F::id, false)
          .Field<int32_t>("Status", &F::status, false)
          .Field<com::DateTime>("Timestamp", &F::timestamp, false)
          .Field<double>("Price", &F::price, false)
          .Field<int32_t>("Quantity", &F::quantity, false)
          .Property("Order", [](F& f) { return Variant(com::DispatchPtr(f.order.lock())); });
  return table;
}

const Members<SimFills>& SimFills::Table() {
  static const auto table = ListMembers<SimFills>("CQGFills");
  return table;
}

const Members<SimOrderProperty>& SimOrderProperty::Table() {
  static const auto table =
      Members<SimOrderProperty>("CQGOrderProperty").Field("Value", &SimOrderProperty::value, false);
  return table;
}

const Members<SimOrderProperties>& SimOrderProperties::Table() {
  using P = SimOrderProperties;
  static const auto table = Members<P>("CQGOrderProperties")
                                .Property("Count", [](P&) { return Variant(12); })
                                .Method("Item", [](P& p, Args a) {
                                  int32_t op = com::Arg(a, 0, "Item").ToInt32();
                                  return Variant(com::DispatchPtr(
                                      std::make_shared<SimOrderProperty>(p.order->Property(op))));
                                });
  return table;
}

std::shared_ptr<SimFill> SimFill::Make(std::shared_ptr<SimOrder> order, const FillValues& values) {
  auto fill = std::make_shared<SimFill>();
  static_cast<FillValues&>(*fill) = values;
  fill->order = std::move(order);
  return fill;
}

std::shared_ptr<SimOrder> SimOrder::From(const com::DispatchPtr& object) {
  return object ? std::dynamic_pointer_cast<SimOrder>(com::Unwrap(object)) : nullptr;
}

SimOrder::SimOrder(Simulator& sim, std::string id)
    : guid(std::move(id)), status(Constant("osNotSent")), timestamp(NowLocal()), sim_(sim.self()) {}

bool SimOrder::IsFinal() const {
  for (const char* name : {"osFilled", "osCanceled", "osRejectGW", "osRejectFCM", "osExpired",
                           "osBusted", "osDisconnected", "osInTransitTimeout"}) {
    if (status == Constant(name)) return true;
  }
  return false;
}

Variant SimOrder::Property(int32_t op) const {
  auto optional = [](const std::optional<double>& v) { return v ? Variant(*v) : Variant(); };
  if (op == Constant("opGWStatus")) return Variant(status);
  if (op == Constant("opGUID")) return Variant(guid);
  if (op == Constant("opEventServerTimestamp")) return Variant(timestamp);
  if (op == Constant("opAverageFillPrice")) return Variant(average_fill_price);
  if (op == Constant("opFilledQuantity")) return Variant(filled_quantity);
  if (op == Constant("opQuantity")) return Variant(quantity);
  if (op == Constant("opLimitPrice")) return optional(limit_price);
  if (op == Constant("opStopPrice")) return optional(stop_price);
  if (op == Constant("opSide")) return Variant(side);
  if (op == Constant("opOrderType")) return Variant(order_type);
  if (op == Constant("opInstrumentName")) return Variant(instrument_name);
  if (op == Constant("opGWAccountID")) return Variant(gw_account_id);
  throw com::ComError(com::hresult::kBadIndex,
                      "Order.Properties: unknown property " + std::to_string(op));
}

const Members<SimOrder>& SimOrder::Table() {
  using O = SimOrder;
  static const auto table =
      Members<O>("CQGOrder")
          .Field("GUID", &O::guid, false)
          .Field("Manual", &O::manual)
          .Field("GWStatus", &O::status, false)
          .Field("Quantity", &O::quantity, false)
          .Field("Side", &O::side, false)
          .Field("Type", &O::order_type, false)
          .Field("FilledQuantity", &O::filled_quantity, false)
          .Field("AverageFillPrice", &O::average_fill_price, false)
          .Field("InstrumentName", &O::instrument_name, false)
          .Field("GWAccountID", &O::gw_account_id, false)
          .Property("Instrument", [](O& o) { return Variant(o.instrument); })
          .Property("Account", [](O& o) { return Variant(o.account); })
          .Property(
              "Fills",
              [](O& o) { return Variant(com::DispatchPtr(std::make_shared<SimFills>(o.fills))); })
          .Property(
              "Properties",
              [](O& o) {
                return Variant(com::DispatchPtr(std::make_shared<SimOrderProperties>(Self(o))));
              })
          .Method("Place",
                  [](O& o, Args) {
                    RequireSimulator(o.sim_)->Area<OrderArea>().Place(Self(o));
                    return Variant();
                  })
          .Method("Cancel", [](O& o, Args) {
            RequireSimulator(o.sim_)->Area<OrderArea>().Cancel(Self(o));
            return Variant();
          });
  return table;
}

std::shared_ptr<SimOrder> SimOrders::Find(std::string_view guid) const {
  for (const auto& order : items) {
    if (order->guid == guid) return order;
  }
  return nullptr;
}

const Members<SimOrders>& SimOrders::Table() {
  using L = SimOrders;
  static const auto table = ListMembers<L>("CQGOrders").Method("ItemByGuid", [](L& l, Args a) {
    const std::string& guid = com::Arg(a, 0, "ItemByGuid").Text();
    auto order = l.Find(guid);
    if (!order) {
      throw com::ComError(com::hresult::kBadIndex, "CQGOrders: no order with GUID '" + guid + "'");
    }
    return Variant(com::DispatchPtr(order));
  });
  return table;
}

OrderArea::OrderArea(Simulator& sim) : sim_(sim), orders_(std::make_shared<SimOrders>()) {}

namespace {
// Drawn once per process, so order GUIDs stay unique across runs that share a database.
uint32_t ProcessGuidPrefix() {
  static const uint32_t prefix = std::random_device{}();
  return prefix;
}
}  // namespace

std::shared_ptr<SimOrder> OrderArea::Create(std::string guid) {
  if (guid.empty()) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012llx", ProcessGuidPrefix(),
                  static_cast<unsigned long long>(next_order_++));
    guid = buf;
  }
  auto order = std::make_shared<SimOrder>(sim_, std::move(guid));
  orders_->items.push_back(order);
  return order;
}

std::shared_ptr<SimOrder> OrderArea::Add(const OrderValues& v) {
  auto order = Create(v.guid);
  order->status = v.status;
  order->order_type = v.order_type;
  order->quantity = v.quantity;
  order->side = v.side;
  order->filled_quantity = v.filled_quantity;
  order->average_fill_price = v.average_fill_price;
  order->limit_price = v.limit_price;
  order->stop_price = v.stop_price;
  if (v.timestamp) order->timestamp = *v.timestamp;
  order->instrument_name = v.instrument_name;
  order->gw_account_id = v.gw_account_id;
  order->placed = v.placed;
  return order;
}

std::shared_ptr<SimOrder> OrderArea::Require(const std::string& guid) const {
  auto order = orders_->Find(guid);
  if (!order) throw std::invalid_argument("No order with GUID '" + guid + "'");
  return order;
}

void OrderArea::SetStatus(const std::shared_ptr<SimOrder>& order, int32_t status, int32_t change) {
  order->status = status;
  order->timestamp = NowLocal();
  sim_.Fire(EventId::OnOrderChanged,
            {Variant(change), Variant(com::DispatchPtr(order)), Variant(), Variant(), Variant()});
}

std::shared_ptr<SimFill> OrderArea::MakeFill(const std::shared_ptr<SimOrder>& order,
                                             int32_t quantity, double price, int32_t status,
                                             std::optional<com::DateTime> timestamp) {
  return SimFill::Make(
      order, {Variant(next_fill_++), status, quantity, price, timestamp ? *timestamp : NowLocal()});
}

std::shared_ptr<SimFill> OrderArea::Fill(const std::shared_ptr<SimOrder>& order, int32_t quantity,
                                         double price, int32_t fill_status) {
  auto fill = MakeFill(order, quantity, price, fill_status);
  if (fill_status == Constant("fsNormal")) {
    int32_t before = order->filled_quantity;
    order->filled_quantity = before + quantity;
    order->average_fill_price =
        order->filled_quantity == 0
            ? 0
            : (order->average_fill_price * before + price * quantity) / order->filled_quantity;
    order->fills.push_back(fill);
    if (order->filled_quantity >= order->quantity) order->status = Constant("osFilled");
  }
  order->timestamp = fill->timestamp;
  sim_.Fire(EventId::OnOrderChanged,
            {Variant(Constant("ctChanged")), Variant(com::DispatchPtr(order)), Variant(),
             Variant(com::DispatchPtr(fill)), Variant()});
  if (fill_status == Constant("fsNormal")) {
    auto& accounts = sim_.Area<AccountArea>();
    if (auto account = accounts.Find(order->gw_account_id)) {
      accounts.ApplyFill(account, order->instrument_name, order->side, quantity, price);
    }
  }
  return fill;
}

void OrderArea::Place(const std::shared_ptr<SimOrder>& order) {
  if (order->placed) {
    throw com::ComError(com::hresult::kFail, "Order " + order->guid + " is already placed");
  }
  order->placed = true;
  std::weak_ptr<SimOrder> weak = order;
  sim_.Respond("Place", [weak](Simulator& s, const Outcome& o) {
    auto order = weak.lock();
    if (!order) return;
    auto& area = s.Area<OrderArea>();
    if (auto refusal = GatewayRefusal(s)) {  // the gateway is out: rejected there
      order->status = Constant("osRejectGW");
      order->timestamp = NowLocal();
      s.FireAlways(EventId::OnOrderChanged,
                   {Variant(Constant("ctAdded")), Variant(com::DispatchPtr(order)), Variant(),
                    Variant(), Variant(refusal)});
      return;
    }
    if (o.failed && o.error) {
      order->timestamp = NowLocal();
      s.Fire(EventId::OnOrderChanged,
             {Variant(Constant("ctAdded")), Variant(com::DispatchPtr(order)), Variant(), Variant(),
              Variant(o.error)});
      return;
    }
    if (auto* market = MarketOf(s); market && !o.failed) {
      market->Place(order);  // the market announces the order's statuses
      return;
    }
    area.SetStatus(order, Constant("osInTransit"), Constant("ctAdded"));
    area.SetStatus(order, Constant(o.failed ? "osRejectGW" : "osInOrderBook"),
                   Constant("ctChanged"));
  });
}

void OrderArea::Cancel(const std::shared_ptr<SimOrder>& order) {
  std::weak_ptr<SimOrder> weak = order;
  sim_.Respond("Cancel", [weak](Simulator& s, const Outcome& o) {
    auto order = weak.lock();
    if (!order) return;
    if (auto refusal = GatewayRefusal(s)) {  // the order keeps working
      s.FireAlways(EventId::OnOrderChanged,
                   {Variant(Constant("ctChanged")), Variant(com::DispatchPtr(order)), Variant(),
                    Variant(), Variant(refusal)});
      return;
    }
    if (o.failed) {
      if (o.error) {
        s.Fire(EventId::OnOrderChanged,
               {Variant(Constant("ctChanged")), Variant(com::DispatchPtr(order)), Variant(),
                Variant(), Variant(o.error)});
      }
      return;
    }
    if (auto* market = MarketOf(s); market && market->Cancel(order)) return;
    if (order->IsFinal()) return;
    s.Area<OrderArea>().SetStatus(order, Constant("osCanceled"), Constant("ctChanged"));
  });
}

size_t OrderArea::ResendFills(const std::shared_ptr<SimOrder>& order) {
  for (const auto& fill : order->fills) {
    sim_.Fire(EventId::OnOrderChanged,
              {Variant(Constant("ctChanged")), Variant(com::DispatchPtr(order)), Variant(),
               Variant(com::DispatchPtr(fill)), Variant()});
  }
  return order->fills.size();
}

size_t OrderArea::ResendAllFills() {
  size_t sent = 0;
  for (const auto& order : orders_->items) sent += ResendFills(order);
  return sent;
}

std::shared_ptr<SimFill> OrderArea::AmendFill(const std::shared_ptr<SimOrder>& order,
                                              const std::string& fill_id,
                                              std::optional<Correction> correction) {
  auto find = [&] {
    return std::find_if(order->fills.begin(), order->fills.end(),
                        [&](const auto& f) { return f->id.ToString() == fill_id; });
  };
  auto it = find();
  if (it == order->fills.end()) {
    throw std::invalid_argument("Order " + order->guid + " has no fill with id '" + fill_id + "'");
  }
  if (auto* market = MarketOf(sim_)) {
    std::optional<market::Market::Correction> change;
    if (correction) change = market::Market::Correction{correction->quantity, correction->price};
    if (market->AmendFill(order, fill_id, change)) {
      it = find();  // the market's announcement replaced it
      return *it;
    }
  }
  const auto old = *it;
  if (old->status == Constant("fsBusted")) {
    throw std::invalid_argument("Fill '" + fill_id + "' is busted already");
  }
  if (correction) {
    if (correction->quantity <= 0 || !(correction->price > 0)) {
      throw std::invalid_argument("A corrected fill needs a quantity and a price > 0");
    }
    if (order->filled_quantity - old->quantity + correction->quantity > order->quantity) {
      throw std::invalid_argument("The correction fills order " + order->guid +
                                  " beyond its quantity");
    }
  }
  auto fill = SimFill::Make(order, {old->id, Constant(correction ? "fsModified" : "fsBusted"),
                                    correction ? correction->quantity : old->quantity,
                                    correction ? correction->price : old->price, NowLocal()});
  *it = fill;
  // The order's filled quantity and average price from the fills that still count.
  int32_t filled = 0;
  double notional = 0;
  for (const auto& f : order->fills) {
    if (f->status == Constant("fsBusted")) continue;
    filled += f->quantity;
    notional += f->price * f->quantity;
  }
  order->filled_quantity = filled;
  order->average_fill_price = filled == 0 ? 0 : notional / filled;
  order->timestamp = fill->timestamp;
  sim_.Fire(EventId::OnOrderChanged,
            {Variant(Constant("ctChanged")), Variant(com::DispatchPtr(order)), Variant(),
             Variant(com::DispatchPtr(fill)), Variant()});
  auto& accounts = sim_.Area<AccountArea>();
  if (auto account = accounts.Find(order->gw_account_id)) {
    const int32_t opposite =
        order->side == Constant("osdBuy") ? Constant("osdSell") : Constant("osdBuy");
    accounts.ApplyFill(account, order->instrument_name, opposite, old->quantity, old->price);
    if (correction) {
      accounts.ApplyFill(account, order->instrument_name, order->side, fill->quantity, fill->price);
    }
  }
  return fill;
}

void AddOrderMembers(Members<Simulator>& table) {
  table
      .Method("CreateOrder",
              [](Simulator& s, Args a) {
                if (a.size() < 5 || a.size() > 7) {
                  throw com::ComError(com::hresult::kBadParamCount,
                                      "CreateOrder takes 5 to 7 arguments");
                }
                int32_t type = a[0].ToInt32();
                if (type != Constant("otMarket") && type != Constant("otLimit") &&
                    type != Constant("otStop") && type != Constant("otStopLimit")) {
                  throw com::ComError(com::hresult::kFail,
                                      "CreateOrder: unknown order type " + a[0].ToString());
                }
                if (a[1].IsEmpty()) {
                  throw com::ComError(com::hresult::kFail,
                                      "CreateOrder: an instrument is required");
                }
                if (a[2].IsEmpty()) {
                  throw com::ComError(com::hresult::kFail, "CreateOrder: an account is required");
                }
                int32_t side = a[4].ToInt32();
                if (side != Constant("osdBuy") && side != Constant("osdSell")) {
                  throw com::ComError(com::hresult::kFail,
                                      "CreateOrder: unknown side " + a[4].ToString());
                }
                auto instrument = com::Unwrap(a[1].Dispatch());
                auto account = com::Unwrap(a[2].Dispatch());
                auto order = s.Area<OrderArea>().Create();
                order->order_type = type;
                order->instrument = instrument;
                order->account = account;
                order->instrument_name = instrument->Get("FullName").ToString();
                order->gw_account_id = account->Get("GWAccountID").ToInt32();
                order->quantity = static_cast<int32_t>(a[3].ToDouble());
                order->side = side;
                if (a.size() > 5 && !a[5].IsEmpty()) order->limit_price = a[5].ToDouble();
                if (a.size() > 6 && !a[6].IsEmpty()) order->stop_price = a[6].ToDouble();
                return Variant(com::DispatchPtr(order));
              })
      .Property("Orders", [](Simulator& s) {
        return Variant(com::DispatchPtr(s.Area<OrderArea>().orders()));
      });
}

}  // namespace mx::cqgcel
