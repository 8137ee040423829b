#include "platform/cqgcel/sim_connection.h"

#include <stdexcept>
#include <string>

#include "platform/com/com_error.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/objects.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using com::Variant;

namespace {

bool IsTradingEvent(int dispid) {
  return dispid == static_cast<int>(EventId::OnOrderChanged) ||
         dispid == static_cast<int>(EventId::OnAccountChanged);
}

bool IsMarketDataEvent(int dispid) {
  for (EventId id : {EventId::OnInstrumentChanged, EventId::OnTicksAdded, EventId::OnTimedBarsAdded,
                     EventId::OnTimedBarsUpdated, EventId::OnTimedBarsRemoved}) {
    if (dispid == static_cast<int>(id)) return true;
  }
  return false;
}

}  // namespace

void RequireConnectionStatus(int32_t status) {
  if (!IsConnectionStatus(status)) {
    throw std::invalid_argument(std::to_string(status) + " is not a connection status");
  }
}

int32_t ConnectionStatusNamed(const std::string& name) {
  int32_t status = 0;
  try {
    status = Constant(name);
  } catch (const com::ComError&) {
    throw std::invalid_argument("Unknown connection status '" + name + "'");
  }
  RequireConnectionStatus(status);
  return status;
}

ConnectionKind ConnectionKindFrom(const std::string& kind) {
  if (kind == "gateway") return ConnectionKind::Gateway;
  if (kind == "data") return ConnectionKind::Data;
  throw std::invalid_argument("kind must be 'gateway' or 'data', not '" + kind + "'");
}

void SetConnectionStatus(Simulator& sim, ConnectionKind kind, int32_t status) {
  if (kind == ConnectionKind::Gateway) {
    SetGatewayStatus(sim, status);
  } else {
    SetDataStatus(sim, status);
  }
}

int32_t ConnectionStatus(Simulator& sim, ConnectionKind kind) {
  return kind == ConnectionKind::Gateway ? sim.connection().gateway() : sim.connection().data();
}

bool IsConnectionStatus(int32_t status) {
  for (const char* name : {"csConnectionUp", "csConnectionDelayed", "csConnectionDown",
                           "csConnectionTrouble", "csConnectionNotLoggedOn"}) {
    if (status == Constant(name)) return true;
  }
  return false;
}

ConnectionState::ConnectionState()
    : gateway_(Constant("csConnectionNotLoggedOn")), data_(Constant("csConnectionUp")) {}

bool ConnectionState::GateSlow(int dispid, com::Args args) {
  if (gateway_outage_ && IsTradingEvent(dispid)) {
    held_.push_back({dispid, std::vector<Variant>(args.begin(), args.end())});
    return true;
  }
  return data_outage_ && IsMarketDataEvent(dispid);
}

void SetGatewayStatus(Simulator& sim, int32_t status) {
  RequireConnectionStatus(status);
  ConnectionState& c = sim.connection();
  c.gateway_outage_ = status != Constant("csConnectionUp");
  AnswerGatewayStatus(sim, status);
}

void AnswerGatewayStatus(Simulator& sim, int32_t status) {
  ConnectionState& c = sim.connection();
  c.gateway_ = status;
  const bool up = status == Constant("csConnectionUp");
  if (up) c.gateway_outage_ = false;
  sim.Fire(EventId::OnGWConnectionStatusChanged, {Variant(status)});
  if (!up) return;
  // Delivered in the order they were raised; an event held again (the gateway went down
  // from inside a sink) stays held for the next restore.
  std::vector<ConnectionState::Held> held;
  held.swap(c.held_);
  for (auto& e : held) sim.Fire(static_cast<EventId>(e.dispid), std::move(e.args));
}

void SetDataStatus(Simulator& sim, int32_t status) {
  RequireConnectionStatus(status);
  ConnectionState& c = sim.connection();
  c.data_ = status;
  c.data_outage_ = status != Constant("csConnectionUp");
  sim.Fire(EventId::OnDataConnectionStatusChanged, {Variant(status)});
  if (!c.data_outage_) {
    if (auto* market = MarketOf(sim)) market->DataRestored();
  }
}

com::DispatchPtr GatewayRefusal(Simulator& sim) {
  const ConnectionState& c = sim.connection();
  if (!c.gateway_outage()) return nullptr;
  if (c.gateway() == Constant("csConnectionNotLoggedOn")) {
    return MakeError(kNotLoggedOnCode, "Not logged on to the gateway");
  }
  return MakeError(kGatewayDownCode, "Gateway connection is down");
}

bool DataUp(Simulator& sim) { return !sim.connection().data_outage(); }

}  // namespace mx::cqgcel
