// Gateway log-on and log-off of the simulated CQGCEL, answered with connection statuses.
//
// Scripted answers: "GWLogon": succeed -> OnGWConnectionStatusChanged(csConnectionUp);
// fail -> OnDataError(error, description), then csConnectionNotLoggedOn;
// fail_without_error -> csConnectionNotLoggedOn. "GWLogoff": succeed -> csConnectionDown;
// fail -> OnDataError, then csConnectionTrouble; fail_without_error -> csConnectionTrouble.
#include <chrono>

#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/sim_connection.h"
#include "platform/cqgcel/sim_members.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using com::Args;
using com::Variant;

namespace {

// The session's state: whether the gateway is logged on, and as whom.
struct SessionArea {
  explicit SessionArea(Simulator&) {}
  bool logged_on = false;
  std::string user;
};

void AnswerWithStatus(Simulator& s, const Outcome& o, const char* success, const char* failure) {
  if (o.failed && o.error) s.Fire(EventId::OnDataError, {Variant(o.error), Variant(o.description)});
  AnswerGatewayStatus(s, Constant(o.failed ? failure : success));
}

}  // namespace

// The gateway answers a log-on or log-off after a moment, as a real one does.
constexpr std::chrono::milliseconds kGatewayLatency{2};

void AddSessionMembers(com::Members<Simulator>& table) {
  Control::Instance().script().SetDefault("GWLogon", Answer::Succeed(kGatewayLatency));
  Control::Instance().script().SetDefault("GWLogoff", Answer::Succeed(kGatewayLatency));
  Simulator::AddSessionHook([](Simulator& s) { s.EraseArea<SessionArea>(); });
  table
      .Method(
          "GWLogon",
          [](Simulator& s, Args a) {
            std::string user = com::Arg(a, 0, "GWLogon").ToString();
            com::Arg(a, 1, "GWLogon");
            s.Respond("GWLogon", [user](Simulator& s, const Outcome& o) {
              // An unreachable gateway answers with its status; nobody logs on.
              const int32_t status = s.connection().gateway();
              if (s.connection().gateway_outage() && (status == Constant("csConnectionDown") ||
                                                      status == Constant("csConnectionTrouble"))) {
                s.Fire(EventId::OnGWConnectionStatusChanged, {Variant(status)});
                return;
              }
              auto& session = s.Area<SessionArea>();
              if (!o.failed) {
                session.logged_on = true;
                session.user = user;
              }
              AnswerWithStatus(s, o, "csConnectionUp", "csConnectionNotLoggedOn");
            });
            return Variant();
          })
      .Method("GWLogoff",
              [](Simulator& s, Args) {
                s.Respond("GWLogoff", [](Simulator& s, const Outcome& o) {
                  if (!o.failed) s.Area<SessionArea>().logged_on = false;
                  AnswerWithStatus(s, o, "csConnectionDown", "csConnectionTrouble");
                });
                return Variant();
              })
      .Property("IsGWLoggedOn", [](Simulator& s) {
        return Variant(s.Area<SessionArea>().logged_on &&
                       s.connection().gateway() == Constant("csConnectionUp"));
      });
}

}  // namespace mx::cqgcel
