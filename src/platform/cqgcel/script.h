// The simulator's scripted side: how each kind of request is answered, and the journal of
// what the object received.
//
// A request kind is a name ("Startup"; later "GWLogon", "NewInstrument", ...). Its
// Answer says: succeed, fail with an error object (Code, Description), fail without an
// error object, or hold the answer back until the test releases it; an answer that is
// given may come after a delay. Raise is the synchronous failure: the call (or property
// write) of the member named like the request throws the COM error itself, before it
// changes anything or raises any event. Answers are read when the request arrives, so a test can
// script them before the simulator exists.
//
// Thread-safety: Script and Journal may be used from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/dispatch.h"

namespace mx::cqgcel {

struct Answer {
  enum class Mode { kSucceed, kFail, kFailWithoutError, kHold, kRaise };
  Mode mode = Mode::kSucceed;
  std::chrono::microseconds delay{0};
  int32_t code = 0;         // error object's Code (kFail)
  std::string description;  // error object's Description / the event's description text

  static Answer Succeed(std::chrono::microseconds delay = {}) {
    return Answer{Mode::kSucceed, delay, 0, {}};
  }
  static Answer Fail(int32_t code, std::string description, std::chrono::microseconds delay = {}) {
    return Answer{Mode::kFail, delay, code, std::move(description)};
  }
  static Answer FailWithoutError(std::string description = {}) {
    return Answer{Mode::kFailWithoutError, {}, 0, std::move(description)};
  }
  static Answer Hold() { return Answer{Mode::kHold, {}, 0, {}}; }
  static Answer Raise(int32_t code, std::string description) {
    return Answer{Mode::kRaise, {}, code, std::move(description)};
  }
  // The answer a control call names: mode "succeed", "fail", "fail_without_error",
  // "hold" or "raise", after `delay` (>= 0; none for "raise"; a held answer has none
  // either, it waits for its release). std::invalid_argument for a bad mode or delay.
  static Answer FromMode(const std::string& mode, std::chrono::microseconds delay, int32_t code,
                         const std::string& description);
  // The same with the delay in seconds (finite).
  static Answer FromMode(const std::string& mode, double delay_seconds, int32_t code,
                         const std::string& description);
};

// What a request's handler is told when its answer is given.
struct Outcome {
  bool failed = false;
  com::DispatchPtr error;   // the error object, or null (success, or failure without one)
  std::string description;  // the failure's description ("" on success)
};

class Script {
 public:
  // The default answer of a request kind (used until a test sets another, and after Reset).
  void SetDefault(std::string request, Answer answer);
  void Set(std::string request, Answer answer);
  Answer For(std::string_view request) const;
  // Throws the scripted com::ComError when `request`'s answer is Raise (Code: the answer's
  // code, else E_FAIL; text: its description, else "<request> failed"). Costs one atomic
  // load while no Raise answer is set: it runs on every call the simulator receives.
  void RaiseIfScripted(std::string_view request) const;
  // Forget what tests set; defaults stay.
  void Reset();

 private:
  void CountRaises();  // mu_ held

  mutable std::mutex mu_;
  std::atomic<int> raises_{0};                           // how many answers_ are Raise
  std::map<std::string, Answer, std::less<>> defaults_;  // guarded by mu_
  std::map<std::string, Answer, std::less<>> answers_;   // guarded by mu_
};

struct JournalEntry {
  std::string object;  // type name, e.g. "CQGCEL", "APIConfiguration"
  std::string member;  // "" for the default member
  com::CallKind kind;  // Put: a property write; Method: a call; Get: a read with arguments
  std::vector<com::Variant> args;
  uint64_t thread = 0;  // the thread the member ran on (pthread_self)
};

class Journal {
 public:
  void Add(std::string_view object, std::string_view member, com::CallKind kind, com::Args args);
  std::vector<JournalEntry> Entries() const;
  void Clear();
  void SetEnabled(bool enabled);
  // The journal of reads: plain property reads (Count, Request.Symbol, read-backs) and
  // every member use of the objects that are data (ticks, bars) go to the journal too,
  // as kind Get. Off by default: a host reads far more than it calls.
  void SetReadsEnabled(bool enabled) { reads_.store(enabled, std::memory_order_release); }
  bool reads() const { return reads_.load(std::memory_order_acquire); }

 private:
  mutable std::mutex mu_;
  std::vector<JournalEntry> entries_;  // guarded by mu_
  bool enabled_ = true;                // guarded by mu_
  std::atomic<bool> reads_{false};
};

}  // namespace mx::cqgcel
