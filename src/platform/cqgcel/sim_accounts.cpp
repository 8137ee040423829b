#include "platform/cqgcel/sim_members.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

void AddAccountMembers(com::Members<Simulator>& /*table*/) {}

}  // namespace mx::cqgcel
