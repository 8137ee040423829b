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
#include "gateways/cqg/wrapper/python/variant_py.h"
#include "gateways/cqg/wrapper/tradelink/cel_lookup.h"
#include "gateways/cqg/wrapper/tradelink/cel_names.h"
#include "gateways/cqg/wrapper/tradelink/cel_tables.h"
#include "gateways/cqg/wrapper/tradelink/gil_aware_lock.h"
#include "gateways/cqg/wrapper/tradelink/host_api.h"
#include "gateways/cqg/wrapper/tradelink/trade_link.h"
#include "platform/com/marshal.h"

namespace mx::tradelink {

using comhost::Trace;
using comhost::py_glue::FromPython;
using comhost::py_glue::ToPython;

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

// What the COM thread reads of one order event.
struct OrderRead {
  Variant status, guid, timestamp, average_price, filled_quantity;
};

struct FillRead {
  bool normal = false;
  Variant timestamp, price, quantity, order_guid, id;
};

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

}  // namespace

std::string TradeLink::place_order(py::object order) {
  const auto& cel = this->cel();
  GilAwareLock one_at_a_time(place_mu_);
  const auto& names = CelNames::Get();
  const auto& host = HostApi::Get();

  // Everything Python is read first; the checks of steps 2 to 5 are then made in their
  // order, the instrument look-up among them on the COM thread, in the same task that
  // (when every check passes) creates and places the order: one round trip in all.
  py::object symbol_object = GatewayMethod(kGetCqgSymbol)(order.attr("security"));
  if (!PyUnicode_Check(symbol_object.ptr())) {
    Raise(PyExc_TypeError, "cqg_symbol must be str, not " +
                               std::string(py::str(py::type::of(symbol_object).attr("__name__"))));
  }
  std::string symbol = symbol_object.cast<std::string>();
  py::object order_type = order.attr("order_type");
  int32_t cqg_type = 0;
  if (order_type.equal(host.LIMIT)) {
    cqg_type = names.otLimit;
  } else if (order_type.equal(host.MARKET)) {
    cqg_type = names.otMarket;
  } else if (order_type.equal(host.STOP)) {
    cqg_type = names.otStop;
  }
  py::object direction = order.attr("direction");
  int32_t side = 0;
  if (direction.equal(host.LONG)) {
    side = names.osdBuy;
  } else if (direction.equal(host.SHORT)) {
    side = names.osdSell;
  }
  std::optional<int64_t> account_id = gw_account_id_;
  bool checks_pass = cqg_type != 0 && side != 0 && account_id.has_value();
  // CreateOrder's arguments: 5 for a market order, 6 (price) for a limit order, 7 (price,
  // stop price) for a stop order; instrument and account are filled in on the COM thread.
  std::vector<Variant> args;
  if (checks_pass) {
    args = {Variant(cqg_type), Variant(), Variant(), FromPython(order.attr("quantity")),
            Variant(side)};
    if (cqg_type == names.otLimit || cqg_type == names.otStop) {
      args.push_back(FromPython(order.attr("price")));
    }
    if (cqg_type == names.otStop) args.push_back(FromPython(order.attr("stop_price")));
  }

  bool subscribed = false;
  AccountWalk walk;
  std::exception_ptr failure;
  {
    py::gil_scoped_release release;
    try {
      com::RunInHome(cel, [&](const com::DispatchPtr& home_cel) {
        com::DispatchPtr instrument =
            FindFirstContaining(home_cel, "Instruments", {"FullName"}, symbol);
        subscribed = instrument != nullptr;
        if (!subscribed || !checks_pass) return;  // nothing is created
        walk = WalkAccountsHere(home_cel, *account_id);
        args[1] = Variant(instrument);
        args[2] = Variant(walk.found);  // an absent account goes to CQG as it is
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
      });
    } catch (...) {
      failure = std::current_exception();
    }
    for (const auto& a : walk.visited) {
      std::string values = std::to_string(a.id) + " name: " + a.name;
      Trace("GW Account id: " + values);
      if (a.id == *account_id) Trace("[Found] GW Account id: " + values);
    }
  }
  if (failure) std::rethrow_exception(failure);
  if (!subscribed) Raise(PyExc_ValueError, "cqg_symbol " + symbol + " has not been subscribed.");
  if (cqg_type == 0) {
    Raise(PyExc_ValueError, "Unsupported order type " + std::string(py::str(order_type)));
  }
  if (side == 0) {
    Raise(PyExc_ValueError, "Unsupported order side " + std::string(py::str(direction)));
  }
  if (!account_id) GWAccountID();  // raises: no account has been subscribed

  // Steps 10 to 13: wait for this order's ctAdded and take its identifier.
  bool placed = WaitEvent(*eventOrderPlaced);
  std::optional<std::string> taken;
  {
    std::lock_guard lk(order_mu_);
    placing_guid_.reset();  // a late ctAdded of this order is no longer ours
    if (placed) {
      taken = std::move(order_id_);
      order_id_.reset();
    }
  }
  if (!placed) {
    Raise(PyExc_RuntimeError, "Order placing timeout!\n" + std::string(py::str(order)) + " ");
  }
  if (!taken) {
    Raise(PyExc_ValueError, "Order id can not be obtained!\n" + std::string(py::str(order)));
  }
  return *taken;
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

  // Read the order (and the fill) first, without the GIL.
  com::DispatchPtr properties = cqgOrder.Dispatch()->Get("Properties").Dispatch();
  auto read = [&](int32_t op) {
    Variant arg(op);
    return properties->Invoke("", com::CallKind::Method, com::Args(&arg, 1))
        .Dispatch()
        ->Get("Value");
  };
  OrderRead o{read(names.opGWStatus), read(names.opGUID), read(names.opEventServerTimestamp),
              read(names.opAverageFillPrice), read(names.opFilledQuantity)};

  HostStatus status{};
  bool known = o.status.IsNumber() && TranslateOrderStatus(o.status.ToInt(), &status);
  const std::string& guid = o.guid.Text();
  int64_t change = changeType.ToInt();

  FillRead fill;
  bool has_fill = Truthy(cqgFill);
  auto read_fill = [&] {
    const com::DispatchPtr& f = cqgFill.Dispatch();
    fill.normal = f->Get("Status").ToInt() == names.fsNormal;
    if (!fill.normal) return;
    fill.timestamp = f->Get("Timestamp");
    fill.price = f->Get("Price");
    fill.quantity = f->Get("Quantity");
    fill.order_guid = f->Get("Order").Dispatch()->Get("GUID");
    fill.id = f->Get("Id");
  };

  bool report_order = false;
  if (known && change == names.ctAdded) {
    bool ours = false;
    {
      std::lock_guard lk(order_mu_);
      if (placing_guid_ && *placing_guid_ == guid && !eventOrderPlaced->IsSet()) {
        order_id_ = guid;
        placing_guid_.reset();
        ours = true;
      }
    }
    if (!ours) {
      comhost::WriteLine("orderid " + guid + " is not placed by algo");
      return;
    }
    eventOrderPlaced->Set();
  } else if (known && (change == names.ctChanged || change == names.ctRemoved)) {
    report_order = true;
  }
  if (known && has_fill) read_fill();
  if (known && !report_order && !fill.normal) return;

  comhost::py_glue::ComThreadGil gil;
  if (!known) {
    Raise(PyExc_ValueError,
          "Order status " + PyText(o.status) + " is not valid to be handled by morvex_trader.");
  }
  const auto& keys = MapKeys::Get();
  const auto& host = HostApi::Get();
  if (report_order) {
    py::dict update;
    SetItem(update.ptr(), keys.order_id, py::str(guid));
    SetItem(update.ptr(), keys.updated_time, ToNaiveSecond(o.timestamp, "opEventServerTimestamp"));
    SetItem(update.ptr(), keys.filled_avg_price, ToPython(o.average_price));
    SetItem(update.ptr(), keys.filled_quantity, ToPython(o.filled_quantity));
    SetItem(update.ptr(), keys.status, host.status[static_cast<int>(status)]);
    CallWith(GatewayMethod(kProcessOrder), update);
  }
  if (fill.normal) {
    py::dict deal;
    SetItem(deal.ptr(), keys.deal_id, ToPython(fill.id));
    SetItem(deal.ptr(), keys.order_id, ToPython(fill.order_guid));
    SetItem(deal.ptr(), keys.updated_time, ToNaiveSecond(fill.timestamp, "the fill's Timestamp"));
    SetItem(deal.ptr(), keys.filled_avg_price, ToPython(fill.price));
    SetItem(deal.ptr(), keys.filled_quantity, ToPython(fill.quantity));
    CallWith(GatewayMethod(kProcessDeal), deal);
  }
}

}  // namespace mx::tradelink
