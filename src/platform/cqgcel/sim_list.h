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

// Item `args[0]` of `items` as a Variant; ComError kBadIndex when out of range. `argument`
// names the member in the error for a missing argument.
template <class Items>
com::Variant ListItem(const Items& items, com::Args args, const char* type_name,
                      const char* argument) {
  int64_t i = com::Arg(args, 0, argument).ToInt();
  if (i < 0 || i >= static_cast<int64_t>(items.size())) {
    throw com::ComError(com::hresult::kBadIndex, std::string(type_name) + ": index " +
                                                     std::to_string(i) + " is out of range");
  }
  return com::Variant(com::DispatchPtr(items[static_cast<size_t>(i)]));
}

// The members every collection `L` (with a vector of objects `items`) has: Count, Item(i)
// and iteration in order.
template <class L>
com::Members<L> ListMembers(const char* type_name, const char* argument = "Item") {
  return com::Members<L>(type_name)
      .Property("Count", [](L& l) { return com::Variant(static_cast<int32_t>(l.items.size())); })
      .Method("Item", [type_name, argument](
                          L& l, com::Args a) { return ListItem(l.items, a, type_name, argument); })
      .Enumerator([](L& l) {
        std::vector<com::Variant> out;
        out.reserve(l.items.size());
        for (const auto& item : l.items) out.emplace_back(com::DispatchPtr(item));
        return out;
      });
}

template <class Tag>
class SimList : public SimObject<SimList<Tag>> {
 public:
  std::vector<com::DispatchPtr> items;

  static const com::Members<SimList>& Table() {
    static const auto table = ListMembers<SimList>(Tag::kName, Tag::kName)
                                  .Method("ItemByIndex", [](SimList& l, com::Args a) {
                                    return ListItem(l.items, a, Tag::kName, Tag::kName);
                                  });
    return table;
  }
};

}  // namespace mx::cqgcel
