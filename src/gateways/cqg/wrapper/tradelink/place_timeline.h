// PlaceTimeline: when each step of the latest place_order happened, for the benchmark's
// breakdown of the round trip.
//
// Off by default (one process-wide switch); when off, Mark is a single relaxed load and
// nothing is written. Marks come from the caller's thread and from the COM thread; each
// stamp is an atomic, and the caller reads them after the placement has returned (the
// COM thread's marks happen before the hand-overs that end the placement).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace mx::tradelink {

class PlaceTimeline {
 public:
  enum Step {
    kEntered,        // caller: the placement holds its per-instance lock
    kOrderRead,      // caller: the host's order read and checked, about to post the task
    kTaskStarted,    // COM thread: the task runs
    kPlaceReturned,  // COM thread: Place has returned
    kTaskDone,       // caller: back from the task
    kAddedSeen,      // COM thread: this order's ctAdded handed over
    kCallerWoken,    // caller: the wait has returned
    kReturned,       // caller: the GIL is held again, about to return
    kStepCount
  };

  static void Enable(bool on) { enabled_.store(on, std::memory_order_relaxed); }
  static bool Enabled() { return enabled_.load(std::memory_order_relaxed); }

  // Clears every stamp and marks kEntered.
  void Start() {
    if (!Enabled()) return;
    for (auto& s : stamps_) s.store(0, std::memory_order_relaxed);
    Stamp(kEntered);
  }
  void Mark(Step step) {
    if (Enabled()) Stamp(step);
  }
  // Nanoseconds from kEntered to each step; -1 for a step not reached.
  std::array<int64_t, kStepCount> Offsets() const {
    std::array<int64_t, kStepCount> out{};
    const int64_t start = stamps_[kEntered].load(std::memory_order_acquire);
    for (int i = 0; i < kStepCount; ++i) {
      const int64_t t = stamps_[i].load(std::memory_order_acquire);
      out[i] = (t == 0 || start == 0) ? -1 : t - start;
    }
    return out;
  }

 private:
  void Stamp(Step step) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    stamps_[step].store(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
                        std::memory_order_release);
  }

  static inline std::atomic<bool> enabled_{false};
  std::array<std::atomic<int64_t>, kStepCount> stamps_{};
};

}  // namespace mx::tradelink
