// Orders and fills of the simulated CQGCEL.
//
// CreateOrder(type, instrument, account, quantity, side[, limit price[, stop price]])
// makes a SimOrder (with a new GUID, status osNotSent) and adds it to Orders; Place() and
// Cancel() are requests with scripted answers:
//   "Place": succeed -> OnOrderChanged(ctAdded) with osInTransit, then ctChanged with
//     osInOrderBook; fail -> OnOrderChanged(ctAdded, order, None, None, error object);
//     fail_without_error -> ctAdded, then ctChanged with osRejectGW.
//   "Cancel": succeed -> ctChanged with osCanceled (a final order raises nothing);
//     fail -> OnOrderChanged(ctChanged, order, None, None, error object);
//     fail_without_error -> nothing.
// During a gateway outage (sim_connection.h) both are refused whatever the script says:
//   Place -> OnOrderChanged(ctAdded, order, None, None, error object), status osRejectGW;
//   Cancel -> OnOrderChanged(ctChanged, order, None, None, error object), order unchanged.
// Orders.ItemByGuid(guid) finds an order (an unknown GUID fails).
//
// A market (or a test) drives orders through OrderArea: SetStatus changes an order's
// status and raises OnOrderChanged; Fill books a fill on the order (filled quantity,
// average price, osFilled once complete), raises OnOrderChanged(ctChanged) carrying the
// fill, then moves the account's position (AccountArea::ApplyFill).
//
// Thread-safety: everything on the simulator's home thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/cqgcel/sim_list.h"
#include "platform/cqgcel/sim_object.h"

namespace mx::cqgcel {

class Simulator;
class SimOrder;

// A fill as a test or a saved state gives it.
struct FillValues {
  com::Variant id = int32_t{0};
  int32_t status = 0;  // fs... constant
  int32_t quantity = 0;
  double price = 0;
  com::DateTime timestamp;
};

// An order as a test or a saved state gives it (one entered elsewhere, or restored).
struct OrderValues {
  std::string guid;  // empty: a fresh one
  int32_t status = 0;
  int32_t order_type = 0;
  int32_t quantity = 0;
  int32_t side = 0;
  int32_t filled_quantity = 0;
  double average_fill_price = 0;
  std::optional<double> limit_price;
  std::optional<double> stop_price;
  std::optional<com::DateTime> timestamp;  // empty: now
  std::string instrument_name;
  int32_t gw_account_id = 0;
  bool placed = true;
};

// Its Id is a number here; the market's fill identifiers are text.
class SimFill : public SimObject<SimFill>, public FillValues {
 public:
  static const com::Members<SimFill>& Table();
  static std::shared_ptr<SimFill> Make(std::shared_ptr<SimOrder> order, const FillValues& values);
  std::weak_ptr<SimOrder> order;  // the order holds its fills
};

// One order property (Order.Properties(op...)): its Value at the time it was read.
class SimOrderProperty : public SimObject<SimOrderProperty> {
 public:
  static const com::Members<SimOrderProperty>& Table();
  explicit SimOrderProperty(com::Variant value) : value(std::move(value)) {}
  com::Variant value;
};

// Order.Properties: a collection called with an op... constant (or Item(op)).
class SimOrderProperties : public SimObject<SimOrderProperties> {
 public:
  static const com::Members<SimOrderProperties>& Table();
  explicit SimOrderProperties(std::shared_ptr<SimOrder> order) : order(std::move(order)) {}
  std::shared_ptr<SimOrder> order;
};

class SimOrder : public SimObject<SimOrder> {
 public:
  static const com::Members<SimOrder>& Table();
  SimOrder(Simulator& sim, std::string guid);

  // The simulator's order behind `object` (a proxy or the order itself), or null.
  static std::shared_ptr<SimOrder> From(const com::DispatchPtr& object);

  // The value of property `op` (an op... constant); ComError for an unknown property.
  com::Variant Property(int32_t op) const;
  bool IsFinal() const;

  std::string guid;
  int32_t order_type = 0;
  com::DispatchPtr instrument;  // unwrapped; may be null for an order made by a test
  com::DispatchPtr account;
  std::string instrument_name;
  int32_t gw_account_id = 0;
  int32_t quantity = 0;
  int32_t side = 0;
  std::optional<double> limit_price;
  std::optional<double> stop_price;
  com::Variant manual = true;
  int32_t status;
  int32_t filled_quantity = 0;
  double average_fill_price = 0;
  com::DateTime timestamp;  // event server time of the last change
  bool placed = false;
  std::vector<std::shared_ptr<SimFill>> fills;

 private:
  std::weak_ptr<Simulator> sim_;
};

// Order.Fills: the order's fills as they stand (a busted or corrected fill replaces the
// original of the same Id): Count, Item(i), iteration.
class SimFills : public SimObject<SimFills> {
 public:
  static const com::Members<SimFills>& Table();
  explicit SimFills(std::vector<std::shared_ptr<SimFill>> items) : items(std::move(items)) {}
  std::vector<std::shared_ptr<SimFill>> items;
};

// Orders: Count, Item(i), ItemByGuid(guid), iteration.
class SimOrders : public SimObject<SimOrders> {
 public:
  static const com::Members<SimOrders>& Table();
  std::shared_ptr<SimOrder> Find(std::string_view guid) const;
  std::vector<std::shared_ptr<SimOrder>> items;
};

class OrderArea {
 public:
  explicit OrderArea(Simulator& sim);

  // A new order in Orders (not placed): status osNotSent, a fresh GUID unless given.
  std::shared_ptr<SimOrder> Create(std::string guid = {});
  // Create, then every field from `values`; raises no event.
  std::shared_ptr<SimOrder> Add(const OrderValues& values);
  // The order with this GUID, or std::invalid_argument "No order with GUID '<guid>'".
  std::shared_ptr<SimOrder> Require(const std::string& guid) const;
  const std::shared_ptr<SimOrders>& orders() const { return orders_; }
  // The identifier counters (for a saved state): the next order number and fill id.
  uint64_t next_order() const { return next_order_; }
  int32_t next_fill() const { return next_fill_; }
  void SetCounters(uint64_t next_order, int32_t next_fill) {
    next_order_ = next_order;
    next_fill_ = next_fill;
  }

  // Sets the status (and the event time) and raises OnOrderChanged(change, order).
  void SetStatus(const std::shared_ptr<SimOrder>& order, int32_t status, int32_t change);
  // A fill not yet booked (for tests that raise their own events), stamped now unless
  // `timestamp` is given.
  std::shared_ptr<SimFill> MakeFill(const std::shared_ptr<SimOrder>& order, int32_t quantity,
                                    double price, int32_t status,
                                    std::optional<com::DateTime> timestamp = std::nullopt);
  // Books a fill as described above and returns it.
  std::shared_ptr<SimFill> Fill(const std::shared_ptr<SimOrder>& order, int32_t quantity,
                                double price, int32_t fill_status);

  void Place(const std::shared_ptr<SimOrder>& order);
  void Cancel(const std::shared_ptr<SimOrder>& order);

  // Raises OnOrderChanged(ctChanged, order, None, fill, None) again for every fill the
  // order holds, same objects and ids, in booking order (as a broker does after a
  // reconnect); returns how many.
  size_t ResendFills(const std::shared_ptr<SimOrder>& order);
  // ResendFills for every order, in creation order; returns how many fills were sent.
  size_t ResendAllFills();
  // Busts the fill `fill_id` of `order` (no correction: status fsBusted) or corrects its
  // quantity and price (fsModified). The fill keeps its Id and replaces the original in
  // the order's fills; the order's filled quantity and average price drop or change with
  // it; OnOrderChanged(ctChanged) carries the amended fill; then the position moves back
  // (and forward again by a correction), each move raising OnAccountChanged. Market mode:
  // the market amends its fill and books the position again from the fills that count.
  // Returns the amended fill; std::invalid_argument for an unknown or busted fill, a
  // quantity or price that is not positive, or a correction beyond the order's quantity.
  struct Correction {
    int32_t quantity;
    double price;
  };
  std::shared_ptr<SimFill> AmendFill(const std::shared_ptr<SimOrder>& order,
                                     const std::string& fill_id,
                                     std::optional<Correction> correction);

 private:
  Simulator& sim_;
  std::shared_ptr<SimOrders> orders_;
  uint64_t next_order_ = 1;
  int32_t next_fill_ = 1;
};

}  // namespace mx::cqgcel
