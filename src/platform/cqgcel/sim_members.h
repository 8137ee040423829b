// The areas of the simulated CQGCEL: each adds its members to CQGCEL's member table.
//
// Thread-safety: called once, while the table is built.
#pragma once

#include "platform/com/object.h"

namespace mx::cqgcel {

class Simulator;

void AddSessionMembers(com::Members<Simulator>& table);     // GWLogon, GWLogoff
void AddInstrumentMembers(com::Members<Simulator>& table);  // NewInstrument, Instruments, ...
void AddAccountMembers(com::Members<Simulator>& table);     // Accounts, AccountSubscriptionLevel
void AddOrderMembers(com::Members<Simulator>& table);       // CreateOrder, Orders
void AddTickMembers(com::Members<Simulator>& table);        // tick requests, AllTicks
void AddTimedBarMembers(com::Members<Simulator>& table);    // timed-bars requests, AllTimedBars

}  // namespace mx::cqgcel
