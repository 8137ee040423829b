// Text helpers for the Bot API: UTF-16 lengths (the unit the service counts in), splitting
// long texts into messages, splitting arguments on white space.
//
// Invalid UTF-8 never makes these fail: a byte that does not start a valid sequence counts
// as one character of its own. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mx::telegram {

// The service's limit on the text of one message, in UTF-16 code units.
inline constexpr std::size_t kMaxMessageUnits = 4096;

// Number of UTF-16 code units of a UTF-8 text (characters beyond U+FFFF count two).
std::size_t utf16_length(std::string_view text);

// Byte position in `text` after `units` UTF-16 code units (clamped to the text's end).
std::size_t byte_offset_of_utf16(std::string_view text, std::size_t units);

// Splits `text` into pieces of at most `max_units` UTF-16 units each. A piece ends at a
// line end where it can: the line break between two pieces is dropped, so joining the
// pieces with "\n" gives the text back. A single line longer than the limit is cut at
// the limit, between two characters (never inside one). A text within the limit is
// returned as its only piece, even when empty.
std::vector<std::string> split_message(std::string_view text,
                                       std::size_t max_units = kMaxMessageUnits);

// Splits on runs of white space (the characters Python's str.split() treats as white
// space, ASCII and Unicode alike); no empty words.
std::vector<std::string> split_words(std::string_view text);

}  // namespace mx::telegram
