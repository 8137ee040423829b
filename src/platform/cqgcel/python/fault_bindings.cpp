// Simulator control for faults: connections that drop and come back, fills sent again,
// busted or corrected. Each action runs on the live simulator's COM thread (GIL released)
// and returns once its events have been delivered.
#include <pybind11/stl.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "platform/com/python/variant_py.h"
#include "platform/com/com_error.h"
#include "platform/com/marshal.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/python/control_bindings.h"
#include "platform/cqgcel/sim_broker.h"
#include "platform/cqgcel/sim_broker_state.h"
#include "platform/cqgcel/sim_connection.h"
#include "platform/cqgcel/sim_orders.h"
#include "platform/cqgcel/simulator.h"

namespace py = pybind11;

namespace mx::cqgcel::bind {
namespace {

using com::py_glue::ToPython;

std::shared_ptr<Simulator> Live() {
  auto sim = Control::Instance().Live();
  if (!sim) throw std::runtime_error("No CQGCEL simulator is running");
  return sim;
}

enum class Kind { Gateway, Data };

Kind KindFrom(const std::string& kind) {
  if (kind == "gateway") return Kind::Gateway;
  if (kind == "data") return Kind::Data;
  throw py::value_error("kind must be 'gateway' or 'data', not '" + kind + "'");
}

// A connection status given as its value or its constant's name.
int32_t StatusFrom(const py::handle& status) {
  int32_t value = 0;
  if (py::isinstance<py::str>(status)) {
    const auto name = status.cast<std::string>();
    try {
      value = Constant(name);
    } catch (const com::ComError&) {
      throw py::value_error("Unknown connection status '" + name + "'");
    }
  } else if (py::isinstance<py::int_>(status) && !py::isinstance<py::bool_>(status)) {
    value = status.cast<int32_t>();
  } else {
    throw py::type_error("status must be a connection-status constant (int or name)");
  }
  if (!IsConnectionStatus(value)) {
    throw py::value_error(std::to_string(value) + " is not a connection status");
  }
  return value;
}

std::shared_ptr<SimOrder> RequireOrder(Simulator& s, const std::string& guid) {
  auto order = s.Area<OrderArea>().orders()->Find(guid);
  if (!order) throw std::invalid_argument("No order with GUID '" + guid + "'");
  return order;
}

py::object Bound(const std::shared_ptr<Simulator>& sim, com::DispatchPtr object) {
  if (!object) return py::none();
  return ToPython(com::Variant(com::MakeProxy(std::move(object), sim->home())));
}

// A fill id as the simulator compares it: its text (the market's ids are text, the
// scripted ones numbers).
std::string FillId(const py::handle& id) {
  if (!py::isinstance<py::str>(id) && !py::isinstance<py::int_>(id)) {
    throw py::type_error("fill_id must be a str or an int");
  }
  return py::str(id).cast<std::string>();
}

py::object Amend(const std::string& guid, const std::string& fill_id,
                 std::optional<OrderArea::Correction> correction) {
  auto sim = Live();
  com::DispatchPtr fill;
  {
    py::gil_scoped_release release;
    sim->RunOnHome([&] {
      fill = sim->Area<OrderArea>().AmendFill(RequireOrder(*sim, guid), fill_id, correction);
    });
  }
  return Bound(sim, fill);
}

}  // namespace

void init_faults(py::module_& m) {
  m.def(
      "set_connection",
      [](const std::string& kind, py::handle status) {
        const Kind k = KindFrom(kind);
        const int32_t value = StatusFrom(status);
        auto sim = Live();
        py::gil_scoped_release release;
        sim->RunOnHome([&] {
          if (k == Kind::Gateway) {
            SetGatewayStatus(*sim, value);
          } else {
            SetDataStatus(*sim, value);
          }
        });
      },
      py::arg("kind"), py::arg("status"),
      R"(Sets the "gateway" or "data" connection's status (a csConnection... value or name)
and raises OnGWConnectionStatusChanged / OnDataConnectionStatusChanged with it; returns
once delivered. Any status but csConnectionUp is an outage: a gateway outage refuses Place
and Cancel and holds order and account events until the gateway is up again; a data
outage stops quotes, ticks and bars (subscriptions survive).)");

  m.def(
      "connection",
      [](const std::string& kind) {
        const Kind k = KindFrom(kind);
        auto sim = Live();
        int32_t value = 0;
        py::gil_scoped_release release;
        sim->RunOnHome([&] {
          value = k == Kind::Gateway ? sim->connection().gateway() : sim->connection().data();
        });
        return value;
      },
      py::arg("kind"), R"(The current status of the "gateway" or "data" connection.)");

  m.def(
      "keep_broker_state", [](bool on) { BrokerStore::Instance().SetKeep(on); },
      py::arg("on") = true,
      R"(With on, the broker's state (accounts, positions, orders with their fills; in market
mode the market with its clock) outlives ComHost.Shutdown: the next simulator that
ComHost.Init creates in this process carries on with it. Off (and reset()) drops what is
kept.)");

  m.def(
      "save_broker_state",
      [](const std::string& path) {
        auto sim = Live();
        py::gil_scoped_release release;
        sim->RunOnHome([&] { SaveBrokerState(*sim, path); });
      },
      py::arg("path"),
      R"(Writes the live (or kept) simulator's broker state to `path` now: accounts,
positions, orders with their fills, identifier counters and, in market mode, the market
itself (its clock, random streams, bars and book). RuntimeError when it cannot be written.)");

  m.def(
      "load_broker_state",
      [](const std::string& path) {
        std::shared_ptr<const BrokerFile> state;
        {
          py::gil_scoped_release release;
          state = ReadBrokerState(path);
        }
        BrokerStore::Instance().SetLoaded(std::move(state));
      },
      py::arg("path"),
      R"(Reads the broker state in `path` and checks it against the settings now in force
(a market's state needs configure_market with the same seed and instruments first); the
next simulator that ComHost.Init creates starts from it. ValueError naming the file and
the reason when it cannot be used.)");

  m.def(
      "resend_fills",
      [](std::optional<std::string> guid) {
        auto sim = Live();
        size_t sent = 0;
        py::gil_scoped_release release;
        sim->RunOnHome([&] {
          auto& area = sim->Area<OrderArea>();
          if (guid) {
            sent = area.ResendFills(RequireOrder(*sim, *guid));
            return;
          }
          for (const auto& order : area.orders()->items) sent += area.ResendFills(order);
        });
        return sent;
      },
      py::arg("guid") = py::none(),
      R"(Raises OnOrderChanged(ctChanged, order, None, fill, None) again for every fill
already booked on order `guid` (None: on every order), the same fills with the same ids,
in booking order, as a broker does after a reconnect. Returns how many fills were sent.)");

  m.def(
      "bust_fill",
      [](const std::string& guid, py::handle fill_id) {
        return Amend(guid, FillId(fill_id), std::nullopt);
      },
      py::arg("guid"), py::arg("fill_id"),
      R"(Busts fill `fill_id` of order `guid`: the fill (same Id) takes the status fsBusted,
the order's filled quantity and average price drop it, OnOrderChanged(ctChanged) carries
it, and the position moves back. Returns the busted fill. ValueError for an unknown or
already busted fill.)");

  m.def(
      "correct_fill",
      [](const std::string& guid, py::handle fill_id, int32_t quantity, double price) {
        return Amend(guid, FillId(fill_id), OrderArea::Correction{quantity, price});
      },
      py::arg("guid"), py::arg("fill_id"), py::arg("quantity"), py::arg("price"),
      R"(Corrects fill `fill_id` of order `guid` to `quantity` at `price`: status fsModified,
same Id; the order and the position follow. Returns the corrected fill. ValueError for an
unknown or busted fill, a quantity or price that is not positive, or a correction that
fills the order beyond its quantity.)");
}

}  // namespace mx::cqgcel::bind
