#include "platform/cqgcel/member_faults.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "platform/cqgcel/objects.h"
#include "platform/cqgcel/sim_accounts.h"
#include "platform/cqgcel/sim_instruments.h"
#include "platform/cqgcel/sim_orders.h"
#include "platform/cqgcel/sim_ticks.h"
#include "platform/cqgcel/sim_timed_bars.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {
namespace {

template <class T>
std::pair<std::string, std::function<std::vector<std::string>()>> Entry() {
  return {T::Table().type_name(), [] { return T::Table().Names(); }};
}

std::atomic<ReadGate::WaitWrapper> wait_wrapper{nullptr};

}  // namespace

void ReadGate::SetWaitWrapper(WaitWrapper wrapper) { wait_wrapper.store(wrapper); }

void ReadGate::Arrive() {
  {
    std::lock_guard lk(mu_);
    ++arrivals_;
    if (open_ || expired_) return;
  }
  cv_.notify_all();
  auto wait = [](void* gate) { static_cast<ReadGate*>(gate)->WaitOpen(); };
  if (auto wrapper = wait_wrapper.load()) {
    wrapper(wait, this);
  } else {
    wait(this);
  }
}

void ReadGate::WaitOpen() {
  std::unique_lock lk(mu_);
  if (!cv_.wait_for(lk, deadline_, [&] { return open_; })) expired_ = true;
}

bool ReadGate::WaitArrived(std::chrono::milliseconds timeout) {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, timeout, [&] { return arrivals_ > 0; });
}

void ReadGate::Open() {
  {
    std::lock_guard lk(mu_);
    open_ = true;
  }
  cv_.notify_all();
}

int ReadGate::arrivals() const {
  std::lock_guard lk(mu_);
  return arrivals_;
}

bool ReadGate::expired() const {
  std::lock_guard lk(mu_);
  return expired_;
}

std::vector<std::string> MemberFaults::MembersOf(std::string_view type) {
  static const std::vector<std::pair<std::string, std::function<std::vector<std::string>()>>>
      types = {Entry<Simulator>(),
               Entry<ApiConfiguration>(),
               Entry<ErrorObject>(),
               Entry<SimQuote>(),
               Entry<SimQuotes>(),
               Entry<SimInstrument>(),
               Entry<SimInstruments>(),
               Entry<SimSummary>(),
               Entry<SimPosition>(),
               Entry<SimPositions>(),
               Entry<SimAccount>(),
               Entry<SimAccounts>(),
               Entry<SimFill>(),
               Entry<SimFills>(),
               Entry<SimOrderProperty>(),
               Entry<SimOrderProperties>(),
               Entry<SimOrder>(),
               Entry<SimOrders>(),
               Entry<Tick>(),
               Entry<TicksRequest>(),
               Entry<Ticks>(),
               Entry<TicksCollection>(),
               Entry<TimedBar>(),
               Entry<TimedBarsRequest>(),
               Entry<TimedBars>(),
               Entry<TimedBarsCollection>()};
  for (const auto& [name, members] : types) {
    if (name == type) return members();
  }
  return {};
}

void MemberFaults::Add(MemberFault fault) {
  auto members = MembersOf(fault.type);
  if (members.empty()) {
    throw std::invalid_argument("The simulator has no object type '" + fault.type + "'");
  }
  auto require = [&](const std::string& member) {
    if (std::find(members.begin(), members.end(), member) == members.end()) {
      throw std::invalid_argument(fault.type + " has no member '" + member + "'");
    }
  };
  require(fault.member);
  for (const auto& [member, value] : fault.where) require(member);
  std::lock_guard lk(mu_);
  faults_.push_back(std::move(fault));
  count_.store(faults_.size(), std::memory_order_release);
}

void MemberFaults::Clear() {
  std::lock_guard lk(mu_);
  faults_.clear();
  count_.store(0, std::memory_order_release);
}

std::vector<MemberFault> MemberFaults::For(std::string_view type, std::string_view member) const {
  std::lock_guard lk(mu_);
  std::vector<MemberFault> out;
  for (const auto& f : faults_) {
    if (f.type == type && f.member == member) out.push_back(f);
  }
  return out;
}

}  // namespace mx::cqgcel
