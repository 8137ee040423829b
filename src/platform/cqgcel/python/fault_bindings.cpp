// Simulator control for faults: connections that drop and come back, fills sent again,
// busted or corrected. Each action runs on the live simulator's COM thread (GIL released)
// and returns once its events have been delivered.
#include <pybind11/stl.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "platform/com/marshal.h"
#include "platform/com/python/variant_py.h"
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

// A connection status given as its value or its constant's name.
int32_t StatusFrom(const py::handle& status) {
  if (py::isinstance<py::str>(status)) return ConnectionStatusNamed(status.cast<std::string>());
  if (!py::isinstance<py::int_>(status) || py::isinstance<py::bool_>(status)) {
    throw py::type_error("status must be a connection-status constant (int or name)");
  }
  const auto value = status.cast<int32_t>();
  RequireConnectionStatus(value);
  return value;
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
      auto& area = sim->Area<OrderArea>();
      fill = area.AmendFill(area.Require(guid), fill_id, correction);
    });
  }
  return Bound(sim, fill);
}

}  // namespace

void init_faults(py::module_& m) {
  m.def(
      "set_connection",
      [](const std::string& kind, py::handle status) {
        const ConnectionKind k = ConnectionKindFrom(kind);
        const int32_t value = StatusFrom(status);
        auto sim = Live();
        py::gil_scoped_release release;
        sim->RunOnHome([&] { SetConnectionStatus(*sim, k, value); });
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
        const ConnectionKind k = ConnectionKindFrom(kind);
        auto sim = Live();
        int32_t value = 0;
        py::gil_scoped_release release;
        sim->RunOnHome([&] { value = ConnectionStatus(*sim, k); });
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
        py::gil_scoped_release release;
        BrokerStore::Instance().Load(path);
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
          sent = guid ? area.ResendFills(area.Require(*guid)) : area.ResendAllFills();
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
