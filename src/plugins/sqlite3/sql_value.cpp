#include "plugins/sqlite3/sql_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

namespace mx::sqlite {
namespace {

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out.push_back('\'');
  for (char c : text) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
}

void append_two_digits(std::string& out, int value) {
  out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

void append_date_time(std::string& out, const DateTime& v) {
  char year[16];
  int n = std::snprintf(year, sizeof year, "%04d", v.year);
  out.append(year, static_cast<std::size_t>(n));
  out.push_back('-');
  append_two_digits(out, v.month);
  out.push_back('-');
  append_two_digits(out, v.day);
  out.push_back(' ');
  append_two_digits(out, v.hour);
  out.push_back(':');
  append_two_digits(out, v.minute);
  out.push_back(':');
  append_two_digits(out, v.second);
}

// Python's repr: the shortest round-trip digits, written positionally when the decimal
// exponent lies in [-4, 16), else as d[.ddd]e±XX; whole positional values keep ".0".
void append_double_repr(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (ec != std::errc()) throw std::runtime_error("cannot format a double");
  // buf holds [-]d[.ddd]e[+-]XX: split into sign, digits and exponent.
  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[32];
  int ndigits = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[ndigits++] = *p;
  }
  int exponent = 0;
  const char* exponent_text = p + 1;
  if (*exponent_text == '+') ++exponent_text;  // from_chars takes no '+'
  std::from_chars(exponent_text, end, exponent);

  if (exponent < -4 || exponent >= 16) {
    out.push_back(digits[0]);
    if (ndigits > 1) {
      out.push_back('.');
      out.append(digits + 1, static_cast<std::size_t>(ndigits - 1));
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    int magnitude = std::abs(exponent);
    if (magnitude < 10) out.push_back('0');
    out += std::to_string(magnitude);
    return;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits, static_cast<std::size_t>(ndigits));
    return;
  }
  int integer_digits = exponent + 1;
  if (ndigits <= integer_digits) {
    out.append(digits, static_cast<std::size_t>(ndigits));
    out.append(static_cast<std::size_t>(integer_digits - ndigits), '0');
    out += ".0";
  } else {
    out.append(digits, static_cast<std::size_t>(integer_digits));
    out.push_back('.');
    out.append(digits + integer_digits, static_cast<std::size_t>(ndigits - integer_digits));
  }
}

}  // namespace

void append_sql_value(std::string& out, const SqlValue& value) {
  switch (value.index()) {
    case 0:
      append_quoted(out, std::get<std::string>(value));
      return;
    case 1: {
      double d = std::get<double>(value);
      if (std::isnan(d)) throw SqlInputError("NaN has no SQL literal");
      if (std::isinf(d)) {
        out += d < 0 ? "-9.0e+999" : "9.0e+999";
        return;
      }
      append_double_repr(out, d);
      return;
    }
    case 2: {
      char buf[24];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::get<std::int64_t>(value));
      (void)ec;
      out.append(buf, end);
      return;
    }
    default:
      out.push_back('\'');
      append_date_time(out, std::get<DateTime>(value));
      out.push_back('\'');
      return;
  }
}

std::string render_sql_value(const SqlValue& value) {
  std::string out;
  append_sql_value(out, value);
  return out;
}

std::string format_double_repr(double value) {
  std::string out;
  append_double_repr(out, value);
  return out;
}

std::string format_date_time(const DateTime& value) {
  std::string out;
  append_date_time(out, value);
  return out;
}

bool is_plain_identifier(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

void require_plain_identifier(std::string_view name, std::string_view what) {
  if (!is_plain_identifier(name)) {
    std::string message = "Invalid ";
    message += what;
    message += " '";
    message += name;
    message += "': names must be letters, digits and underscores, not starting with a digit";
    throw SqlInputError(message);
  }
}

}  // namespace mx::sqlite
