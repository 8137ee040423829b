#include <gtest/gtest.h>

#include "platform/com/com_error.h"
#include "platform/com/variant.h"

namespace mx::com {
namespace {

TEST(Variant, TextForms) {
  struct Case {
    const char* label;
    Variant value;
    const char* text;
  } cases[] = {
      {"empty", Variant(), ""},
      {"true", Variant(true), "True"},
      {"int32", Variant(int32_t{-7}), "-7"},
      {"int64", Variant(int64_t{1} << 40), "1099511627776"},
      {"double", Variant(2.5), "2.5"},
      {"text", Variant("abc"), "abc"},
      {"date", Variant(DateTime{2024, 3, 5, 14, 3, 27, 0}), "2024-03-05 14:03:27"},
      {"date-us", Variant(DateTime{2024, 3, 5, 14, 3, 27, 750000}), "2024-03-05 14:03:27.750000"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.ToString(), c.text) << c.label;
}

TEST(Variant, NumericConversionsAndMismatches) {
  EXPECT_EQ(Variant(3.0).ToInt(), 3);
  EXPECT_EQ(Variant(true).ToInt(), 1);
  EXPECT_DOUBLE_EQ(Variant(int32_t{4}).ToDouble(), 4.0);
  EXPECT_TRUE(Variant(int32_t{2}).ToBool());
  EXPECT_THROW(Variant(3.5).ToInt(), ComError);
  EXPECT_THROW(Variant(int64_t{1} << 40).ToInt32(), ComError);
  EXPECT_THROW(Variant("x").ToDouble(), ComError);
  EXPECT_THROW(Variant().Text(), ComError);
  try {
    Variant(1.0).Dispatch();
    FAIL() << "expected a type mismatch";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), hresult::kTypeMismatch);
  }
}

TEST(Variant, EqualityAcrossNumberKinds) {
  EXPECT_EQ(Variant(int32_t{5}), Variant(int64_t{5}));
  EXPECT_EQ(Variant(int32_t{5}), Variant(5.0));
  EXPECT_FALSE(Variant(int32_t{5}) == Variant("5"));
  EXPECT_EQ(Variant(), Variant());
  EXPECT_EQ(Variant(DispatchPtr()), Variant());  // a null object is empty
}

}  // namespace
}  // namespace mx::com
