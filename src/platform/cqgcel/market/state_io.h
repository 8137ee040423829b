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
#include <limits>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

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

  // Each value in turn, by its type: integers, double, bool, text, optional<double>
  // (present flag, then the value or 0).
  template <class... T>
  StateWriter& Fields(const T&... values) {
    (Field(values), ...);
    return *this;
  }

 private:
  template <class T>
  void Field(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      Bool(v);
    } else if constexpr (std::is_same_v<T, double>) {
      Double(v);
    } else if constexpr (std::is_same_v<T, std::optional<double>>) {
      Bool(v.has_value()).Double(v.value_or(0.0));
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      Int(v);
    } else if constexpr (std::is_integral_v<T>) {
      UInt(v);
    } else {
      Text(v);
    }
  }

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

  // Reads into each value in turn, as StateWriter::Fields wrote them; StateError for an
  // integer out of its type's range.
  template <class... T>
  void Fields(T&... values) {
    (Field(values), ...);
  }

 private:
  template <class T>
  void Field(T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      v = Bool();
    } else if constexpr (std::is_same_v<T, double>) {
      v = Double();
    } else if constexpr (std::is_same_v<T, std::optional<double>>) {
      const bool has = Bool();
      const double value = Double();
      v = has ? std::optional<double>(value) : std::nullopt;
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      const int64_t value = Int();
      if constexpr (sizeof(T) < sizeof(int64_t)) {
        if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
          throw StateError("a number out of range");
        }
      }
      v = static_cast<T>(value);
    } else if constexpr (std::is_integral_v<T>) {
      const uint64_t value = UInt();
      if constexpr (sizeof(T) < sizeof(uint64_t)) {
        if (value > std::numeric_limits<T>::max()) throw StateError("a number out of range");
      }
      v = static_cast<T>(value);
    } else {
      v = Text();
    }
  }

  std::string Token(std::string_view what);
  std::istream& in_;
};

}  // namespace mx::cqgcel::market
