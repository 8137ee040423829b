// Variant: the value that travels through late-bound calls and events.
//
// Holds one of: empty, bool, 32-bit integer, 64-bit integer, double, text, date-time
// (calendar fields and microseconds, no zone) or a dispatch object. Conversions that do
// not fit the held kind throw ComError (type mismatch), as automation does.
//
// Thread-safety: a Variant is a value; distinct instances may be used from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <variant>

namespace mx::com {

class IDispatch;
using DispatchPtr = std::shared_ptr<IDispatch>;

struct DateTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int microsecond = 0;
  bool operator==(const DateTime&) const = default;
  // "YYYY-MM-DD HH:MM:SS[.ffffff]"
  std::string ToString() const;
};

class Variant {
 public:
  enum class Type { Empty, Bool, Int32, Int64, Double, Text, Date, Dispatch };

  Variant() = default;
  Variant(bool v) : v_(v) {}
  Variant(int32_t v) : v_(v) {}
  Variant(int64_t v) : v_(v) {}
  Variant(double v) : v_(v) {}
  Variant(std::string v) : v_(std::move(v)) {}
  Variant(const char* v) : v_(std::string(v)) {}
  Variant(std::string_view v) : v_(std::string(v)) {}
  Variant(DateTime v) : v_(v) {}
  Variant(DispatchPtr v);  // a null pointer makes an empty Variant

  Type type() const { return static_cast<Type>(v_.index()); }
  bool IsEmpty() const { return v_.index() == 0; }
  bool IsNumber() const;

  // Conversions; each throws ComError (type mismatch) when the value cannot convert.
  bool ToBool() const;      // bool, or a number (non-zero is true)
  int64_t ToInt() const;    // bool, integers, or a double with no fraction
  int32_t ToInt32() const;  // as ToInt, range-checked
  double ToDouble() const;  // bool or any number
  const std::string& Text() const;
  const DateTime& Date() const;
  const DispatchPtr& Dispatch() const;

  // Text form: "" for empty, "True"/"False", numbers in decimal, text as is,
  // date-time as DateTime::ToString, "<TypeName>" for objects.
  std::string ToString() const;

  // Same kind and value; numbers of different kinds compare by value; objects by identity.
  bool operator==(const Variant& other) const;

 private:
  std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, DateTime, DispatchPtr>
      v_;
};

using Args = std::span<const Variant>;

// A DATE is wall time in the server's zone, as CQG's API gives it: no offset travels
// with it. The server names that zone (an IANA name; "" for the machine's local zone)
// through the function set here, so that bindings can turn a zone-aware date-time into
// the server's wall time at the same instant. Without one set, DateZone() is "".
// Thread-safety: any thread; `zone` is called from the thread that converts.
void SetDateZone(std::function<std::string()> zone);
std::string DateZone();

}  // namespace mx::com
