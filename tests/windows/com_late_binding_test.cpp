// Late binding against a real automation server (the test server DLL, registered with
// regsvr32 by the test fixture): creation by ProgID, properties, methods, parameterised
// properties, default members, collections, values of every kind, errors and constants.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/com_error.h"
#include "platform/com/type_library.h"
#include "platform/com/win/convert.h"

namespace mx::com {
namespace {

constexpr const char* kProgId = "Mx.ComTest.1";
constexpr const char* kLibId = "{6A0B1C52-3E8D-4F27-9B14-5C7E2D9A0F31}";

class LateBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize();
    object = CreateObject(kProgId);
  }
  void TearDown() override {
    object.reset();
    CoUninitialize();
  }
  DispatchPtr object;
};

int32_t CodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const ComError& e) {
    return e.code();
  }
  return 0;
}

TEST_F(LateBinding, PropertiesMethodsAndDefaults) {
  EXPECT_EQ(object->Get("Name").Text(), "test");
  object->Put("Name", "Grüße €");
  EXPECT_EQ(object->Get("Name").Text(), "Grüße €");
  EXPECT_EQ(object->Get("name").Text(), "Grüße €");  // automation names ignore case
  object->Put("Flag", true);
  EXPECT_EQ(object->Get("Flag"), Variant(true));
  EXPECT_EQ(object->Get("Big"), Variant(int64_t{0x123456789A}));

  EXPECT_DOUBLE_EQ(object->Get("Balance", {int32_t{1}}).ToDouble(), 2000.5);  // parameterised
  EXPECT_DOUBLE_EQ(object->Call("Balance", {int32_t{2}}).ToDouble(), 3000.75);
  EXPECT_EQ(object->Call("Add", {int32_t{2}, int32_t{5}}).ToInt(), 7);
  EXPECT_EQ(object->Call("Add", {int32_t{2}}).ToInt(), 12);             // default value
  EXPECT_EQ(object->Call("Add", {int32_t{2}, Variant()}).ToInt(), 12);  // omitted: default
  EXPECT_EQ(object->Call("", {int32_t{1}}).Text(), "b");                // default member

  EXPECT_EQ(object->Count(), 3);
  std::vector<std::string> items;
  for (const auto& v : object->Enumerate()) items.push_back(v.Text());
  EXPECT_EQ(items, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(LateBinding, DescribedFromTheTypeInformation) {
  EXPECT_EQ(object->TypeName(), "ITestObject");
  EXPECT_EQ(object->Describe("Name"), MemberKind::Property);
  EXPECT_EQ(object->Describe("Balance"), MemberKind::Method);  // takes an index
  EXPECT_EQ(object->Describe("Add"), MemberKind::Method);
  EXPECT_EQ(object->Describe("Nope"), MemberKind::None);
  auto names = object->MemberNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "RaiseEvents"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "QueryInterface"), names.end());
}

TEST_F(LateBinding, ValuesOfEveryKindTravelBothWays) {
  DispatchPtr child = object->Get("Child").Dispatch();
  struct Case {
    const char* label;
    Variant value;
    const char* kind;  // what the server received
  } cases[] = {
      {"omitted", Variant(), "VT_ERROR 0x80020004"},
      {"bool", Variant(false), "VT_BOOL"},
      {"int32", Variant(int32_t{-7}), "VT_I4"},
      {"int64", Variant(int64_t{1} << 40), "VT_I8"},
      {"double", Variant(2.5), "VT_R8"},
      {"text", Variant("x\ty"), "VT_BSTR"},
      {"date", Variant(DateTime{2024, 3, 5, 14, 3, 27, 123'456}), "VT_DATE"},
      {"early date", Variant(DateTime{1899, 12, 29, 6, 0, 0, 999'999}), "VT_DATE"},
      {"object", Variant(child), "VT_DISPATCH"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(object->Call("KindOf", {c.value}).Text(), c.kind) << c.label;
    Variant back = object->Call("Echo", {c.value});
    EXPECT_EQ(back.type(), c.value.type()) << c.label;
    EXPECT_EQ(back, c.value) << c.label;
  }
  // A typed DATE property keeps the microseconds too.
  DateTime stamp{2031, 12, 31, 23, 59, 59, 999'999};
  object->Put("Stamp", stamp);
  EXPECT_EQ(object->Get("Stamp").Date(), stamp);
  EXPECT_EQ(child->Get("Name").Text(), "child");
}

TEST_F(LateBinding, ErrorsCarryTheServersCodeAndDescription) {
  try {
    object->Call("Fail", {static_cast<int32_t>(0x80041234), "scripted failure"});
    ADD_FAILURE() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.code()), 0x80041234u);
    EXPECT_STREQ(e.what(), "scripted failure");
  }
  try {
    object->Get("Nope");
    ADD_FAILURE() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), hresult::kUnknownName);
    EXPECT_STREQ(e.what(), "ITestObject has no member 'Nope'");
  }
  struct Case {
    const char* label;
    std::function<void()> call;
    int32_t code;
  } cases[] = {
      {"index out of range", [&] { object->Call("Item", {int32_t{7}}); }, hresult::kBadIndex},
      {"text for a number",
       [&] {
         object->Call("Add", {"x", int32_t{1}});
       },
       hresult::kTypeMismatch},
      {"no arguments", [&] { object->Call("Add"); }, hresult::kBadParamCount},
      {"read-only property written", [&] { object->Put("Count", int32_t{1}); },
       hresult::kMemberNotFound},
  };
  for (const auto& c : cases) EXPECT_EQ(CodeOf(c.call), c.code) << c.label;
}

TEST(CreateObject, UnknownAndUnregisteredProgIds) {
  CoInitialize();
  EXPECT_EQ(CodeOf([] { CreateObject("No.Such.ProgId.1"); }), hresult::kInvalidProgId);
  // A ProgID whose class has no server: the system's answer reaches the caller.
  const wchar_t clsid[] = L"{0D3F6B2E-9A41-4C75-8E20-5B7C1D9F3A68}";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, L"Mx.Unserved.1\\CLSID", nullptr, REG_SZ, clsid,
                            sizeof clsid),
            ERROR_SUCCESS);
  try {
    CreateObject("Mx.Unserved.1");
    ADD_FAILURE() << "created";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), hresult::kClassNotRegistered);
    EXPECT_STREQ(e.what(), "Class not registered: Mx.Unserved.1");
  }
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Mx.Unserved.1");
  CoUninitialize();
}

TEST(TypeLibrary, ConstantsFromTheRegisteredLibrary) {
  auto lib = LoadRegTypeLib(kLibId, 1, 2);
  EXPECT_EQ(lib->major(), 1);
  EXPECT_EQ(lib->minor(), 2);
  EXPECT_EQ(lib->constants(),
            (TypeLibrary::Constants{{"tlLow", 17}, {"tlHigh", -3}, {"tlTop", 1000}}));
  EXPECT_EQ(CodeOf([] { LoadRegTypeLib(kLibId, 1, 3); }), hresult::kLibNotRegistered);
  EXPECT_EQ(CodeOf([] { LoadRegTypeLib(kLibId, 2, 0); }), hresult::kLibNotRegistered);
  EXPECT_EQ(CodeOf([] { LoadRegTypeLib("not a guid", 1, 0); }), hresult::kLibNotRegistered);
}

}  // namespace
}  // namespace mx::com
