// MemberFaults: members of the simulator's objects that a test has made unreadable.
//
// A fault names an object type ("CQGPosition", "CQGOrder", ...) and one of its members; a
// read or call of that member raises the fault's COM error instead of answering. `where`
// narrows it to the objects whose other members read as the given values (the CQGPosition
// whose InstrumentName is "F.US.ENQ"), so one object among many fails. SimObject checks
// the faults on every read, before the member runs; the check is one atomic load while no
// fault is set. A fault with a gate holds the read instead of failing it (ReadGate).
//
// Thread-safety: any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/variant.h"

namespace mx::cqgcel {

// A gate on a read: the thread making the read (the COM thread, inside an event or a
// walk) stops there until the test opens the gate, or its deadline passes, so a test can
// look at what other threads see in the middle of an update. Once open (or past its
// deadline) it lets every later read through.
class ReadGate {
 public:
  explicit ReadGate(std::chrono::milliseconds deadline) : deadline_(deadline) {}
  // The reading thread: counts the arrival and waits (through the wait wrapper).
  void Arrive();
  // Until a read has arrived or `timeout` has passed; whether one has.
  bool WaitArrived(std::chrono::milliseconds timeout);
  void Open();
  int arrivals() const;
  bool expired() const;  // a reader gave up waiting: the test never opened it in time

  // How a reader's wait runs: `wait` is called through this (the Python module installs
  // one that releases the interpreter lock around it). Set once, at load.
  using WaitWrapper = void (*)(void (*wait)(void*), void* context);
  static void SetWaitWrapper(WaitWrapper wrapper);

 private:
  void WaitOpen();

  std::chrono::milliseconds deadline_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int arrivals_ = 0;      // guarded by mu_
  bool open_ = false;     // guarded by mu_
  bool expired_ = false;  // guarded by mu_
};

struct MemberFault {
  std::string type;    // the object's type name, e.g. "CQGPosition"
  std::string member;  // e.g. "AveragePrice"
  std::vector<std::pair<std::string, com::Variant>> where;  // member -> value; all must match
  int32_t code = 0;                                         // 0: E_FAIL
  std::string description;
  std::shared_ptr<ReadGate> gate;  // set: the read waits at the gate instead of failing
};

class MemberFaults {
 public:
  // std::invalid_argument for a type the simulator does not have, or a member (of the
  // fault or of `where`) that the type lacks.
  void Add(MemberFault fault);
  void Clear();
  bool Any() const { return count_.load(std::memory_order_acquire) > 0; }
  // The faults on `type`.`member`, in the order they were added.
  std::vector<MemberFault> For(std::string_view type, std::string_view member) const;

  // The member names of a simulator type; empty for an unknown type.
  static std::vector<std::string> MembersOf(std::string_view type);

 private:
  mutable std::mutex mu_;
  std::vector<MemberFault> faults_;  // guarded by mu_
  std::atomic<size_t> count_{0};
};

}  // namespace mx::cqgcel
