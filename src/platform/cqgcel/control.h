// Control: the process-wide control surface of the simulator, for tests and tools.
//
// It holds the script (answers by request kind) and the journal, which every simulator
// uses, so settings made before a host creates CQGCEL apply to it; and it knows the live
// simulator (the most recently created one that still exists), through which a test
// raises events, releases held answers or posts a quit message to its COM thread.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/variant.h"
#include "platform/cqgcel/member_faults.h"
#include "platform/cqgcel/script.h"

namespace mx::cqgcel {

class Simulator;

class Control {
 public:
  static Control& Instance();

  Script& script() { return script_; }
  Journal& journal() { return journal_; }
  MemberFaults& faults() { return faults_; }

  // The live simulator, or null; RequireLive: std::runtime_error without one.
  std::shared_ptr<Simulator> Live() const;
  std::shared_ptr<Simulator> RequireLive() const;
  void SetLive(const std::shared_ptr<Simulator>& simulator);

  // Answers back to their defaults, journal emptied and enabled (its reads off), member
  // faults cleared, then the reset hooks.
  void Reset();
  // `hook` runs at every Reset (parts of the simulator that keep scripted data of their
  // own forget it there). Hooks are never removed.
  void AddResetHook(std::function<void()> hook);

  // Each of these acts on the live simulator; std::runtime_error when there is none.
  // RaiseEvent: std::invalid_argument for an unknown event or a wrong argument count.
  void RaiseEvent(std::string_view name, std::vector<com::Variant> args, bool wait);
  void PostQuit(int exit_code);
  void InjectWaitFailure();
  size_t Release(std::string_view request, const Answer& answer);
  // Raises event `name` `count` times in one go on the COM thread; returns the nanoseconds
  // the deliveries took there. std::invalid_argument for an unknown event or a wrong
  // argument count.
  int64_t FireMany(std::string_view name, int64_t count, const std::vector<com::Variant>& args);

 private:
  Control();

  Script script_;
  Journal journal_;
  MemberFaults faults_;
  mutable std::mutex mu_;
  std::weak_ptr<Simulator> live_;                   // guarded by mu_
  std::vector<std::function<void()>> reset_hooks_;  // guarded by mu_
};

// Reads `property` of `target` `count` times from the calling thread; each round trip in
// nanoseconds (a measurement for the benchmark).
std::vector<int64_t> TimePropertyReads(const com::DispatchPtr& target, const std::string& property,
                                       int count);

}  // namespace mx::cqgcel
