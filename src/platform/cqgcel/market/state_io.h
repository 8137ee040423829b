// A portable text form for saved simulator state: whitespace-separated tokens.
//
// Integers in decimal; doubles in C99 hexadecimal floating point ("%a"), so every value
// reads back bit for bit on any platform; texts as <length>:<bytes>, so any byte may
// appear in them; tags are bare words that a reader checks, so a file of another layout
// is refused at the first difference instead of being read as numbers.
//
// Errors: StateReader throws StateError (a std::runtime_error) naming what it expected.
// Thread-safety: values; one thread at a time.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace mx::cqgcel::market {

class StateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class StateWriter {
 public:
  explicit StateWriter(std::ostream& out) : out_(out) {}
  StateWriter& Tag(std::string_view tag);
  StateWriter& Int(int64_t v);
  StateWriter& UInt(uint64_t v);
  StateWriter& Double(double v);
  StateWriter& Text(std::string_view v);
  StateWriter& Bool(bool v) { return Int(v ? 1 : 0); }
  StateWriter& Line();  // a line break, for a reader of the file

 private:
  std::ostream& out_;
};

class StateReader {
 public:
  explicit StateReader(std::istream& in) : in_(in) {}
  // Reads a tag; StateError unless it is `tag`.
  void Tag(std::string_view tag);
  int64_t Int();
  uint64_t UInt();
  double Double();
  std::string Text();
  bool Bool() { return Int() != 0; }
  // A count that is not negative and not absurd (guards allocations from a bad file).
  size_t Count();

 private:
  std::string Token(std::string_view what);
  std::istream& in_;
};

}  // namespace mx::cqgcel::market
