// Connection points, marshalling and quitting against the test server: events named by
// the server's type information and delivered on the object's apartment thread, real COM
// proxies for calls from other threads, and the end of an apartment.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "com_test_support.h"
#include "platform/com/com.h"
#include "platform/com/com_error.h"
#include "platform/com/events.h"
#include "platform/com/marshal.h"
#include "platform/com/type_library.h"
#include "platform/com/win/windows_headers.h"

namespace mx::com {
namespace {

constexpr const char* kProgId = "Mx.ComTest.1";

struct Recorder : IEventSink {
  std::mutex mu;
  std::vector<std::string> log;  // guarded by mu
  std::vector<DWORD> threads;    // guarded by mu
  bool fail = false;
  void OnEvent(int dispid, std::string_view name, Args args) override {
    std::string line = std::string(name) + "#" + std::to_string(dispid);
    for (const auto& a : args) line += " " + a.ToString();
    {
      std::lock_guard lk(mu);
      log.push_back(line);
      threads.push_back(GetCurrentThreadId());
    }
    if (fail) throw std::runtime_error("sink failed");
  }
  std::vector<std::string> Log() {
    std::lock_guard lk(mu);
    return log;
  }
};

TEST(ConnectionPoints, EventsAreNamedByTheServersTypeInfo) {
  CoInitialize();
  {
    DispatchPtr object = CreateObject(kProgId);
    object->Put("Stamp", DateTime{2024, 3, 5, 14, 3, 27, 250'001});
    auto first = std::make_shared<Recorder>();
    first->fail = true;
    auto second = std::make_shared<Recorder>();
    std::vector<std::string> reported;
    SetSinkErrorReporter([&](std::string_view event, std::string_view what) {
      reported.push_back(std::string(event) + ": " + std::string(what));
    });
    {
      Connection c1 = ConnectEvents(object, first);
      Connection c2 = ConnectEvents(object, second);
      object->Call("RaiseEvents", {int32_t{2}});
      object->Call("RaiseUnknownEvent");  // a DISPID the source interface lacks: ignored
    }
    object->Call("RaiseEvents", {int32_t{1}});  // both disconnected
    SetSinkErrorReporter({});
    const std::vector<std::string> expected{"OnFirst#7 1 first 1", "OnFirst#7 2 first 2",
                                            "OnStamp#3 2024-03-05 14:03:27.250001",
                                            "OnByRef#42 41 in"};
    EXPECT_EQ(first->Log(), expected);
    EXPECT_EQ(second->Log(), expected);  // the failing sink did not stop the others
    EXPECT_EQ(reported.size(), 4u);
    EXPECT_EQ(reported.front(), "OnFirst: sink failed");
  }
  CoUninitialize();
}

// What a host reads instead of numbers of its own: the created object's containing type
// library (its enumerations) and its class's default source interface (ids by name).
TEST(TypeInformation, TheObjectsLibraryAndSourceEvents) {
  CoInitialize();
  {
    DispatchPtr object = CreateObject(kProgId);
    auto library = TypeLibraryOf(object);
    EXPECT_EQ(library->Constant("tlHigh"), -3);
    EXPECT_EQ(library->Constant("tlTop"), 1000);
    auto events = SourceEventsOf(object);
    const std::vector<EventInterface::Member> expected{
        {"OnStamp", 3}, {"OnFirst", 7}, {"OnByRef", 42}};
    EXPECT_EQ(events, expected);
  }
  CoUninitialize();
}

TEST(Marshal, ACOMObjectThroughCOMsProxy) {
  std::shared_ptr<IDispatch> object;
  std::unique_ptr<Stream> stream;
  DWORD home_thread = 0;
  auto sink = std::make_shared<Recorder>();
  Connection connection;
  auto com = std::make_unique<testing::ComThread>([&] {
    home_thread = GetCurrentThreadId();
    object = CreateObject(kProgId);
    connection = ConnectEvents(object, sink);
    stream = CoMarshalInterThreadInterfaceInStream(object);
  });
  // This thread has not entered COM: the proxy lives in the multi-threaded apartment.
  DispatchPtr proxy = CoGetInterfaceAndReleaseStream(std::move(stream));
  EXPECT_TRUE(proxy->IsProxy());
  EXPECT_EQ(HomeOf(proxy), com->apartment());
  EXPECT_EQ(proxy->Get("ThreadId").ToInt(), home_thread);

  // Objects that calls return are proxies bound to the same home.
  DispatchPtr child = proxy->Get("Child").Dispatch();
  EXPECT_TRUE(child->IsProxy());
  EXPECT_EQ(child->Get("ThreadId").ToInt(), home_thread);
  RunInHome(child, [&](const DispatchPtr& here) {
    EXPECT_FALSE(here->IsProxy());
    EXPECT_EQ(GetCurrentThreadId(), home_thread);
    EXPECT_EQ(here->Get("Name").Text(), "child");
  });

  // Events raised by a call from here run on the object's thread, which pumps.
  proxy->Call("RaiseEvents", {int32_t{1}});
  EXPECT_EQ(sink->Log().size(), 3u);
  {
    std::lock_guard lk(sink->mu);
    for (DWORD t : sink->threads) EXPECT_EQ(t, home_thread);
  }

  // Errors come back through the proxy unchanged.
  try {
    proxy->Call("Fail", {static_cast<int32_t>(0x80045678), "through the proxy"});
    ADD_FAILURE() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.code()), 0x80045678u);
    EXPECT_STREQ(e.what(), "through the proxy");
  }

  // A quit posted from here ends the home's loop; its apartment closes with it.
  com->apartment()->Run([&] {
    connection.Disconnect();
    object.reset();
  });
  ASSERT_TRUE(com->apartment()->PostQuit(3));
  auto home = com->apartment();
  com.reset();  // joins the thread
  EXPECT_TRUE(home->IsClosed());
  try {
    proxy->Get("ThreadId");
    ADD_FAILURE() << "a call to an ended apartment ran";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), hresult::kDisconnected);
  }
  EXPECT_THROW(RunInHome(child, [](const DispatchPtr&) {}), ComError);
}

}  // namespace
}  // namespace mx::com
