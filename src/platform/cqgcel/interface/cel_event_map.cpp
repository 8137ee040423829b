#include "platform/cqgcel/interface/cel_event_map.h"

#include <algorithm>

#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::cqgcel {

CelEventMap::CelEventMap(const std::vector<com::EventInterface::Member>& server_events) {
  std::vector<std::pair<int, int>> known;  // dispatch id, index
  for (const auto& [name, dispid] : server_events) {
    if (int index = CelEvents().DispId(name); index != 0) known.emplace_back(dispid, index);
  }
  known_ = static_cast<int>(known.size());
  if (known.empty()) return;
  auto [lo, hi] = std::minmax_element(known.begin(), known.end());
  // Dispatch ids are usually close together: a table; else a map.
  if (int64_t{hi->first} - lo->first < 65536) {
    lowest_ = lo->first;
    dense_.assign(static_cast<size_t>(hi->first - lo->first + 1), 0);
    for (auto [dispid, index] : known) {
      dense_[static_cast<size_t>(dispid - lowest_)] = static_cast<int16_t>(index);
    }
  } else {
    for (auto [dispid, index] : known) sparse_.emplace(dispid, index);
  }
}

}  // namespace mx::cqgcel
