#include "platform/cqgcel/market/state_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace mx::cqgcel::market {

namespace {
constexpr size_t kMaxCount = 100'000'000;
}

StateWriter& StateWriter::Tag(std::string_view tag) {
  out_ << tag << ' ';
  return *this;
}

StateWriter& StateWriter::Int(int64_t v) {
  out_ << v << ' ';
  return *this;
}

StateWriter& StateWriter::UInt(uint64_t v) {
  out_ << v << ' ';
  return *this;
}

StateWriter& StateWriter::Double(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%a", v);
  out_ << text << ' ';
  return *this;
}

StateWriter& StateWriter::Text(std::string_view v) {
  out_ << v.size() << ':' << v << ' ';
  return *this;
}

StateWriter& StateWriter::Line() {
  out_ << '\n';
  return *this;
}

std::string StateReader::Token(std::string_view what) {
  std::string token;
  if (!(in_ >> token)) throw StateError("the file ends where " + std::string(what) + " belongs");
  return token;
}

void StateReader::Tag(std::string_view tag) {
  const std::string token = Token(tag);
  if (token != tag) {
    throw StateError("expected '" + std::string(tag) + "', found '" + token.substr(0, 40) + "'");
  }
}

int64_t StateReader::Int() {
  const std::string token = Token("a number");
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(token.c_str(), &end, 10);
  if (errno != 0 || end == token.c_str() || *end != '\0') {
    throw StateError("expected a whole number, found '" + token.substr(0, 40) + "'");
  }
  return v;
}

uint64_t StateReader::UInt() {
  const std::string token = Token("a number");
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(token.c_str(), &end, 10);
  if (errno != 0 || end == token.c_str() || *end != '\0' || token[0] == '-') {
    throw StateError("expected a whole number, found '" + token.substr(0, 40) + "'");
  }
  return v;
}

double StateReader::Double() {
  const std::string token = Token("a number");
  char* end = nullptr;
  const double v = std::strtod(token.c_str(), &end);
  if (end == token.c_str() || *end != '\0') {
    throw StateError("expected a number, found '" + token.substr(0, 40) + "'");
  }
  return v;
}

std::string StateReader::Text() {
  in_ >> std::ws;
  size_t length = 0;
  if (!(in_ >> length) || in_.get() != ':' || length > kMaxCount) {
    throw StateError("expected a text");
  }
  std::string text(length, '\0');
  if (!in_.read(text.data(), static_cast<std::streamsize>(length))) {
    throw StateError("the file ends inside a text");
  }
  return text;
}

size_t StateReader::Count() {
  const int64_t n = Int();
  if (n < 0 || static_cast<uint64_t>(n) > kMaxCount) {
    throw StateError("a count of " + std::to_string(n) + " is out of range");
  }
  return static_cast<size_t>(n);
}

}  // namespace mx::cqgcel::market
