// Conversions between the runtime's values and OLE automation's: UTF-8 text and BSTR,
// DateTime and DATE (to the microsecond), Variant and VARIANT, HRESULT and ComError.
//
// Thread-safety: plain functions. An object value converts to the IDispatch of the
// calling thread's apartment (see ToVariant).
#pragma once

#include <string>
#include <string_view>

#include "platform/com/com_error.h"
#include "platform/com/variant.h"
#include "platform/com/win/windows_headers.h"

namespace mx::com::win {

std::wstring Widen(std::string_view utf8);
std::string Narrow(const wchar_t* text, size_t length);
std::string Narrow(BSTR text);  // a null BSTR is ""
// A new BSTR the caller frees (SysFreeString).
BSTR ToBstr(std::string_view utf8);

// DATE counts days from 1899-12-30; the fraction is the time of day (for days before the
// epoch, the fraction still counts forward from that day's midnight). A double keeps the
// microsecond within 2^16 days of that epoch (1720-07-26 to 2079-06-04); further out the
// nearest representable instant is kept. ComError (type mismatch) outside years 100 to
// 9999, and for a day or time that does not exist.
double ToOleDate(const DateTime& t);
DateTime FromOleDate(double date);

// Fills `out` (VariantInit'ed by the caller; owned by it afterwards: VariantClear).
// Objects go as VT_DISPATCH: a COM object's own interface, or one of ours served through
// its callable wrapper. With `empty_is_missing`, an empty value becomes an omitted
// argument (VT_ERROR with DISP_E_PARAMNOTFOUND), as automation marks optional arguments.
void ToVariant(const Variant& value, VARIANT* out, bool empty_is_missing = false);
// By-reference values are read through; an omitted argument and VT_NULL are empty;
// narrower integers widen, VT_R4 and VT_CY become doubles. ComError (type mismatch) for
// kinds the runtime does not carry (arrays, records, decimals out of range).
Variant FromVariant(const VARIANT& value);

// The system's text for a result code (no trailing line break), or "0x%08X".
std::string HresultText(HRESULT hr);
// A ComError from an EXCEPINFO (its deferred fill-in run first, its strings freed).
ComError ErrorFromExcepInfo(EXCEPINFO& info);
// Throws ComError(hr, "<what>: <system text>") when FAILED(hr).
void Check(HRESULT hr, std::string_view what);

}  // namespace mx::com::win
