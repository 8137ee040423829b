// The registered CQGCEL server driven through the COM runtime's Windows backend, as any
// COM client drives it: by ProgID, late binding and its connection point. Its type
// library must describe the simulator exactly (every event with its arity, every
// constant with the simulator's own value), or a host reading numbers from it would
// misread the simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_test_support.h"
#include "platform/com/com.h"
#include "platform/com/com_error.h"
#include "platform/com/events.h"
#include "platform/com/marshal.h"
#include "platform/com/type_library.h"
#include "platform/com/win/com_object.h"
#include "platform/com/win/com_ptr.h"
#include "platform/com/win/convert.h"
#include "platform/cqgcel/cel_library.h"
#include "sim_server.h"

namespace mx::cqgcel::test {
namespace {

using com::ComError;
using com::DispatchPtr;
using com::Variant;

struct Recorder : com::IEventSink {
  std::mutex mu;
  std::vector<std::string> names;  // guarded by mu
  std::vector<std::thread::id> threads;
  std::vector<std::vector<Variant>> args;
  void OnEvent(int, std::string_view name, com::Args a) override {
    std::lock_guard lk(mu);
    names.emplace_back(name);
    threads.push_back(std::this_thread::get_id());
    args.emplace_back(a.begin(), a.end());
  }
  size_t Count(std::string_view name) {
    std::lock_guard lk(mu);
    return static_cast<size_t>(std::count(names.begin(), names.end(), name));
  }
};

class CqgcelServer : public ::testing::Test {
 protected:
  void SetUp() override {
    com::CoInitialize();
    SimServer::Instance().Reset();
  }
  void TearDown() override {
    SimServer::Instance().Reset();
    com::CoUninitialize();
  }
};

TEST_F(CqgcelServer, TypeLibraryHasEveryConstantWithTheSimulatorsValue) {
  auto library = com::LoadRegTypeLib(kLibraryId, kLibraryMajor, kLibraryMinor);
  int checked = 0;
#define CEL_CONSTANT(name, value)                                                      \
  EXPECT_EQ(library->Constant(#name), SimServer::Instance().Constant(#name)) << #name; \
  ++checked;
#include "platform/cqgcel/interface/cel_constants.def"
  EXPECT_EQ(static_cast<size_t>(checked), library->constants().size());  // and no others
  EXPECT_THROW(library->Constant("tzMars"), ComError);
  // A version that is not registered: the library's id and version name the failure.
  try {
    com::LoadRegTypeLib(kLibraryId, kLibraryMajor + 1, 0);
    FAIL() << "a missing type library loaded";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), com::hresult::kLibNotRegistered);
    EXPECT_NE(e.description().find(std::string(kLibraryId) + " 5.0"), std::string::npos)
        << e.description();
  }
}

TEST_F(CqgcelServer, TypeLibraryHasEveryEventWithItsParameters) {
  DispatchPtr cel = com::CreateObject(kProgId);
  auto* object = dynamic_cast<com::win::ComObject*>(cel.get());
  ASSERT_NE(object, nullptr);
  auto provider = com::win::ComPtr<::IDispatch>::Share(object->get())
                      .As<IProvideClassInfo>(IID_IProvideClassInfo);
  ASSERT_TRUE(provider);
  com::win::ComPtr<ITypeInfo> coclass, events;
  ASSERT_EQ(provider->GetClassInfo(coclass.Out()), S_OK);
  HREFTYPE ref = 0;
  ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &ref), S_OK);  // [default, source]
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, events.Out()), S_OK);
  int checked = 0;
  auto expect = [&](const wchar_t* name, UINT arity) {
    MEMBERID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    ASSERT_EQ(events->GetIDsOfNames(names, 1, &id), S_OK) << com::win::Narrow(name, wcslen(name));
    BSTR got[8] = {};
    UINT count = 0;
    ASSERT_EQ(events->GetNames(id, got, 8, &count), S_OK);
    for (UINT i = 0; i < count; ++i) SysFreeString(got[i]);
    EXPECT_EQ(count, arity + 1) << com::win::Narrow(name, wcslen(name));  // name + parameters
    ++checked;
  };
#define CEL_EVENT0(name) expect(L## #name, 0);
#define CEL_EVENT1(name, a) expect(L## #name, 1);
#define CEL_EVENT2(name, a, b) expect(L## #name, 2);
#define CEL_EVENT3(name, a, b, c) expect(L## #name, 3);
#define CEL_EVENT5(name, a, b, c, d, e) expect(L## #name, 5);
#include "platform/cqgcel/interface/cel_events.def"
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(events->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, checked);  // and no others
  events->ReleaseTypeAttr(attr);
}

TEST_F(CqgcelServer, ConfigurationStartupAndEventsOnTheCreatingThread) {
  DispatchPtr cel = com::CreateObject(kProgId);
  EXPECT_EQ(cel->TypeName(), "ICQGCEL");
  auto sink = std::make_shared<Recorder>();
  com::Connection connection = com::ConnectEvents(cel, sink);
  DispatchPtr config = cel->Get("APIConfiguration").Dispatch();
  config->Put("TimeZoneCode", SimServer::Instance().Constant("tzChina"));
  config->Put("UseOrderSide", true);
  config->Put("ReadyStatusCheck", int32_t{0});
  EXPECT_EQ(config->Get("TimeZoneCode").ToInt32(), SimServer::Instance().Constant("tzChina"));
  EXPECT_TRUE(config->Get("UseOrderSide").ToBool());
  EXPECT_EQ(config->Get("ReadyStatusCheck").ToInt32(), 0);
  // The same object each time: one served wrapper per simulator object.
  EXPECT_EQ(cel->Get("APIConfiguration").Dispatch()->Identity(), config->Identity());

  cel->Call("Startup");
  EXPECT_EQ(sink->Count("OnCELStarted"), 0u);  // raised after the call returned
  ASSERT_TRUE(PumpUntil([&] { return sink->Count("OnCELStarted") == 1; }));
  EXPECT_EQ(sink->threads.front(), std::this_thread::get_id());
  EXPECT_TRUE(cel->Get("IsStarted").ToBool());

  SimServer::Instance().RaiseEvent("OnIdle");
  EXPECT_EQ(sink->Count("OnIdle"), 1u);
  connection.Disconnect();
  SimServer::Instance().RaiseEvent("OnIdle");
  EXPECT_EQ(sink->Count("OnIdle"), 1u);  // disconnected: no more
  cel->Call("Shutdown");
}

TEST_F(CqgcelServer, BadMembersAndArgumentsRaiseNamedErrors) {
  DispatchPtr cel = com::CreateObject(kProgId);
  struct Case {
    const char* what;
    std::function<void()> call;
    int32_t code;
    const char* text;
  };
  const Case cases[] = {
      {"unknown member", [&] { cel->Call("NoSuchMember"); }, com::hresult::kUnknownName,
       "NoSuchMember"},
      {"member's own error", [&] { cel->Get("Orders").Dispatch()->Call("ItemByGuid", {"g-1"}); },
       com::hresult::kBadIndex, "no order with GUID 'g-1'"},
      {"missing argument", [&] { cel->Call("NewInstrument"); }, com::hresult::kBadParamCount,
       "NewInstrument"},
      {"read-only property", [&] { cel->Put("IsStarted", true); }, com::hresult::kMemberNotFound,
       "IsStarted"},
      {"not a simulator object", [&] { cel->Call("RemoveInstrument", {cel}); },
       com::hresult::kBadIndex, "not subscribed"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.what << ": no error";
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), c.code) << c.what << ": " << e.description();
      EXPECT_NE(e.description().find(c.text), std::string::npos)
          << c.what << ": " << e.description();
    }
  }
}

TEST_F(CqgcelServer, ObjectsGoBackToTheServerAsItsOwn) {
  DispatchPtr cel = com::CreateObject(kProgId);
  auto sink = std::make_shared<Recorder>();
  com::Connection connection = com::ConnectEvents(cel, sink);
  cel->Call("Startup");
  SimServer::Instance().DefineSymbol("F.US.EP");
  cel->Call("NewInstrument", {"EP"});
  ASSERT_TRUE(PumpUntil([&] { return sink->Count("OnInstrumentResolved") == 1; }));
  DispatchPtr instrument = sink->args.back()[1].Dispatch();
  EXPECT_EQ(instrument->Get("FullName").Text(), "F.US.EP");
  EXPECT_TRUE(sink->args.back()[2].IsEmpty());  // no error object
  DispatchPtr account = cel->Get("Accounts").Dispatch()->Call("Item", {int32_t{0}}).Dispatch();
  // Optional arguments left out, then given.
  DispatchPtr market =
      cel->Call("CreateOrder", {SimServer::Instance().Constant("otMarket"), instrument, account,
                                int32_t{2}, SimServer::Instance().Constant("osdBuy")})
          .Dispatch();
  DispatchPtr limit =
      cel->Call("CreateOrder", {SimServer::Instance().Constant("otLimit"), instrument, account,
                                int32_t{1}, SimServer::Instance().Constant("osdSell"), 4321.25})
          .Dispatch();
  EXPECT_EQ(market->Get("Quantity").ToInt32(), 2);
  EXPECT_EQ(limit->Get("InstrumentName").Text(), "F.US.EP");
  EXPECT_EQ(limit->Get("GWAccountID").ToInt32(), account->Get("GWAccountID").ToInt32());
  // A property read with an argument: the value's default member takes it.
  const int guid_property = SimServer::Instance().Constant("opGUID");
  EXPECT_EQ(limit->Get("Properties", {guid_property}).Dispatch()->Get("Value").Text(),
            limit->Get("GUID").Text());
  EXPECT_DOUBLE_EQ(account->Get("Summary").Dispatch()->Get("Balance", {int32_t{0}}).ToDouble(),
                   account->Get("Summary").Dispatch()->Call("Balance", {int32_t{0}}).ToDouble());
  cel->Call("RemoveInstrument", {instrument});
  EXPECT_EQ(cel->Get("Instruments").Dispatch()->Count(), 0);
}

TEST_F(CqgcelServer, CreationFailuresAreClearErrors) {
  SimServer::Instance().SetAnswer("CreateObject", "fail", 0, static_cast<int>(E_ACCESSDENIED),
                                  "licence expired");
  try {
    com::CreateObject(kProgId);
    FAIL() << "created";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), static_cast<int32_t>(E_ACCESSDENIED));
    EXPECT_EQ(e.description(), "Cannot create CQG.CQGCEL.4: licence expired");
  }
  try {
    com::CreateObject("CQG.NoSuchServer.1");
    FAIL() << "created";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), com::hresult::kInvalidProgId);
    EXPECT_NE(e.description().find("CQG.NoSuchServer.1"), std::string::npos);
  }
  SimServer::Instance().Reset();
  EXPECT_NO_THROW(com::CreateObject(kProgId));
}

TEST_F(CqgcelServer, CallsFromAnotherThreadRunOnTheHomeThread) {
  DispatchPtr proxy;
  std::thread::id home;
  auto sink = std::make_shared<Recorder>();
  com::Connection connection;
  std::unique_ptr<com::Stream> stream;
  {
    com::testing::ComThread com_thread([&] {
      DispatchPtr cel = com::CreateObject(kProgId);
      connection = com::ConnectEvents(cel, sink);
      stream = com::CoMarshalInterThreadInterfaceInStream(cel);
      home = std::this_thread::get_id();
    });
    std::thread caller([&] {  // outside any apartment: COM's proxy
      DispatchPtr cel = com::CoGetInterfaceAndReleaseStream(std::move(stream));
      cel->Get("APIConfiguration").Dispatch()->Put("ReadyStatusCheck", int32_t{0});
      cel->Call("Startup");
      for (int i = 0; i < 20 && sink->Count("OnCELStarted") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      cel->Call("Shutdown");
    });
    caller.join();
    com_thread.apartment()->Run([&] { connection.Disconnect(); });
  }
  ASSERT_EQ(sink->Count("OnCELStarted"), 1u);
  EXPECT_EQ(sink->threads.front(), home);
}

}  // namespace
}  // namespace mx::cqgcel::test
