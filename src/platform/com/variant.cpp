#include "platform/com/variant.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>

#include "platform/com/com_error.h"
#include "platform/com/dispatch.h"

namespace mx::com {

std::string DateTime::ToString() const {
  char buf[64];
  if (microsecond != 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%06d", year, month, day, hour,
                  minute, second, microsecond);
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute,
                  second);
  }
  return buf;
}

namespace {

struct DateZoneSlot {
  std::mutex mu;
  std::function<std::string()> zone;  // guarded by mu
};

DateZoneSlot& TheDateZone() {
  static auto* slot = new DateZoneSlot();  // never destroyed: read until the process ends
  return *slot;
}

}  // namespace

void SetDateZone(std::function<std::string()> zone) {
  auto& slot = TheDateZone();
  std::lock_guard lk(slot.mu);
  slot.zone = std::move(zone);
}

std::string DateZone() {
  auto& slot = TheDateZone();
  std::function<std::string()> zone;
  {
    std::lock_guard lk(slot.mu);
    zone = slot.zone;
  }
  return zone ? zone() : std::string();
}

Variant::Variant(DispatchPtr v) {
  if (v) v_ = std::move(v);
}

bool Variant::IsNumber() const {
  auto t = type();
  return t == Type::Int32 || t == Type::Int64 || t == Type::Double;
}

bool Variant::ToBool() const {
  switch (type()) {
    case Type::Bool:
      return std::get<bool>(v_);
    case Type::Int32:
      return std::get<int32_t>(v_) != 0;
    case Type::Int64:
      return std::get<int64_t>(v_) != 0;
    case Type::Double:
      return std::get<double>(v_) != 0.0;
    default:
      throw ComError::TypeMismatch("a boolean was expected, got " + ToString());
  }
}

int64_t Variant::ToInt() const {
  switch (type()) {
    case Type::Bool:
      return std::get<bool>(v_) ? 1 : 0;
    case Type::Int32:
      return std::get<int32_t>(v_);
    case Type::Int64:
      return std::get<int64_t>(v_);
    case Type::Double: {
      double d = std::get<double>(v_);
      if (std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18) return static_cast<int64_t>(d);
      break;
    }
    default:
      break;
  }
  throw ComError::TypeMismatch("an integer was expected, got " + ToString());
}

int32_t Variant::ToInt32() const {
  int64_t v = ToInt();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    throw ComError::TypeMismatch("a 32-bit integer was expected, got " + ToString());
  }
  return static_cast<int32_t>(v);
}

double Variant::ToDouble() const {
  switch (type()) {
    case Type::Bool:
      return std::get<bool>(v_) ? 1.0 : 0.0;
    case Type::Int32:
      return std::get<int32_t>(v_);
    case Type::Int64:
      return static_cast<double>(std::get<int64_t>(v_));
    case Type::Double:
      return std::get<double>(v_);
    default:
      throw ComError::TypeMismatch("a number was expected, got " + ToString());
  }
}

const std::string& Variant::Text() const {
  if (auto* s = std::get_if<std::string>(&v_)) return *s;
  throw ComError::TypeMismatch("a text was expected, got " + ToString());
}

const DateTime& Variant::Date() const {
  if (auto* d = std::get_if<DateTime>(&v_)) return *d;
  throw ComError::TypeMismatch("a date-time was expected, got " + ToString());
}

const DispatchPtr& Variant::Dispatch() const {
  if (auto* d = std::get_if<DispatchPtr>(&v_)) return *d;
  throw ComError::TypeMismatch("an object was expected, got " + ToString());
}

std::string Variant::ToString() const {
  switch (type()) {
    case Type::Empty:
      return "";
    case Type::Bool:
      return std::get<bool>(v_) ? "True" : "False";
    case Type::Int32:
      return std::to_string(std::get<int32_t>(v_));
    case Type::Int64:
      return std::to_string(std::get<int64_t>(v_));
    case Type::Double: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.15g", std::get<double>(v_));
      return buf;
    }
    case Type::Text:
      return std::get<std::string>(v_);
    case Type::Date:
      return std::get<DateTime>(v_).ToString();
    case Type::Dispatch:
      return "<" + std::string(std::get<DispatchPtr>(v_)->TypeName()) + ">";
  }
  return "";
}

bool Variant::operator==(const Variant& other) const {
  if (IsNumber() && other.IsNumber()) {
    if (type() != Type::Double && other.type() != Type::Double) return ToInt() == other.ToInt();
    return ToDouble() == other.ToDouble();
  }
  if (type() != other.type()) return false;
  if (type() == Type::Dispatch) return Dispatch()->Identity() == other.Dispatch()->Identity();
  return v_ == other.v_;
}

ComError ComError::UnknownName(std::string_view type_name, std::string_view member) {
  return ComError(hresult::kUnknownName,
                  std::string(type_name) + " has no member '" + std::string(member) + "'");
}

ComError ComError::TypeMismatch(std::string_view detail) {
  return ComError(hresult::kTypeMismatch, "Type mismatch: " + std::string(detail));
}

ComError ComError::Disconnected() {
  return ComError(hresult::kDisconnected, "The object invoked has disconnected from its clients.");
}

}  // namespace mx::com
