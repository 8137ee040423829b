// SimList<Tag>: a CQGCEL collection of objects: Count, Item(i) / ItemByIndex(i) (0-based),
// calling the collection itself (Item), and iteration in order. Tag names the type
// (`static constexpr const char* kName`).
//
// Thread-safety: as com::Object (the home apartment's thread).
#pragma once

#include <string>
#include <vector>

#include "platform/com/com_error.h"
#include "platform/cqgcel/sim_object.h"

namespace mx::cqgcel {

template <class Tag>
class SimList : public SimObject<SimList<Tag>> {
 public:
  std::vector<com::DispatchPtr> items;

  static const com::Members<SimList>& Table() {
    static const auto table =
        com::Members<SimList>(Tag::kName)
            .Property("Count",
                      [](SimList& l) { return com::Variant(static_cast<int32_t>(l.items.size())); })
            .Method("Item", [](SimList& l, com::Args a) { return l.At(a); })
            .Method("ItemByIndex", [](SimList& l, com::Args a) { return l.At(a); })
            .Enumerator([](SimList& l) {
              return std::vector<com::Variant>(l.items.begin(), l.items.end());
            });
    return table;
  }

 private:
  com::Variant At(com::Args args) {
    int64_t i = com::Arg(args, 0, Tag::kName).ToInt();
    if (i < 0 || i >= static_cast<int64_t>(items.size())) {
      throw com::ComError(com::hresult::kBadIndex, std::string(Tag::kName) + ": index " +
                                                       std::to_string(i) + " is out of range");
    }
    return com::Variant(items[static_cast<size_t>(i)]);
  }
};

}  // namespace mx::cqgcel
