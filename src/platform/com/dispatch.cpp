#include "platform/com/dispatch.h"

namespace mx::com {

std::vector<Variant> IDispatch::Enumerate() {
  int64_t n = Count();
  std::vector<Variant> items;
  items.reserve(static_cast<size_t>(n > 0 ? n : 0));
  for (int64_t i = 0; i < n; ++i) {
    Variant index(static_cast<int32_t>(i));
    items.push_back(Invoke("Item", CallKind::Method, Args(&index, 1)));
  }
  return items;
}

}  // namespace mx::com
