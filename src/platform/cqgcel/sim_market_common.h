// Pieces shared by the simulator's market-data requests (ticks, timed bars): the request
// object passed back to RequestTicks / RequestTimedBars, scripted failures of a plain
// call, deterministic data for the default answers (a random sequence seeded by a symbol,
// so a symbol always gives the same ticks and bars) and the local time.
//
// Thread-safety: SymbolRandom is a value; everything else may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com_error.h"
#include "platform/com/marshal.h"
#include "platform/com/object.h"

namespace mx::cqgcel {

// Argument `i` of `member` as an object of class T (a proxy is looked through);
// ComError E_INVALIDARG when it is something else.
template <class T>
std::shared_ptr<T> ObjectArg(com::Args args, size_t i, std::string_view member,
                             std::string_view expected) {
  const com::Variant& v = com::Arg(args, i, member);
  std::shared_ptr<T> object;
  if (v.type() == com::Variant::Type::Dispatch) {
    object = std::dynamic_pointer_cast<T>(com::Unwrap(v.Dispatch()));
  }
  if (!object) {
    throw com::ComError(com::hresult::kStreamUsed,
                        std::string(member) + " needs " + std::string(expected));
  }
  return object;
}

// The live collections a push goes to: all of `symbol`'s (`of_symbol`, in request order),
// or only the request-th of them; ComError (bad index) when there is no such request.
template <class C>
std::vector<std::shared_ptr<C>> TargetRequests(std::vector<std::shared_ptr<C>> of_symbol,
                                               std::string_view symbol,
                                               std::optional<size_t> request,
                                               std::string_view kind) {
  if (!request) return of_symbol;
  if (*request >= of_symbol.size()) {
    throw com::ComError(com::hresult::kBadIndex,
                        std::string(symbol) + " has " + std::to_string(of_symbol.size()) +
                            " live " + std::string(kind) + " request(s), no request " +
                            std::to_string(*request));
  }
  return {of_symbol[*request]};
}

// Throws the ComError a test scripted for the plain call `request` ("CreateTicksRequest",
// "RemoveTimedBars", ...) with mode fail or fail_without_error; otherwise returns.
void FailIfScripted(std::string_view request);

// splitmix64 over an FNV-1a hash of the symbol.
class SymbolRandom {
 public:
  explicit SymbolRandom(std::string_view symbol) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : symbol) h = (h ^ c) * 1099511628211ull;
    state_ = h;
  }
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  // A price level for the symbol, 50 to 150 in steps of 0.25.
  double BasePrice() { return 50.0 + 0.25 * static_cast<double>(Next() % 400); }

 private:
  uint64_t state_;
};

// `t` moved by `seconds` (calendar-correct, no zone).
com::DateTime AddSeconds(const com::DateTime& t, int64_t seconds);

}  // namespace mx::cqgcel
