#include <gtest/gtest.h>

#include <thread>

#include "com_test_support.h"
#include "platform/com/com_error.h"
#include "platform/com/marshal.h"
#include "platform/com/object.h"

namespace mx::com {
namespace {

// Records the thread of every call; Child returns another object (chains of calls).
class Node : public Object<Node> {
 public:
  static const Members<Node>& Table() {
    static const auto table =
        Members<Node>("Node")
            .Property("Thread",
                      [](Node& n) {
                        n.last_thread = std::this_thread::get_id();
                        return Variant(int32_t{1});
                      })
            .Property("Child",
                      [](Node& n) {
                        if (!n.child) n.child = std::make_shared<Node>();
                        return Variant(DispatchPtr(n.child));
                      })
            .Property("Count", [](Node&) { return Variant(int32_t{2}); })
            .Method("Item",
                    [](Node& n, Args) { return Variant(DispatchPtr(n.shared_from_this())); })
            .Method("Fail",
                    [](Node&, Args) -> Variant { throw ComError(1234, "scripted failure"); });
    return table;
  }
  std::thread::id last_thread;
  std::shared_ptr<Node> child;
};

TEST(Marshal, CallsThroughTheProxyRunOnTheHomeThread) {
  std::shared_ptr<Node> node;
  std::unique_ptr<Stream> stream;
  testing::ComThread com([&] {
    node = std::make_shared<Node>();
    stream = CoMarshalInterThreadInterfaceInStream(node);
  });
  DispatchPtr proxy = CoGetInterfaceAndReleaseStream(std::move(stream));
  ASSERT_TRUE(proxy->IsProxy());
  EXPECT_EQ(proxy->Identity(), node.get());
  proxy->Get("Thread");
  EXPECT_EQ(node->last_thread, com.id());

  // Returned objects come back as proxies: the chain stays on the home thread.
  DispatchPtr child = proxy->Get("Child").Dispatch();
  EXPECT_TRUE(child->IsProxy());
  child->Get("Thread");
  EXPECT_EQ(node->child->last_thread, com.id());
  for (const auto& item : proxy->Enumerate()) EXPECT_TRUE(item.Dispatch()->IsProxy());

  // Errors come back unchanged.
  try {
    proxy->Call("Fail");
    ADD_FAILURE() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), 1234);
    EXPECT_STREQ(e.what(), "scripted failure");
  }

  // One posted task for a whole walk.
  std::thread::id walked_on;
  RunInHome(proxy, [&](const DispatchPtr& target) {
    EXPECT_FALSE(target->IsProxy());
    walked_on = std::this_thread::get_id();
  });
  EXPECT_EQ(walked_on, com.id());

  com.Stop();
  try {
    proxy->Get("Thread");
    ADD_FAILURE() << "a call to an ended apartment ran";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), hresult::kDisconnected);
  }
}

TEST(Marshal, StreamNeedsComAndIsConsumedOnce) {
  EXPECT_THROW(CoMarshalInterThreadInterfaceInStream(std::make_shared<Node>()), ComError);
  EXPECT_THROW(CoGetInterfaceAndReleaseStream(nullptr), ComError);
}

TEST(Marshal, ProxyOnItsHomeThreadCallsDirectly) {
  std::shared_ptr<Apartment> home;
  std::shared_ptr<Node> node;
  testing::ComThread com([&] { node = std::make_shared<Node>(); });
  DispatchPtr proxy = MakeProxy(node, com.apartment());
  com.apartment()->Run([&] {
    // On the home thread a call does not post (which would wait for itself).
    proxy->Get("Thread");
  });
  EXPECT_EQ(node->last_thread, com.id());
}

TEST(Marshal, ManyCallersAtOnce) {
  std::shared_ptr<Node> node;
  testing::ComThread com([&] { node = std::make_shared<Node>(); });
  DispatchPtr proxy = MakeProxy(node, com.apartment());
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) EXPECT_EQ(proxy->Get("Count").ToInt(), 2);
    });
  }
  for (auto& c : callers) c.join();
}

}  // namespace
}  // namespace mx::com
