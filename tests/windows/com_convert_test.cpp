// VARIANT, DATE and BSTR conversions of the Windows backend, checked against oleaut32.
#include <gtest/gtest.h>

#include "platform/com/win/convert.h"

namespace mx::com::win {
namespace {

struct DateCase {
  const char* label;
  DateTime t;
};

const DateCase kDates[] = {
    {"epoch", {1899, 12, 30, 0, 0, 0, 0}},
    {"day before epoch, morning", {1899, 12, 29, 6, 0, 0, 0}},
    {"long before epoch", {1753, 1, 1, 23, 59, 59, 0}},
    {"trading day", {2024, 3, 5, 14, 3, 27, 0}},
    {"leap day", {2024, 2, 29, 0, 0, 1, 0}},
    {"last second of a year", {2023, 12, 31, 23, 59, 59, 0}},
    {"last day kept to the microsecond", {2079, 6, 4, 23, 59, 59, 0}},
    {"first day kept to the microsecond", {1720, 7, 26, 0, 0, 0, 0}},
};

TEST(OleDate, WholeSecondsAgreeWithOleaut32) {
  for (const auto& c : kDates) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(c.t.year);
    st.wMonth = static_cast<WORD>(c.t.month);
    st.wDay = static_cast<WORD>(c.t.day);
    st.wHour = static_cast<WORD>(c.t.hour);
    st.wMinute = static_cast<WORD>(c.t.minute);
    st.wSecond = static_cast<WORD>(c.t.second);
    double expected = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &expected)) << c.label;
    EXPECT_DOUBLE_EQ(ToOleDate(c.t), expected) << c.label;
    EXPECT_EQ(FromOleDate(expected), c.t) << c.label;
  }
}

TEST(OleDate, MicrosecondsSurviveTheRoundTrip) {
  const int micros[] = {1, 7, 499'999, 500'000, 999'999};
  for (const auto& c : kDates) {
    for (int us : micros) {
      DateTime t = c.t;
      t.microsecond = us;
      EXPECT_EQ(FromOleDate(ToOleDate(t)), t) << c.label << " +" << us << "us";
    }
  }
  // The last microsecond of a day stays in that day, before the epoch too.
  EXPECT_EQ(FromOleDate(ToOleDate({1899, 12, 28, 23, 59, 59, 999'999})),
            (DateTime{1899, 12, 28, 23, 59, 59, 999'999}));
}

TEST(OleDate, ImpossibleDatesAreTypeMismatches) {
  const DateTime bad[] = {{2023, 2, 29, 0, 0, 0, 0},
                          {2024, 13, 1, 0, 0, 0, 0},
                          {99, 1, 1, 0, 0, 0, 0},
                          {2024, 1, 1, 24, 0, 0, 0},
                          {2024, 1, 1, 0, 0, 0, 1'000'000}};
  for (const auto& t : bad) {
    try {
      ToOleDate(t);
      ADD_FAILURE() << t.ToString() << " converted";
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), hresult::kTypeMismatch);
    }
  }
  EXPECT_THROW(FromOleDate(1e12), ComError);
}

TEST(VariantConversion, ByReferenceNarrowAndOmittedValues) {
  LONG value = 41;
  BSTR text = ToBstr("Grüße €");
  VARIANT v;
  V_VT(&v) = VT_I4 | VT_BYREF;
  V_I4REF(&v) = &value;
  EXPECT_EQ(FromVariant(v), Variant(int32_t{41}));
  V_VT(&v) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&v) = &text;
  EXPECT_EQ(FromVariant(v).Text(), "Grüße €");
  SysFreeString(text);

  V_VT(&v) = VT_ERROR;
  V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
  EXPECT_TRUE(FromVariant(v).IsEmpty());
  V_VT(&v) = VT_UI1;
  V_UI1(&v) = 200;
  EXPECT_EQ(FromVariant(v).type(), Variant::Type::Int32);
  V_VT(&v) = VT_UI4;
  V_UI4(&v) = 0xFFFFFFFFu;
  EXPECT_EQ(FromVariant(v), Variant(int64_t{0xFFFFFFFF}));
  V_VT(&v) = VT_CY;
  V_CY(&v).int64 = 12'345;
  EXPECT_DOUBLE_EQ(FromVariant(v).ToDouble(), 1.2345);

  VARIANT out;
  VariantInit(&out);
  ToVariant(Variant(), &out, true);
  EXPECT_EQ(V_VT(&out), VT_ERROR);
  EXPECT_EQ(V_ERROR(&out), DISP_E_PARAMNOTFOUND);
  ToVariant(Variant(), &out, false);
  EXPECT_EQ(V_VT(&out), VT_EMPTY);
  ToVariant(Variant(true), &out);
  EXPECT_EQ(V_BOOL(&out), VARIANT_TRUE);

  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 2);
  V_VT(&out) = VT_ARRAY | VT_I4;
  V_ARRAY(&out) = array;
  EXPECT_THROW(FromVariant(out), ComError);
  VariantClear(&out);
}

}  // namespace
}  // namespace mx::com::win
