#include "platform/cqgcel/sim_members.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

void AddInstrumentMembers(com::Members<Simulator>& /*table*/) {}

}  // namespace mx::cqgcel
