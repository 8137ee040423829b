// The COM host against servers that are not the simulator: numbers come from the created
// object's type information, a missing constant or an unregistered ProgID is a clear
// error, and the registry folder loads a server library on first creation. This program
// links the host and the COM runtime only.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"
#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "platform/com/com.h"
#include "platform/com/marshal.h"
#include "platform/com/object.h"
#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::comhost {
namespace {

using com::Args;
using com::Members;

struct FakeConfiguration : com::Object<FakeConfiguration> {
  std::map<std::string, Variant, std::less<>> written;
  static const Members<FakeConfiguration>& Table() {
    static const auto table = [] {
      Members<FakeConfiguration> t("APIConfiguration");
      for (const char* name :
           {"CollectionsThrowException", "NewInstrumentChangeMode", "ReadyStatusCheck",
            "TimeZoneCode", "IncludeOrderTransactions", "UseOrderSide"}) {
        t.Property(
            name, [name](FakeConfiguration& c) { return c.written[name]; },
            [name](FakeConfiguration& c, const Variant& v) { c.written[name] = v; });
      }
      return t;
    }();
    return table;
  }
};

// A CQGCEL of another vendor's numbering: events and constants numbered as `info` says.
struct FakeCel : com::Object<FakeCel> {
  explicit FakeCel(std::shared_ptr<const com::TypeInfo> info)
      : info_(std::move(info)), events_(*info_->source()) {}
  std::shared_ptr<FakeConfiguration> configuration = std::make_shared<FakeConfiguration>();

  void Raise(std::string_view name, std::vector<Variant> args) { events_.Fire(name, args); }
  com::EventSource* Events() override { return &events_; }
  std::shared_ptr<const com::TypeInfo> GetTypeInfo() const override { return info_; }

  static const Members<FakeCel>& Table() {
    static const auto table = Members<FakeCel>("CQGCEL")
                                  .Method("Startup",
                                          [](FakeCel& c, Args) {
                                            c.Raise("OnCELStarted", {});
                                            return Variant();
                                          })
                                  .Method("Shutdown", [](FakeCel&, Args) { return Variant(); })
                                  .Property("APIConfiguration", [](FakeCel& c) {
                                    return Variant(com::DispatchPtr(c.configuration));
                                  });
    return table;
  }

 private:
  std::shared_ptr<const com::TypeInfo> info_;
  com::EventSource events_;
};

// Every constant the host uses, valued 7000, 7001, ... except `missing`.
std::shared_ptr<const com::TypeInfo> FakeTypeInfo(std::string_view missing = {}) {
  com::TypeLibrary::Constants constants;
  int32_t value = 7000;
  for (std::string_view name : HostConstantNames()) {
    if (name != missing) constants.emplace_back(std::string(name), value);
    ++value;
  }
  auto library = std::make_shared<com::TypeLibrary>(std::string(cqgcel::kLibraryId), 4, 0,
                                                    std::move(constants));
  // Ids unlike the interface's order; one event this host has never heard of.
  auto source = std::make_shared<com::EventInterface>(
      com::EventInterface::WithIds{},
      std::vector<com::EventInterface::Member>{{"OnGWConnectionStatusChanged", 90001},
                                               {"OnFromTheFuture", 11},
                                               {"OnCELStarted", 2},
                                               {"OnIdle", 1}});
  return std::make_shared<com::TypeInfo>("CQGCEL", std::move(library), std::move(source));
}

struct RecordingSink : CELSinkBase {
  std::atomic<int> started{0}, idle{0};
  std::atomic<int> status{-1};
  void OnCELStarted() override { ++started; }
  void OnIdle() override { ++idle; }
  void OnGWConnectionStatusChanged(const Variant& s) override { status = s.ToInt32(); }
};

class ComHostServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // An empty registry folder: only what a test registers exists.
    registry_ =
        std::filesystem::temp_directory_path() / ("mx_com_registry_" + std::to_string(::getpid()));
    std::filesystem::create_directories(registry_);
    ::setenv("MX_COM_REGISTRY", registry_.c_str(), 1);
    com::UnregisterClassObject(cqgcel::kProgId);
  }
  void TearDown() override {
    com::UnregisterClassObject(cqgcel::kProgId);
    std::filesystem::remove_all(registry_);
  }
  void RegisterFake(std::shared_ptr<const com::TypeInfo> info) {
    com::RegisterClassObject(std::string(cqgcel::kProgId), [info] {
      auto cel = std::make_shared<FakeCel>(info);
      made_ = cel;
      return cel;
    });
  }
  std::string InitError() {
    auto host = std::make_shared<ComHost>();
    try {
      host->Init([] { return std::make_shared<CELSinkBase>(); }, {});
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    host->Shutdown();
    return "";
  }

  std::filesystem::path registry_;
  static inline std::weak_ptr<FakeCel> made_;
};

TEST_F(ComHostServerTest, EventsAndConstantsComeFromTheServersTypeInformation) {
  RegisterFake(FakeTypeInfo());
  auto host = std::make_shared<ComHost>();
  auto sink = std::make_shared<RecordingSink>();
  host->Init([sink] { return sink; }, {});
  EXPECT_EQ(sink->started, 1);  // dispatch id 2 is OnCELStarted here
  auto cel = made_.lock();
  ASSERT_TRUE(cel);
  // tzChina as this server numbers it (7000 + its place in the host's list).
  EXPECT_EQ(cel->configuration->written["TimeZoneCode"].ToInt32(),
            CelTypeLibrary().Constant("tzChina"));
  EXPECT_GE(CelTypeLibrary().Constant("tzChina"), 7000);
  com::RunInHome(host->cqgCEL, [&](const com::DispatchPtr&) {
    cel->Raise("OnFromTheFuture", {});  // unknown to the host: dropped, not misdelivered
    cel->Raise("OnGWConnectionStatusChanged", {Variant(7002)});
    cel->Raise("OnIdle", {});
  });
  EXPECT_EQ(sink->status, 7002);
  EXPECT_EQ(sink->idle, 1);
  EXPECT_EQ(sink->started, 1);
  host->Shutdown();
}

TEST_F(ComHostServerTest, ALibraryWithoutAConstantTheHostUsesIsRefusedByName) {
  for (std::string_view missing : {"tzChina", "osFilled", "qtTrade"}) {
    RegisterFake(FakeTypeInfo(missing));
    EXPECT_EQ(InitError(), "CQGCEL's type library has no constant '" + std::string(missing) + "'");
  }
}

TEST_F(ComHostServerTest, AnUnregisteredProgIdIsAClearErrorNotAHang) {
  std::string error = InitError();
  EXPECT_NE(error.find("Class not registered: CQG.CQGCEL.4"), std::string::npos) << error;
  try {
    com::CoInitialize();
    com::CreateObject("No.Such.Server.1");
    ADD_FAILURE();
  } catch (const com::ComError& e) {
    EXPECT_EQ(e.code(), com::hresult::kClassNotRegistered);
  }
  com::CoUninitialize();
}

TEST_F(ComHostServerTest, TheRegistryFolderLoadsTheServerOnFirstCreation) {
  // Not loaded by anything in this program: the registry entry is the only way in.
  ASSERT_EQ(dlopen(MX_CQGCEL_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
  std::ofstream(registry_ / "cqgcel.server")
      << "library " << MX_CQGCEL_LIBRARY << "\nprogid " << cqgcel::kProgId << "\n";
  auto host = std::make_shared<ComHost>();
  host->Init([] { return std::make_shared<RecordingSink>(); }, {});
  EXPECT_EQ(host->cqgCEL->TypeName(), "CQGCEL");
  EXPECT_NE(dlopen(MX_CQGCEL_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
  host->Shutdown();
}

}  // namespace
}  // namespace mx::comhost
