// Reading a getUpdates answer entry by entry, so that one entry a JSON parser refuses (a
// lone surrogate escape such as "\ud800", bytes that are not UTF-8) does not hide the
// entries around it.
//
// Only the structure is read: string boundaries (with their backslash escapes), brackets
// and commas; nothing is decoded. Pure functions; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mx::telegram {

struct SplitArray {
  std::vector<std::string_view> elements;  // the text of each element, in order
  std::string without_elements;            // the whole text with that array emptied: []
};

// The elements of the array stored under `key` in the top-level object of `text`, or
// nothing when `text` does not have that shape (no such key, unbalanced brackets, a
// string that never ends). `key` is compared with the key's text as written.
std::optional<SplitArray> split_top_level_array(std::string_view text, std::string_view key);

// `text` (JSON) with every \u escape of a lone surrogate (one not paired high-then-low)
// replaced by \ufffd, so that a parser can read the rest of it.
std::string replace_lone_surrogate_escapes(std::string_view text);

}  // namespace mx::telegram
