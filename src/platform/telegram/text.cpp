#include "platform/telegram/text.h"

#include <cstdint>

namespace mx::telegram {

namespace {

struct Decoded {
  char32_t code_point;
  std::size_t bytes;  // length of the sequence in bytes, at least 1
};

// Decodes the character at `pos`; an invalid sequence yields U+FFFD over one byte.
Decoded decode_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(pos);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (lead >= 0xF5) length = 0;
  if (length == 0 || pos + length > text.size()) return {0xFFFD, 1};
  char32_t cp = lead & (0xFF >> (length + 1));
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return {0xFFFD, 1};
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  // Reject overlong forms, surrogates and values past U+10FFFF.
  static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return {0xFFFD, 1};
  return {cp, length};
}

std::size_t units_of(char32_t cp) { return cp > 0xFFFF ? 2 : 1; }

bool is_python_space(char32_t cp) {
  switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x1C:
    case 0x1D:
    case 0x1E:
    case 0x1F:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

}  // namespace

std::size_t utf16_length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    Decoded d = decode_at(text, pos);
    units += units_of(d.code_point);
    pos += d.bytes;
  }
  return units;
}

std::size_t byte_offset_of_utf16(std::string_view text, std::size_t units) {
  std::size_t pos = 0;
  std::size_t counted = 0;
  while (pos < text.size() && counted < units) {
    Decoded d = decode_at(text, pos);
    counted += units_of(d.code_point);
    pos += d.bytes;
  }
  return pos;
}

std::vector<std::string> split_message(std::string_view text, std::size_t max_units) {
  std::vector<std::string> pieces;
  if (max_units < 2) max_units = 2;  // room for one character of any size
  while (true) {
    // Walk as far as the limit allows, remembering the last line break inside the window.
    std::size_t pos = 0;
    std::size_t units = 0;
    std::size_t last_break = std::string_view::npos;
    while (pos < text.size()) {
      Decoded d = decode_at(text, pos);
      if (units + units_of(d.code_point) > max_units) break;
      if (d.code_point == '\n') last_break = pos;
      units += units_of(d.code_point);
      pos += d.bytes;
    }
    if (pos >= text.size()) {
      pieces.emplace_back(text);
      return pieces;
    }
    // The character at `pos` does not fit. A line break right there ends the piece too.
    if (text[pos] == '\n') last_break = pos;
    if (last_break != std::string_view::npos && last_break > 0) {
      pieces.emplace_back(text.substr(0, last_break));
      text.remove_prefix(last_break + 1);
    } else {
      pieces.emplace_back(text.substr(0, pos));  // one line over the limit: cut between characters
      text.remove_prefix(pos);
    }
  }
}

std::vector<std::string> split_words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t start = std::string_view::npos;
  for (std::size_t pos = 0; pos < text.size();) {
    Decoded d = decode_at(text, pos);
    bool space = is_python_space(d.code_point);
    if (space && start != std::string_view::npos) {
      words.emplace_back(text.substr(start, pos - start));
      start = std::string_view::npos;
    } else if (!space && start == std::string_view::npos) {
      start = pos;
    }
    pos += d.bytes;
  }
  if (start != std::string_view::npos) words.emplace_back(text.substr(start));
  return words;
}

}  // namespace mx::telegram
