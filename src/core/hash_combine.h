// Combines the hashes of a fixed sequence of values into one, order-sensitively.
//
// The same xxHash-derived lane mixing that CPython uses for tuples, so a record of
// one of the four kinds hashes exactly like the tuple of its six fields would.
// Plain C++ with no Python headers; no state shared between instances.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mx::security {

class TupleHashCombiner {
 public:
  // `lane` is one element's hash, reinterpreted as unsigned.
  constexpr void add(std::uint64_t lane) {
    acc_ += lane * kPrime2;
    acc_ = (acc_ << 31) | (acc_ >> 33);
    acc_ *= kPrime1;
    ++count_;
  }

  // The combined hash; never the all-ones pattern that means "error" to CPython.
  constexpr std::uint64_t finish() const {
    std::uint64_t acc = acc_ + (count_ ^ (kPrime5 ^ 3527539UL));
    return acc == ~std::uint64_t{0} ? 1546275796U : acc;
  }

 private:
  static constexpr std::uint64_t kPrime1 = 11400714785074694791ULL;
  static constexpr std::uint64_t kPrime2 = 14029467366897019727ULL;
  static constexpr std::uint64_t kPrime5 = 2870177450012600261ULL;

  std::uint64_t acc_ = kPrime5;
  std::uint64_t count_ = 0;
};

}  // namespace mx::security
