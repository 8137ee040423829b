// TradeLink: placing and cancelling orders, order events.
//
// place_order runs the whole request on the COM thread as one task (account walk,
// CreateOrder, Manual, the new order's GUID, Place), then waits. Only the ctAdded of that
// GUID completes the wait; any other ctAdded is an order not placed by this gateway.
// Placements of one TradeLink run one at a time (place_mu_): the GUID it waits for,
// eventOrderPlaced and order_id are one slot, which a second placement would overwrite.
#include <vector>

#include "gateways/cqg/wrapper/comhost/trace.h"
#include "gateways/cqg/wrapper/python/sink_py.h"
#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"
#include "gateways/cqg/wrapper/tradelink/cel_names.h"
#include "gateways/cqg/wrapper/tradelink/cel_tables.h"
#include "gateways/cqg/wrapper/tradelink/gil_aware_lock.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/order_request.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"
#include "platform/com/marshal.h"
#include "platform/com/python/variant_py.h"

namespace mx::tradelink {

using com::py_glue::FromPython;
using com::py_glue::ToPython;
using comhost::Trace;

namespace {

// Interned keys of the order-update and deal maps, made once under the GIL.
struct MapKeys {
  PyObject *order_id, *updated_time, *filled_avg_price, *filled_quantity, *status, *deal_id;
  static const MapKeys& Get() {
    static const MapKeys keys = [] {
      auto intern = [](const char* s) { return PyUnicode_InternFromString(s); };
      return MapKeys{intern("order_id"),        intern("updated_time"), intern("filled_avg_price"),
                     intern("filled_quantity"), intern("status"),       intern("deal_id")};
    }();
    return keys;
  }
};

void SetItem(PyObject* dict, PyObject* key, const py::object& value) {
  if (PyDict_SetItem(dict, key, value.ptr()) < 0) throw py::error_already_set();
}

void CallWith(py::handle fn, const py::object& arg) {
  PyObject* result = PyObject_CallOneArg(fn.ptr(), arg.ptr());
  if (result == nullptr) throw py::error_already_set();
  Py_DECREF(result);
}

// Whether a value counts as true (a present fill).
bool Truthy(const Variant& v) {
  switch (v.type()) {
    case Variant::Type::Empty:
      return false;
    case Variant::Type::Dispatch:
      return true;
    case Variant::Type::Text:
      return !v.Text().empty();
    case Variant::Type::Date:
      return true;
    default:
      return v.ToBool();
  }
}

// The order's values an event needs, read through its Properties collection.
OrderRead ReadOrder(const Variant& cqgOrder) {
  const auto& names = CelNames::Get();
  com::DispatchPtr properties = cqgOrder.Dispatch()->Get("Properties").Dispatch();
  auto read = [&](int32_t op) {
    Variant arg(op);
    return properties->Invoke("", com::CallKind::Method, com::Args(&arg, 1))
        .Dispatch()
        ->Get("Value");
  };
  return OrderRead{read(names.opGWStatus), read(names.opGUID), read(names.opEventServerTimestamp),
                   read(names.opAverageFillPrice), read(names.opFilledQuantity)};
}

// A fill's values; only the status of a fill that is not normal.
FillRead ReadFill(const Variant& cqgFill) {
  FillRead fill;
  const com::DispatchPtr& f = cqgFill.Dispatch();
  fill.normal = f->Get("Status").ToInt() == CelNames::Get().fsNormal;
  if (!fill.normal) return fill;
  fill.timestamp = f->Get("Timestamp");
  fill.price = f->Get("Price");
  fill.quantity = f->Get("Quantity");
  fill.order_guid = f->Get("Order").Dispatch()->Get("GUID");
  fill.id = f->Get("Id");
  return fill;
}

}  // namespace

std::string TradeLink::place_order(py::object order) {
  const auto& cel = this->cel();
  GilAwareLock one_at_a_time(place_mu_);
  place_timeline_.Start();
  OrderRequest request = ReadOrderRequest(order);
  place_timeline_.Mark(PlaceTimeline::kOrderRead);

  // From here to the hand-over of the GUID no Python runs: the task, its trace lines and
  // the wait all go without the GIL, which is taken back once, at the end.
  PlaceAttempt attempt;
  std::optional<std::string> taken;
  bool added = false;
  {
    py::gil_scoped_release release;
    try {
      com::RunInHome(cel, [&](const com::DispatchPtr& home_cel) {
        PlaceOnComThread(home_cel, request, attempt);
      });
    } catch (...) {
      attempt.failure = std::current_exception();
    }
    place_timeline_.Mark(PlaceTimeline::kTaskDone);
    for (const auto& a : attempt.walk.visited) {
      std::string values = std::to_string(a.id) + " name: " + a.name;
      Trace("GW Account id: " + values);
      if (a.id == *request.account_id) Trace("[Found] GW Account id: " + values);
    }
    if (attempt.placed && !attempt.failure) added = AwaitPlaced(request.timeout_seconds, &taken);
    place_timeline_.Mark(PlaceTimeline::kCallerWoken);
  }
  place_timeline_.Mark(PlaceTimeline::kReturned);

  if (attempt.failure) std::rethrow_exception(attempt.failure);
  if (!attempt.subscribed) {
    Raise(PyExc_ValueError, "cqg_symbol " + request.symbol + " has not been subscribed.");
  }
  if (request.cqg_type == 0) {
    Raise(PyExc_ValueError,
          "Unsupported order type " + std::string(py::str(order.attr("order_type"))));
  }
  if (request.side == 0) {
    Raise(PyExc_ValueError,
          "Unsupported order side " + std::string(py::str(order.attr("direction"))));
  }
  if (!request.account_id) GWAccountID();  // raises: no account has been subscribed
  if (!added) {
    Raise(PyExc_RuntimeError, "Order placing timeout!\n" + std::string(py::str(order)) + " ");
  }
  if (!taken) {
    Raise(PyExc_ValueError, "Order id can not be obtained!\n" + std::string(py::str(order)));
  }
  return *taken;
}

OrderRequest TradeLink::ReadOrderRequest(const py::object& order) {
  const auto& names = CelNames::Get();
  const auto& host = HostApi::Get();
  OrderRequest request;
  // Everything Python is read here; the checks are then made in their order, the
  // instrument look-up among them on the COM thread, in the same task that (when every
  // check passes) creates and places the order: one round trip in all.
  py::object symbol_object = GatewayMethod(kGetCqgSymbol)(order.attr("security"));
  if (!PyUnicode_Check(symbol_object.ptr())) {
    Raise(PyExc_TypeError, "cqg_symbol must be str, not " +
                               std::string(py::str(py::type::of(symbol_object).attr("__name__"))));
  }
  request.symbol = symbol_object.cast<std::string>();
  py::object order_type = order.attr("order_type");
  if (order_type.equal(host.LIMIT)) {
    request.cqg_type = names.otLimit;
  } else if (order_type.equal(host.MARKET)) {
    request.cqg_type = names.otMarket;
  } else if (order_type.equal(host.STOP)) {
    request.cqg_type = names.otStop;
  }
  py::object direction = order.attr("direction");
  if (direction.equal(host.LONG)) {
    request.side = names.osdBuy;
  } else if (direction.equal(host.SHORT)) {
    request.side = names.osdSell;
  }
  request.account_id = gw_account_id_;
  if (request.ChecksPass()) {
    auto& args = request.create_args;
    args = {Variant(request.cqg_type), Variant(), Variant(), FromPython(order.attr("quantity")),
            Variant(request.side)};
    if (request.cqg_type == names.otLimit || request.cqg_type == names.otStop) {
      args.push_back(FromPython(order.attr("price")));
    }
    if (request.cqg_type == names.otStop) args.push_back(FromPython(order.attr("stop_price")));
  }
  request.timeout_seconds = Timeout();
  return request;
}

void TradeLink::PlaceOnComThread(const com::DispatchPtr& home_cel, OrderRequest& request,
                                 PlaceAttempt& attempt) {
  place_timeline_.Mark(PlaceTimeline::kTaskStarted);
  com::DispatchPtr instrument =
      FindFirstContaining(home_cel, "Instruments", {"FullName"}, request.symbol);
  attempt.subscribed = instrument != nullptr;
  if (!attempt.subscribed || !request.ChecksPass()) return;  // nothing is created
  attempt.walk = WalkAccountsHere(home_cel, *request.account_id);
  auto& args = request.create_args;
  args[1] = Variant(instrument);
  args[2] = Variant(attempt.walk.found);  // an absent account goes to CQG as it is
  com::DispatchPtr cqg_order =
      home_cel->Invoke("CreateOrder", com::CallKind::Method, args).Dispatch();
  cqg_order->Put("Manual", 0);
  std::string guid = cqg_order->Get("GUID").Text();
  {
    std::lock_guard lk(order_mu_);
    placing_guid_ = guid;
  }
  eventOrderPlaced->Clear();
  try {
    cqg_order->Call("Place");
  } catch (...) {
    std::lock_guard lk(order_mu_);
    placing_guid_.reset();
    throw;
  }
  place_timeline_.Mark(PlaceTimeline::kPlaceReturned);
  attempt.placed = true;
}

bool TradeLink::AwaitPlaced(double timeout_seconds, std::optional<std::string>* taken) {
  bool added = WaitEventWithoutGil(*eventOrderPlaced, timeout_seconds);
  std::lock_guard lk(order_mu_);
  placing_guid_.reset();  // a late ctAdded of this order is no longer ours
  if (added) {
    *taken = std::move(order_id_);
    order_id_.reset();
  }
  return added;
}

void TradeLink::cancel_order(const std::string& orderid) {
  const auto& cel = this->cel();
  py::gil_scoped_release release;
  com::RunInHome(cel, [&](const com::DispatchPtr& home_cel) {
    com::DispatchPtr orders = home_cel->Get("Orders").Dispatch();
    orders->Call("ItemByGuid", {Variant(orderid)}).Dispatch()->Call("Cancel");
  });
}

void TradeLink::OnOrderChanged(const Variant& changeType, const Variant& cqgOrder,
                               const Variant& oldProperties, const Variant& cqgFill,
                               const Variant& cqgError) {
  AtComBoundary(
      [&] { HandleOrderChanged(changeType, cqgOrder, oldProperties, cqgFill, cqgError); });
}

void TradeLink::HandleOrderChanged(const Variant& changeType, const Variant& cqgOrder,
                                   const Variant& /*oldProperties*/, const Variant& cqgFill,
                                   const Variant& cqgError) {
  if (!cqgError.IsEmpty()) return;
  const auto& names = CelNames::Get();

  // Read the order first, without the GIL.
  OrderRead order = ReadOrder(cqgOrder);
  HostStatus status{};
  bool known = order.status.IsNumber() && TranslateOrderStatus(order.status.ToInt(), &status);
  int64_t change = changeType.ToInt();

  bool report_order = false;
  if (known && change == names.ctAdded) {
    if (!HandOverPlaced(order.guid.Text())) {
      comhost::WriteLine("orderid " + order.guid.Text() + " is not placed by algo");
      return;
    }
  } else if (known && (change == names.ctChanged || change == names.ctRemoved)) {
    report_order = true;
  }
  // The fill is read after the hand-over: an unreadable fill never holds up a placement.
  FillRead fill;
  if (known && Truthy(cqgFill)) fill = ReadFill(cqgFill);
  if (known && !report_order && !fill.normal) return;

  comhost::py_glue::ComThreadGil gil;
  if (!known) {
    Raise(PyExc_ValueError,
          "Order status " + PyText(order.status) + " is not valid to be handled by morvex_trader.");
  }
  if (report_order) ReportOrder(order, status);
  if (fill.normal) ReportDeal(fill);
}

bool TradeLink::HandOverPlaced(const std::string& guid) {
  {
    std::lock_guard lk(order_mu_);
    if (!placing_guid_ || *placing_guid_ != guid || eventOrderPlaced->IsSet()) return false;
    order_id_ = guid;
    placing_guid_.reset();
  }
  place_timeline_.Mark(PlaceTimeline::kAddedSeen);
  eventOrderPlaced->Set();
  return true;
}

void TradeLink::ReportOrder(const OrderRead& order, HostStatus status) {
  const auto& keys = MapKeys::Get();
  py::dict update;
  SetItem(update.ptr(), keys.order_id, py::str(order.guid.Text()));
  SetItem(update.ptr(), keys.updated_time,
          ToNaiveSecond(order.timestamp, "opEventServerTimestamp"));
  SetItem(update.ptr(), keys.filled_avg_price, ToPython(order.average_price));
  SetItem(update.ptr(), keys.filled_quantity, ToPython(order.filled_quantity));
  SetItem(update.ptr(), keys.status, HostApi::Get().status[static_cast<int>(status)]);
  CallWith(GatewayMethod(kProcessOrder), update);
}

void TradeLink::ReportDeal(const FillRead& fill) {
  const auto& keys = MapKeys::Get();
  py::dict deal;
  SetItem(deal.ptr(), keys.deal_id, ToPython(fill.id));
  SetItem(deal.ptr(), keys.order_id, ToPython(fill.order_guid));
  SetItem(deal.ptr(), keys.updated_time, ToNaiveSecond(fill.timestamp, "the fill's Timestamp"));
  SetItem(deal.ptr(), keys.filled_avg_price, ToPython(fill.price));
  SetItem(deal.ptr(), keys.filled_quantity, ToPython(fill.quantity));
  CallWith(GatewayMethod(kProcessDeal), deal);
}

}  // namespace mx::tradelink
