#include "platform/com/win/convert.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/civil_date.h"
#include "platform/com/win/callable_wrapper.h"
#include "platform/com/win/com_object.h"

namespace mx::com::win {
namespace {

constexpr int64_t kMicrosPerDay = 86'400'000'000;
constexpr int64_t kOleEpochFromUnix = 25'569;  // 1899-12-30 is day -25569 of 1970-01-01
constexpr double kFirstOleDate = -657'434.0;   // 0100-01-01
constexpr double kLastOleDate = 2'958'466.0;   // 10000-01-01 (excluded)

using civil::CivilFromDays;
using civil::DaysFromCivil;

bool ValidDateTime(const DateTime& t) {
  if (t.year < 100 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1) return false;
  // The day must exist in its month.
  const auto date = CivilFromDays(
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)));
  if (date.day != t.day) return false;
  return t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 &&
         t.second < 60 && t.microsecond >= 0 && t.microsecond < 1'000'000;
}

Variant FromDispatch(::IDispatch* d) {
  if (d == nullptr) return Variant();
  if (DispatchPtr ours = WrappedObject(d)) return Variant(ours);
  return Variant(DispatchPtr(std::make_shared<ComObject>(ComPtr<::IDispatch>::Share(d))));
}

ComError Unsupported(VARTYPE vt) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "a value of VARIANT type 0x%04X", static_cast<unsigned>(vt));
  return ComError::TypeMismatch(std::string(buf) + " cannot be carried");
}

}  // namespace

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* text, size_t length) {
  if (text == nullptr || length == 0) return {};
  int n =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::string Narrow(BSTR text) { return text ? Narrow(text, SysStringLen(text)) : std::string(); }

BSTR ToBstr(std::string_view utf8) {
  std::wstring wide = Widen(utf8);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

double ToOleDate(const DateTime& t) {
  if (!ValidDateTime(t)) throw ComError::TypeMismatch("no OLE date for " + t.ToString());
  const int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) +
      kOleEpochFromUnix;
  const int64_t time_of_day =
      ((int64_t{t.hour} * 60 + t.minute) * 60 + t.second) * 1'000'000 + t.microsecond;
  // One rounding only: the whole count of microseconds is exact in a double.
  const int64_t magnitude = (days >= 0 ? days : -days) * kMicrosPerDay + time_of_day;
  const double value = static_cast<double>(magnitude) / static_cast<double>(kMicrosPerDay);
  return days >= 0 ? value : -value;
}

DateTime FromOleDate(double date) {
  if (!std::isfinite(date) || date < kFirstOleDate || date >= kLastOleDate) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", date);
    throw ComError::TypeMismatch(std::string("OLE date out of range: ") + buf);
  }
  // The whole days (toward zero) and the time of day, both exact in doubles.
  double whole = date >= 0 ? std::floor(date) : std::ceil(date);
  double fraction = date >= 0 ? date - whole : whole - date;
  auto days = static_cast<int64_t>(whole);
  int64_t micros = std::llround(fraction * static_cast<double>(kMicrosPerDay));
  if (micros >= kMicrosPerDay) {  // rounded up to the next midnight
    micros = 0;
    days += date >= 0 ? 1 : -1;
  }
  DateTime t;
  const civil::Date day = CivilFromDays(days - kOleEpochFromUnix);
  t.year = day.year;
  t.month = day.month;
  t.day = day.day;
  t.microsecond = static_cast<int>(micros % 1'000'000);
  int64_t seconds = micros / 1'000'000;
  t.second = static_cast<int>(seconds % 60);
  t.minute = static_cast<int>(seconds / 60 % 60);
  t.hour = static_cast<int>(seconds / 3600);
  return t;
}

void ToVariant(const Variant& value, VARIANT* out, bool empty_is_missing) {
  switch (value.type()) {
    case Variant::Type::Empty:
      if (empty_is_missing) {
        V_VT(out) = VT_ERROR;
        V_ERROR(out) = DISP_E_PARAMNOTFOUND;
      } else {
        V_VT(out) = VT_EMPTY;
      }
      return;
    case Variant::Type::Bool:
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = value.ToBool() ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case Variant::Type::Int32:
      V_VT(out) = VT_I4;
      V_I4(out) = value.ToInt32();
      return;
    case Variant::Type::Int64:
      V_VT(out) = VT_I8;
      V_I8(out) = value.ToInt();
      return;
    case Variant::Type::Double:
      V_VT(out) = VT_R8;
      V_R8(out) = value.ToDouble();
      return;
    case Variant::Type::Text:
      V_VT(out) = VT_BSTR;
      V_BSTR(out) = ToBstr(value.Text());
      return;
    case Variant::Type::Date:
      V_DATE(out) = ToOleDate(value.Date());
      V_VT(out) = VT_DATE;
      return;
    case Variant::Type::Dispatch:
      V_DISPATCH(out) = ComDispatchOf(value.Dispatch()).Detach();
      V_VT(out) = VT_DISPATCH;
      return;
  }
}

Variant FromVariant(const VARIANT& value) {
  const VARTYPE vt = V_VT(&value);
  if (vt & VT_BYREF) {
    VARIANT direct;
    VariantInit(&direct);
    HRESULT hr = VariantCopyInd(&direct, const_cast<VARIANT*>(&value));
    if (FAILED(hr)) throw Unsupported(vt);
    struct Clear {
      VARIANT* v;
      ~Clear() { VariantClear(v); }
    } clear{&direct};
    return FromVariant(direct);
  }
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return Variant();
    case VT_ERROR:
      if (V_ERROR(&value) == DISP_E_PARAMNOTFOUND) return Variant();
      throw Unsupported(vt);
    case VT_BOOL:
      return Variant(V_BOOL(&value) != VARIANT_FALSE);
    case VT_I1:
      return Variant(int32_t{V_I1(&value)});
    case VT_UI1:
      return Variant(int32_t{V_UI1(&value)});
    case VT_I2:
      return Variant(int32_t{V_I2(&value)});
    case VT_UI2:
      return Variant(int32_t{V_UI2(&value)});
    case VT_I4:
      return Variant(static_cast<int32_t>(V_I4(&value)));
    case VT_INT:
      return Variant(static_cast<int32_t>(V_INT(&value)));
    case VT_UI4:
    case VT_UINT: {
      uint32_t u = vt == VT_UI4 ? V_UI4(&value) : V_UINT(&value);
      if (u <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        return Variant(static_cast<int32_t>(u));
      }
      return Variant(int64_t{u});
    }
    case VT_I8:
      return Variant(static_cast<int64_t>(V_I8(&value)));
    case VT_UI8:
      if (V_UI8(&value) > static_cast<ULONGLONG>(std::numeric_limits<int64_t>::max())) {
        throw ComError::TypeMismatch("an unsigned 64-bit value beyond the signed range");
      }
      return Variant(static_cast<int64_t>(V_UI8(&value)));
    case VT_R4:
      return Variant(double{V_R4(&value)});
    case VT_R8:
      return Variant(V_R8(&value));
    case VT_CY:
      return Variant(static_cast<double>(V_CY(&value).int64) / 10000.0);
    case VT_DECIMAL: {
      double d = 0;
      DECIMAL decimal = V_DECIMAL(&value);
      if (FAILED(VarR8FromDec(&decimal, &d))) throw Unsupported(vt);
      return Variant(d);
    }
    case VT_BSTR:
      return Variant(Narrow(V_BSTR(&value)));
    case VT_DATE:
      return Variant(FromOleDate(V_DATE(&value)));
    case VT_DISPATCH:
      return FromDispatch(V_DISPATCH(&value));
    case VT_UNKNOWN: {
      if (V_UNKNOWN(&value) == nullptr) return Variant();
      ComPtr<::IDispatch> d;
      if (FAILED(V_UNKNOWN(&value)->QueryInterface(IID_IDispatch, d.OutVoid()))) {
        throw ComError::TypeMismatch("an object without IDispatch");
      }
      return FromDispatch(d.get());
    }
    default:
      throw Unsupported(vt);
  }
}

std::string HresultText(HRESULT hr) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n != 0 && buffer != nullptr) text = Narrow(buffer, n);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    text = buf;
  }
  return text;
}

ComError ErrorFromExcepInfo(EXCEPINFO& info) {
  if (info.pfnDeferredFillIn != nullptr) info.pfnDeferredFillIn(&info);
  const HRESULT code = info.scode != 0 ? info.scode : DISP_E_EXCEPTION;
  std::string description = Narrow(info.bstrDescription);
  if (description.empty()) {
    std::string source = Narrow(info.bstrSource);
    description = source.empty() ? HresultText(code) : source + ": " + HresultText(code);
  }
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  info.bstrSource = info.bstrDescription = info.bstrHelpFile = nullptr;
  return ComError(static_cast<int32_t>(code), std::move(description));
}

void Check(HRESULT hr, std::string_view what) {
  if (FAILED(hr)) {
    throw ComError(static_cast<int32_t>(hr), std::string(what) + ": " + HresultText(hr));
  }
}

}  // namespace mx::com::win
