#include "platform/telegram/json_split.h"

#include <cstdint>

namespace mx::telegram {

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_space(std::string_view text, std::size_t pos) {
  while (pos < text.size() && is_space(text[pos])) ++pos;
  return pos;
}

// Position after the string that opens at `pos`, or npos when it never ends.
std::size_t skip_string(std::string_view text, std::size_t pos) {
  for (std::size_t i = pos + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return npos;
}

// Position after the value that starts at `pos`: a string, a balanced object or array,
// or a bare word (number, true, false, null). npos when it is cut short.
std::size_t skip_value(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return npos;
  char first = text[pos];
  if (first == '"') return skip_string(text, pos);
  if (first == '{' || first == '[') {
    int depth = 0;
    for (std::size_t i = pos; i < text.size();) {
      char c = text[i];
      if (c == '"') {
        i = skip_string(text, i);
        if (i == npos) return npos;
        continue;
      }
      if (c == '{' || c == '[') {
        ++depth;
      } else if ((c == '}' || c == ']') && --depth == 0) {
        return i + 1;
      }
      ++i;
    }
    return npos;
  }
  std::size_t i = pos;
  while (i < text.size() && !is_space(text[i]) && text[i] != ',' && text[i] != '}' &&
         text[i] != ']') {
    ++i;
  }
  return i == pos ? npos : i;
}

// The elements of the array that opens at `open`; `close` receives the position of its "]".
std::optional<std::vector<std::string_view>> array_elements(std::string_view text, std::size_t open,
                                                            std::size_t& close) {
  std::vector<std::string_view> elements;
  std::size_t i = skip_space(text, open + 1);
  if (i < text.size() && text[i] != ']') {
    for (;;) {
      std::size_t end = skip_value(text, i);
      if (end == npos) return std::nullopt;
      elements.push_back(text.substr(i, end - i));
      i = skip_space(text, end);
      if (i < text.size() && text[i] == ',') {
        i = skip_space(text, i + 1);
        continue;
      }
      break;
    }
  }
  if (i >= text.size() || text[i] != ']') return std::nullopt;
  close = i;
  return elements;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of a "\uXXXX" escape at `pos`, or -1 when there is none.
std::int32_t escaped_unit(std::string_view text, std::size_t pos) {
  if (pos + 6 > text.size() || text[pos] != '\\' || text[pos + 1] != 'u') return -1;
  std::int32_t unit = 0;
  for (std::size_t i = pos + 2; i < pos + 6; ++i) {
    int digit = hex_value(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

bool is_high(std::int32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low(std::int32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::optional<SplitArray> split_top_level_array(std::string_view text, std::string_view key) {
  std::size_t i = skip_space(text, 0);
  if (i >= text.size() || text[i] != '{') return std::nullopt;
  i = skip_space(text, i + 1);
  while (i < text.size() && text[i] != '}') {
    if (text[i] != '"') return std::nullopt;
    std::size_t key_end = skip_string(text, i);
    if (key_end == npos) return std::nullopt;
    std::string_view name = text.substr(i + 1, key_end - i - 2);
    i = skip_space(text, key_end);
    if (i >= text.size() || text[i] != ':') return std::nullopt;
    i = skip_space(text, i + 1);
    if (name == key && i < text.size() && text[i] == '[') {
      std::size_t close = 0;
      auto elements = array_elements(text, i, close);
      if (!elements) return std::nullopt;
      SplitArray out;
      out.elements = std::move(*elements);
      out.without_elements.reserve(text.size() - (close - i - 1));
      out.without_elements.append(text.substr(0, i + 1)).append(text.substr(close));
      return out;
    }
    std::size_t end = skip_value(text, i);
    if (end == npos) return std::nullopt;
    i = skip_space(text, end);
    if (i < text.size() && text[i] == ',') i = skip_space(text, i + 1);
  }
  return std::nullopt;
}

std::string replace_lone_surrogate_escapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out.push_back(text[i++]);
      continue;
    }
    std::int32_t unit = escaped_unit(text, i);
    if (unit < 0) {  // another escape: copied whole, so "\\u" is never misread
      out.append(text.substr(i, 2));
      i += 2;
      continue;
    }
    if (is_high(unit) && is_low(escaped_unit(text, i + 6))) {
      out.append(text.substr(i, 12));
      i += 12;
    } else if (is_high(unit) || is_low(unit)) {
      out.append("\\ufffd");
      i += 6;
    } else {
      out.append(text.substr(i, 6));
      i += 6;
    }
  }
  return out;
}

}  // namespace mx::telegram
