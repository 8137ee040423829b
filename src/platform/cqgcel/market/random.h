// Random numbers that come out the same on every platform for the same seed.
//
// The standard distributions (std::normal_distribution, ...) are implementation-defined,
// so the market draws raw 64-bit words from std::mt19937_64 (fully specified by the
// standard); it shapes and uses them with correctly rounded IEEE operations only (+, -,
// *, /, sqrt, floor, round): no log, exp or cos, whose last bit may differ between C
// libraries. The build of this
// library turns off floating-point contraction (FMA) for the same reason.
//
// Thread-safety: an Rng is a value; one thread at a time.
#pragma once

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

namespace mx::cqgcel::market {

// SplitMix64: derives well-mixed seeds (one stream per instrument, one for identifiers).
inline uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// FNV-1a over the bytes of `text`: a portable hash for naming a stream.
inline uint64_t Fnv1a(std::string_view text) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001B3ull;
  }
  return h;
}

class Rng {
 public:
  explicit Rng(uint64_t seed) : engine_(seed) {}

  uint64_t Next() { return engine_(); }

  // The engine's whole state as text (the standard's portable form), and back.
  std::string State() const {
    std::ostringstream out;
    out << engine_;
    return out.str();
  }
  // False (the engine unchanged) when `text` is not an engine state.
  bool SetState(const std::string& text) {
    std::istringstream in(text);
    std::mt19937_64 engine;
    if (!(in >> engine)) return false;
    engine_ = engine;
    return true;
  }

  // Uniform in [0, 1) with 53 random bits.
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

  // Uniform integer in [0, n); n > 0. Multiply-high: no modulo bias worth the name.
  uint64_t Below(uint64_t n) {
    __extension__ using Wide = unsigned __int128;  // GCC and Clang
    return static_cast<uint64_t>((static_cast<Wide>(Next()) * n) >> 64);
  }

  // Approximately standard normal: the sum of twelve uniforms minus six (Irwin-Hall),
  // mean 0, variance 1, bounded to +-6. Exact arithmetic, so it is portable.
  double Normal() {
    double sum = 0.0;
    for (int i = 0; i < 12; ++i) sum += Uniform();
    return sum - 6.0;
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace mx::cqgcel::market
