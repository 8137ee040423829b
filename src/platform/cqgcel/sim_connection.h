// The gateway (trading) and market-data connections of the simulated CQGCEL, which a test
// takes down and brings back, the way CQG's connections fail.
//
// Each connection has CQG's status (csConnectionUp ... csConnectionNotLoggedOn). An
// outage is what SetGatewayStatus / SetDataStatus start with any status but up:
// - gateway outage: Place and Cancel are refused with an error object (GatewayRefusal);
//   order and account events raised meanwhile are held and delivered, in order, once the
//   gateway is up again (restored up, or a GWLogon after a not-logged-on restore);
//   GWLogon while the status is down or trouble answers with that status;
// - data outage: quote, tick and bar events are dropped and collections take nothing
//   (the areas ask DataUp first); subscriptions survive and resume when data is back.
// GWLogon and GWLogoff move the gateway status without starting an outage, so a session
// that never touched these controls behaves as before.
//
// Thread-safety: the state lives in the Simulator and is used on its home thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/variant.h"

namespace mx::cqgcel {

class Simulator;

// Codes of the refusals' error objects.
inline constexpr int32_t kGatewayDownCode = 1010;
inline constexpr int32_t kNotLoggedOnCode = 1011;

class ConnectionState {
 public:
  ConnectionState();

  int32_t gateway() const { return gateway_; }
  int32_t data() const { return data_; }
  bool gateway_outage() const { return gateway_outage_; }
  bool data_outage() const { return data_outage_; }

  // True when the event was held (trading events during a gateway outage) or dropped
  // (market-data events during a data outage): the caller does not deliver it.
  bool Gate(int dispid, com::Args args) {
    return (gateway_outage_ || data_outage_) && GateSlow(dispid, args);
  }

 private:
  friend void SetGatewayStatus(Simulator&, int32_t);
  friend void SetDataStatus(Simulator&, int32_t);
  friend void AnswerGatewayStatus(Simulator&, int32_t);
  struct Held {
    int dispid;
    std::vector<com::Variant> args;
  };
  bool GateSlow(int dispid, com::Args args);

  int32_t gateway_;
  int32_t data_;
  bool gateway_outage_ = false;
  bool data_outage_ = false;
  std::vector<Held> held_;  // trading events raised during a gateway outage
};

// Sets the gateway status and raises OnGWConnectionStatusChanged(status) (home thread).
// Up ends an outage and delivers the held events; any other status starts (or goes on
// with) one. std::invalid_argument for a value that is not a connection status.
void SetGatewayStatus(Simulator& sim, int32_t status);
// The same for the data connection (OnDataConnectionStatusChanged).
void SetDataStatus(Simulator& sim, int32_t status);
// A GWLogon or GWLogoff answer: sets the gateway status and raises it. Up ends an outage
// (the held events are delivered after the status event); another status leaves an
// outage as it is.
void AnswerGatewayStatus(Simulator& sim, int32_t status);

// The error object that refuses Place and Cancel during a gateway outage, else null.
com::DispatchPtr GatewayRefusal(Simulator& sim);
// Whether market data flows (false during a data outage).
bool DataUp(Simulator& sim);
// Whether `status` is one of the five connection statuses.
bool IsConnectionStatus(int32_t status);
// std::invalid_argument "<status> is not a connection status" unless it is one.
void RequireConnectionStatus(int32_t status);
// The status a constant's name stands for; std::invalid_argument for an unknown name or
// one that is not a connection status.
int32_t ConnectionStatusNamed(const std::string& name);

// The two connections, as control calls name them ("gateway", "data").
enum class ConnectionKind { Gateway, Data };
// std::invalid_argument for another name.
ConnectionKind ConnectionKindFrom(const std::string& kind);
// SetGatewayStatus or SetDataStatus; the current status of either (home thread).
void SetConnectionStatus(Simulator& sim, ConnectionKind kind, int32_t status);
int32_t ConnectionStatus(Simulator& sim, ConnectionKind kind);

}  // namespace mx::cqgcel
