// CelEventMap: a server's event dispatch ids mapped to this code's event index (EventId),
// by name, from the server's type information (the default source interface of its
// class). An id the server declares for an event this code does not know maps to nothing:
// such events are ignored. Events of ours the server lacks simply never arrive.
//
// Thread-safety: immutable after construction; any thread.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/com/events.h"

namespace mx::cqgcel {

class CelEventMap {
 public:
  // `server_events`: (name, dispatch id) as SourceEventsOf gives them.
  explicit CelEventMap(const std::vector<com::EventInterface::Member>& server_events);

  // The index (EventId value) of the event with this dispatch id; 0 when unknown.
  int IndexOf(int dispid) const {
    if (!dense_.empty()) {
      const int64_t slot = int64_t{dispid} - lowest_;
      return slot >= 0 && slot < static_cast<int64_t>(dense_.size()) ? dense_[slot] : 0;
    }
    auto it = sparse_.find(dispid);
    return it == sparse_.end() ? 0 : it->second;
  }
  // How many of this code's events the server declares.
  int known() const { return known_; }

 private:
  int lowest_ = 0;
  std::vector<int16_t> dense_;  // dispatch id - lowest_ -> index (0: unknown)
  std::unordered_map<int, int> sparse_;
  int known_ = 0;
};

}  // namespace mx::cqgcel
