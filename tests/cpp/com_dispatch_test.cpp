#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/com_error.h"
#include "platform/com/events.h"
#include "platform/com/object.h"
#include "platform/com/type_library.h"

namespace mx::com {
namespace {

class Summary : public Object<Summary> {
 public:
  static const Members<Summary>& Table() {
    static const auto table =
        Members<Summary>("Summary")
            .Field("Name", &Summary::name)
            .Field("Id", &Summary::id, false)
            .Indexed("Balance",
                     [](Summary& s, Args a) {
                       return Variant(s.balances.at(Arg(a, 0, "Balance").ToInt()));
                     })
            .Method("Add", [](Summary& s, Args a) {
              s.balances.push_back(Arg(a, 0, "Add").ToDouble());
              return Variant(static_cast<int32_t>(s.balances.size()));
            });
    return table;
  }
  std::string name = "acct";
  int32_t id = 7;
  std::vector<double> balances{1000.0, 200.0};
  std::vector<std::string> observed;

 protected:
  void Observe(std::string_view name, CallKind, Args) override { observed.emplace_back(name); }
};

class Items : public Object<Items> {
 public:
  static const Members<Items>& Table() {
    static const auto table =
        Members<Items>("Items")
            .Property("Count",
                      [](Items& s) { return Variant(static_cast<int32_t>(s.values.size())); })
            .Method("Item", [](Items& s, Args a) {
              return Variant(s.values.at(Arg(a, 0, "Item").ToInt()));
            });
    return table;
  }
  std::vector<std::string> values{"a", "b", "c"};
};

TEST(Dispatch, PropertiesMethodsAndPropertiesWithArguments) {
  auto s = std::make_shared<Summary>();
  EXPECT_EQ(s->Get("Name").Text(), "acct");
  s->Put("Name", "other");
  EXPECT_EQ(s->name, "other");
  EXPECT_EQ(s->Get("Balance", {0}).ToDouble(), 1000.0);  // read with an argument
  EXPECT_EQ(s->Call("Balance", {1}).ToDouble(), 200.0);  // the same, called
  EXPECT_EQ(s->Call("Add", {5.5}).ToInt(), 3);
  EXPECT_EQ(s->Describe("Name"), MemberKind::Property);
  EXPECT_EQ(s->Describe("Balance"), MemberKind::Method);
  EXPECT_EQ(s->Describe("Nope"), MemberKind::None);
  EXPECT_EQ(s->observed, (std::vector<std::string>{"Name", "Name", "Balance", "Balance", "Add"}));
}

TEST(Dispatch, ErrorsCarryCodes) {
  auto s = std::make_shared<Summary>();
  struct Case {
    const char* label;
    std::function<void()> call;
    int32_t code;
  } cases[] = {
      {"unknown member", [&] { s->Get("Nope"); }, hresult::kUnknownName},
      {"read-only write", [&] { s->Put("Id", 3); }, hresult::kMemberNotFound},
      {"arguments to a plain property", [&] { s->Get("Name", {1}); }, hresult::kBadParamCount},
      {"missing argument", [&] { s->Call("Balance"); }, hresult::kBadParamCount},
      {"wrong value kind", [&] { s->Put("Name", 3); }, hresult::kTypeMismatch},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.label << ": no error";
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), c.code) << c.label << ": " << e.what();
    }
  }
}

TEST(Dispatch, CollectionsAreCountedCalledAndEnumerated) {
  auto items = std::make_shared<Items>();
  EXPECT_EQ(items->Count(), 3);
  EXPECT_EQ(items->Call("", {1}).Text(), "b");  // the default member forwards to Item
  std::vector<std::string> seen;
  for (const auto& v : items->Enumerate()) seen.push_back(v.Text());
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(TypeLibrary, ConstantsByNameAfterLoading) {
  RegisterTypeLibrary(std::make_shared<TypeLibrary>(
      "{TEST-LIB}", 2, 1, TypeLibrary::Constants{{"kOne", 1}, {"kTwo", 2}}));
  auto lib = LoadRegTypeLib("{TEST-LIB}", 2, 0);
  EXPECT_EQ(lib->Constant("kTwo"), 2);
  EXPECT_FALSE(lib->Find("kThree").has_value());
  EXPECT_THROW(lib->Constant("kThree"), ComError);
  EXPECT_THROW(LoadRegTypeLib("{TEST-LIB}", 3, 0), ComError);
  EXPECT_THROW(LoadRegTypeLib("{OTHER}", 2, 0), ComError);
}

TEST(Registry, CreateObjectNeedsComAndAKnownProgId) {
  RegisterClassObject("Test.Items.1", [] { return std::make_shared<Items>(); });
  EXPECT_THROW(CreateObject("Test.Items.1"), ComError);  // this thread has not entered COM
  CoInitialize();
  EXPECT_EQ(CreateObject("Test.Items.1")->TypeName(), "Items");
  try {
    CreateObject("No.Such.1");
    ADD_FAILURE();
  } catch (const ComError& e) {
#ifdef _WIN32
    EXPECT_EQ(e.code(), hresult::kInvalidProgId);  // the system knows no CLSID for it
#else
    EXPECT_EQ(e.code(), hresult::kClassNotRegistered);  // no registry names its server
#endif
    EXPECT_NE(std::string(e.what()).find("No.Such.1"), std::string::npos);
  }
  EXPECT_TRUE(CoUninitialize());
  EXPECT_FALSE(CoUninitialize());
}

struct Recording : IEventSink {
  std::vector<std::string>* log;
  std::string tag;
  bool fail = false;
  void OnEvent(int dispid, std::string_view name, Args args) override {
    log->push_back(tag + ":" + std::string(name) + "#" + std::to_string(dispid) + "(" +
                   std::to_string(args.size()) + ")");
    if (fail) throw std::runtime_error("sink failed");
  }
};

class Source : public Object<Source> {
 public:
  static const Members<Source>& Table() {
    static const auto table = Members<Source>("Source");
    return table;
  }
  EventSource* Events() override { return &events; }
  static const EventInterface& Interface() {
    static const EventInterface iface({"OnA", "OnB"});
    return iface;
  }
  EventSource events{Interface()};
};

TEST(Events, EverySinkInConnectionOrderAndAFailingSinkDoesNotStopTheOthers) {
  std::vector<std::string> log;
  std::vector<std::string> reported;
  SetSinkErrorReporter([&](std::string_view event, std::string_view what) {
    reported.push_back(std::string(event) + ": " + std::string(what));
  });
  auto source = std::make_shared<Source>();
  auto first = std::make_shared<Recording>();
  first->log = &log;
  first->tag = "first";
  first->fail = true;
  auto second = std::make_shared<Recording>();
  second->log = &log;
  second->tag = "second";
  {
    Connection c1 = ConnectEvents(source, first);
    Connection c2 = ConnectEvents(source, second);
    Variant arg(1);
    source->events.Fire("OnB", Args(&arg, 1));
    EXPECT_THROW(source->events.Fire("OnC", {}), ComError);
  }
  source->events.Fire(1, {});  // both disconnected
  SetSinkErrorReporter({});
  EXPECT_EQ(log, (std::vector<std::string>{"first:OnB#2(1)", "second:OnB#2(1)"}));
  EXPECT_EQ(reported, (std::vector<std::string>{"OnB: sink failed"}));
  EXPECT_THROW(ConnectEvents(std::make_shared<Items>(), second), ComError);
}

// A sink that connects another sink and fires again from inside its event.
struct Reentrant : IEventSink {
  std::shared_ptr<Source> source;
  std::shared_ptr<IEventSink> late;
  std::vector<Connection>* connections;
  std::vector<std::string>* log;
  void OnEvent(int dispid, std::string_view name, Args) override {
    log->push_back("reentrant:" + std::string(name));
    if (dispid == 1) {
      connections->push_back(ConnectEvents(source, late));
      source->events.Fire(2, {});
    }
  }
};

TEST(Events, ASinkConnectedWhileFiringGetsLaterEventsAndTheOuterWalkIsKept) {
  std::vector<std::string> log;
  std::vector<Connection> connections;
  auto source = std::make_shared<Source>();
  auto late = std::make_shared<Recording>();
  late->log = &log;
  late->tag = "late";
  auto reentrant = std::make_shared<Reentrant>();
  reentrant->source = source;
  reentrant->late = late;
  reentrant->connections = &connections;
  reentrant->log = &log;
  connections.push_back(ConnectEvents(source, reentrant));
  source->events.Fire(1, {});  // OnA connects `late`, then fires OnB from inside
  reentrant->source.reset();
  source->events.Fire(2, {});
  EXPECT_EQ(log, (std::vector<std::string>{"reentrant:OnA", "reentrant:OnB", "late:OnB#2(0)",
                                           "reentrant:OnB", "late:OnB#2(0)"}));
}

TEST(Events, ASinkDisconnectedFromAnotherThreadGetsNoLaterEvent) {
  std::vector<std::string> log;
  auto source = std::make_shared<Source>();
  auto sink = std::make_shared<Recording>();
  sink->log = &log;
  sink->tag = "sink";
  Connection connection = ConnectEvents(source, sink);
  source->events.Fire(1, {});  // this thread now fires from its own copy of the sinks
  std::thread([&] { connection.Disconnect(); }).join();
  source->events.Fire(1, {});
  std::thread([&] { source->events.Fire(2, {}); }).join();  // another thread fires too
  EXPECT_EQ(log, (std::vector<std::string>{"sink:OnA#1(0)"}));
  EXPECT_EQ(sink.use_count(), 1);  // no copy of the list holds it any more
}

}  // namespace
}  // namespace mx::com
