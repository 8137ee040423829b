// The COM host when "CQG.CQGCEL.4" names a class that nothing serves: the ProgID points
// at a CLSID with no server registered, so COM answers REGDB_E_CLASSNOTREG. Init must
// raise that, naming the ProgID, and never wait for a start that cannot come.
//
// The test rewrites the registered ProgID's CLSID for its own run and puts it back after,
// so ctest runs it alone (RUN_SERIAL).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"
#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "platform/com/com_error.h"
#include "platform/com/win/windows_headers.h"
#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::comhost {
namespace {

const std::wstring kClsidKey = L"CQG.CQGCEL.4\\CLSID";
// A CLSID no server registers.
const std::wstring kUnservedClsid = L"{6D58A0E1-3C1B-4F5E-9B7A-2E4D6C8F0A13}";

std::wstring ReadDefault(const std::wstring& key) {
  wchar_t value[128] = {};
  DWORD size = sizeof(value);
  LONG rc =
      RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size);
  return rc == ERROR_SUCCESS ? std::wstring(value) : std::wstring();
}

bool WriteDefault(const std::wstring& key, const std::wstring& value) {
  return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

class ProgIdOfAnUnservedClass : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadCelTypeLibrary();  // while the server is still what the ProgID names
    original_ = ReadDefault(kClsidKey);
    ASSERT_FALSE(original_.empty()) << "CQG.CQGCEL.4 is not registered (regsvr32 first)";
    ASSERT_TRUE(WriteDefault(kClsidKey, kUnservedClsid));
  }
  void TearDown() override {
    if (!original_.empty()) {
      EXPECT_TRUE(WriteDefault(kClsidKey, original_));
    }
  }

 private:
  std::wstring original_;
};

TEST_F(ProgIdOfAnUnservedClass, InitRaisesClassNotRegisteredNamingTheProgId) {
  auto host = std::make_shared<ComHost>();
  try {
    host->Init([] { return std::make_shared<CELSinkBase>(); }, {});
    FAIL() << "Init returned";
  } catch (const com::ComError& e) {
    EXPECT_EQ(e.code(), com::hresult::kClassNotRegistered);
    EXPECT_NE(std::string(e.what()).find(cqgcel::kProgId), std::string::npos) << e.what();
  }
  EXPECT_EQ(host->cqgCEL, nullptr);
  host->Shutdown();  // nothing to do, and no hang
}

}  // namespace
}  // namespace mx::comhost
