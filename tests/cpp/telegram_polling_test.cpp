// Updater and Dispatcher: offsets, backlog, routing, faults, stopping during a long poll.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "loopback_http_server.h"
#include "platform/telegram/errors.h"
#include "platform/telegram/updater.h"

using namespace mx::telegram;
using mx::testing::HttpReply;
using mx::testing::HttpRequest;
using mx::testing::LoopbackHttpServer;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

const std::string kToken = "42:POLLING-secret";

template <class Predicate>
bool wait_until(Predicate predicate, std::chrono::milliseconds limit = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

json text_update(std::int64_t id, const std::string& text, std::int64_t chat = 7) {
  json message = {{"message_id", id},
                  {"date", 0},
                  {"chat", {{"id", chat}}},
                  {"from", {{"id", 3}}},
                  {"text", text}};
  if (!text.empty() && text[0] == '/') {
    auto end = text.find(' ');
    message["entities"] = json::array({{{"type", "bot_command"},
                                        {"offset", 0},
                                        {"length", end == std::string::npos ? text.size() : end}}});
  }
  return {{"update_id", id}, {"message", message}};
}

// A scripted Bot API: getMe answers "MxBot"; getUpdates answers from a queue of replies
// (an empty queue holds the long poll until the server stops); every request is logged.
class ScriptedApi {
 public:
  ScriptedApi() : server_([this](const HttpRequest& r) { return answer(r); }) {}

  std::string url() const { return server_.url(); }
  void queue(HttpReply reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(reply));
    changed_.notify_all();
  }
  void queue_updates(const json& updates) {
    queue({200, json{{"ok", true}, {"result", updates}}.dump()});
  }
  std::vector<json> polls() {
    std::lock_guard lock(mutex_);
    return polls_;
  }
  std::vector<std::chrono::steady_clock::time_point> poll_times() {
    std::lock_guard lock(mutex_);
    return poll_times_;
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    server_.stop();
  }
  ~ScriptedApi() { stop(); }

 private:
  HttpReply answer(const HttpRequest& request) {
    if (request.path.ends_with("/getMe")) {
      return {200, R"({"ok":true,"result":{"id":1,"is_bot":true,"username":"MxBot"}})"};
    }
    std::unique_lock lock(mutex_);
    polls_.push_back(json::parse(request.body));
    poll_times_.push_back(std::chrono::steady_clock::now());
    changed_.wait(lock, [this] { return stopping_ || !replies_.empty(); });
    if (stopping_) return {200, R"({"ok":true,"result":[]})"};
    HttpReply reply = std::move(replies_.front());
    replies_.pop_front();
    return reply;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<HttpReply> replies_;
  std::vector<json> polls_;
  std::vector<std::chrono::steady_clock::time_point> poll_times_;
  bool stopping_ = false;
  LoopbackHttpServer server_;
};

struct Harness {
  explicit Harness(ScriptedApi& api, PollingOptions options = fast_options()) {
    ClientOptions client_options;
    client_options.base_url = api.url();
    client_options.timeouts.total = 5s;
    updater = std::make_unique<Updater>(std::make_shared<BotApiClient>(kToken, client_options),
                                        options, [this](const std::string& line) {
                                          std::lock_guard lock(mutex);
                                          reports.push_back(line);
                                        });
    Handler record = [this](const HandlerContext& ctx) {
      std::lock_guard lock(mutex);
      std::string seen = *ctx.message.text;
      for (const auto& a : ctx.args) seen += "|" + a;
      handled.push_back(seen);
    };
    updater->dispatcher().add_command_handler("ping", record);
    updater->dispatcher().add_message_handler(record);
    updater->dispatcher().add_command_handler(
        "boom", [](const HandlerContext&) { throw std::runtime_error("handler broke"); });
  }
  static PollingOptions fast_options() {
    PollingOptions options;
    options.poll_timeout_seconds = 30;
    options.backoff_initial = 20ms;
    options.backoff_max = 80ms;
    return options;
  }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex);
    return handled;
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex);
    return reports;
  }
  std::mutex mutex;
  std::vector<std::string> handled;
  std::vector<std::string> reports;
  std::unique_ptr<Updater> updater;
};

TEST(Updater, SkipsTheBacklogAndAdvancesPastEveryUpdate) {
  ScriptedApi api;
  api.queue_updates(json::array({text_update(5, "/ping old")}));  // backlog answer to offset -1
  api.queue_updates(json::array({text_update(6, "/ping a b"), text_update(7, "hello")}));
  api.queue_updates(
      json::array({text_update(9, "/ping@MxBot c"), text_update(8, "/ping@OtherBot d")}));
  Harness h(api);
  h.updater->start_polling();
  ASSERT_TRUE(wait_until([&] { return h.seen().size() == 3 && api.polls().size() >= 4; }));
  EXPECT_EQ(h.seen(), (std::vector<std::string>{"/ping a b|a|b", "hello", "/ping@MxBot c|c"}));
  auto polls = api.polls();
  EXPECT_EQ(polls[0]["offset"], -1);
  EXPECT_EQ(polls[0]["timeout"], 0);
  EXPECT_EQ(polls[1]["offset"], 6);
  EXPECT_EQ(polls[1]["timeout"], 30);
  EXPECT_EQ(polls[2]["offset"], 8);
  EXPECT_EQ(polls[3]["offset"], 10) << "offset passes the highest id, whatever the order";
  h.updater->stop();
}

TEST(Updater, StartPollingSkipsTheBacklogBeforeItReturns) {
  ScriptedApi api;
  api.queue_updates(json::array({text_update(5, "/ping old")}));
  api.queue_updates(json::array({text_update(6, "/ping new")}));
  Harness h(api);
  h.updater->start_polling();
  // A command sent from here on comes after the skipped backlog, whatever getMe does.
  auto polls = api.polls();
  ASSERT_GE(polls.size(), 1u) << "start_polling returned before asking for the backlog";
  EXPECT_EQ(polls[0]["offset"], -1);
  ASSERT_TRUE(wait_until([&] { return h.seen().size() == 1; }));
  EXPECT_EQ(h.seen(), std::vector<std::string>{"/ping new|new"});
  EXPECT_EQ(api.polls()[1]["offset"], 6);
  h.updater->stop();
}

json dated_update(std::int64_t id, const std::string& text, std::int64_t date) {
  json update = text_update(id, text);
  update["message"]["date"] = date;
  return update;
}

TEST(Updater, UnreachableAtTheStartDropsOnlyMessagesDatedBeforeIt) {
  ScriptedApi api;
  api.queue({500, R"({"ok":false,"error_code":500,"description":"Internal Server Error"})"});
  auto now = std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  api.queue_updates(json::array(
      {dated_update(5, "/ping stale", now - 60), dated_update(6, "/ping fresh", now + 1)}));
  // The backlog was read whole (an answer short of the limit): dates no longer matter.
  api.queue_updates(json::array({dated_update(7, "/ping skewed", now - 60)}));
  Harness h(api);
  h.updater->start_polling();
  ASSERT_TRUE(wait_until([&] { return h.seen().size() == 2; }));
  EXPECT_EQ(h.seen(), (std::vector<std::string>{"/ping fresh|fresh", "/ping skewed|skewed"}));
  auto polls = api.polls();
  EXPECT_EQ(polls[1].count("offset"), 0u) << "from the oldest pending update";
  EXPECT_EQ(polls[2]["offset"], 7);
  ASSERT_FALSE(h.lines().empty());
  EXPECT_EQ(h.lines()[0].rfind("telegram: could not skip the updates pending at the start (", 0),
            0u)
      << h.lines()[0];
  h.updater->stop();
}

TEST(Updater, StartPollingReturnsWithinItsBoundWhenTheServiceHangs) {
  LoopbackHttpServer* self = nullptr;
  LoopbackHttpServer server([&](const HttpRequest&) {
    self->hold();
    return HttpReply{200, R"({"ok":true,"result":[]})"};
  });
  self = &server;
  ClientOptions client_options;
  client_options.base_url = server.url();
  PollingOptions options = Harness::fast_options();
  options.start_timeout = 200ms;
  std::mutex mutex;
  std::vector<std::string> lines;
  Updater updater(std::make_shared<BotApiClient>(kToken, client_options), options,
                  [&](const std::string& line) {
                    std::lock_guard lock(mutex);
                    lines.push_back(line);
                  });
  auto start = std::chrono::steady_clock::now();
  updater.start_polling();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(updater.running());
  updater.stop();
  server.stop();
  std::lock_guard lock(mutex);
  ASSERT_GE(lines.size(), 1u);
  EXPECT_NE(lines[0].find("could not skip the updates pending at the start"), std::string::npos)
      << lines[0];
}

TEST(Updater, EntriesThatCannotBeReadAreSkippedReportedAndConfirmed) {
  ScriptedApi api;
  api.queue_updates(json::array());
  api.queue({200, R"({"ok":true,"result":[)" + text_update(1, "/ping a").dump() +
                      R"(,{"update_id":2,"message":{"message_id":2,"date":0,"chat":{"id":7},)"
                      R"("text":"\ud800"}},{"message":{"text":"/ping no-id"}},)" +
                      text_update(4, "/ping b").dump() + R"(,[5]]})"});
  api.queue_updates(json::array({text_update(9, "/ping c")}));
  Harness h(api);
  h.updater->start_polling();
  ASSERT_TRUE(wait_until([&] { return h.seen().size() == 3; }));
  EXPECT_EQ(h.seen(), (std::vector<std::string>{"/ping a|a", "/ping b|b", "/ping c|c"}));
  // Past 4, and past the entry after it, whose id is at least 5.
  EXPECT_EQ(api.polls()[2]["offset"], 6);
  auto lines = h.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "telegram: skipped an update that cannot be read (update_id 2: its text cannot be "
            "decoded (a lone surrogate escape, or bytes that are not UTF-8))");
  EXPECT_EQ(lines[1],
            "telegram: skipped an update that cannot be read (it has no integer update_id)");
  EXPECT_EQ(lines[2], "telegram: skipped an update that cannot be read (it is not an object)");
  h.updater->stop();
}

TEST(Updater, AnAbsurdRetryAfterIsClampedNotSpunOn) {
  for (const char* retry_after : {"1000000000000000000", "18446744073709551615"}) {
    ScriptedApi api;
    api.queue_updates(json::array());
    api.queue({429, std::string(R"({"ok":false,"error_code":429,"description":"Too Many",)") +
                        R"("parameters":{"retry_after":)" + retry_after + "}}"});
    api.queue_updates(json::array({text_update(1, "too early")}));
    Harness h(api);
    h.updater->start_polling();
    ASSERT_TRUE(wait_until([&] { return api.polls().size() >= 2; }));  // backlog, the 429
    std::this_thread::sleep_for(300ms);  // a poller whose wait overflowed asks again at once
    EXPECT_EQ(api.polls().size(), 2u) << retry_after;
    EXPECT_TRUE(h.seen().empty());
    auto start = std::chrono::steady_clock::now();
    h.updater->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << "the long wait is cut short";
  }
}

TEST(Updater, StopReturnsAtOnceDuringALongPoll) {
  ScriptedApi api;
  api.queue_updates(json::array());
  Harness h(api);
  h.updater->start_polling();
  ASSERT_TRUE(wait_until([&] { return api.polls().size() == 2; }));  // the long poll is held
  auto start = std::chrono::steady_clock::now();
  h.updater->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_FALSE(h.updater->running());
}

TEST(Updater, RetriesServerErrorsAndReportsARefusedTokenOnce) {
  ScriptedApi api;
  api.queue_updates(json::array());
  for (int i = 0; i < 3; ++i) {
    api.queue({401, R"({"ok":false,"error_code":401,"description":"Unauthorized"})"});
  }
  api.queue({500, R"({"ok":false,"error_code":500,"description":"Internal Server Error"})"});
  api.queue({502, "<html/>"});
  api.queue_updates(json::array({text_update(1, "after the storm")}));
  Harness h(api);
  h.updater->start_polling();
  ASSERT_TRUE(wait_until([&] { return h.seen().size() == 1; }));
  auto lines = h.lines();
  ASSERT_GE(lines.size(), 3u);
  int token_lines = 0;
  for (const auto& line : lines) {
    EXPECT_EQ(line.find(kToken), std::string::npos);
    if (line.find("refused the bot token (401") != std::string::npos) ++token_lines;
  }
  EXPECT_EQ(token_lines, 1) << "reported once, not once per retry";
  EXPECT_EQ(lines.back(), "telegram: polling works again.");
  h.updater->stop();
}

TEST(Updater, RateLimitWaitsRetryAfter) {
  ScriptedApi api;
  api.queue_updates(json::array());
  api.queue(
      {429,
       R"({"ok":false,"error_code":429,"description":"Too Many Requests","parameters":{"retry_after":1}})"});
  api.queue_updates(json::array({text_update(1, "late")}));
  Harness h(api);
  h.updater->start_polling();
  ASSERT_TRUE(wait_until([&] { return h.seen().size() == 1; }));
  auto times = api.poll_times();
  ASSERT_GE(times.size(), 3u);  // backlog check, the poll answered 429, the poll after it
  EXPECT_GE(times[2] - times[1], 950ms);
  EXPECT_TRUE(h.lines().empty()) << "a rate limit is waited out, not reported";
  h.updater->stop();
}

TEST(Dispatcher, HandlerFailureIsReportedAndTheNextUpdateIsHandled) {
  ScriptedApi api;
  api.queue_updates(json::array());
  api.queue_updates(json::array({text_update(1, "/boom"), text_update(2, "/ping x"),
                                 text_update(3, "/unknown"), text_update(4, "/ping y", 99)}));
  Harness h(api);
  h.updater->dispatcher().set_message_filter([](const Message& m) { return m.chat_id == 7; });
  h.updater->start_polling();
  ASSERT_TRUE(wait_until([&] { return api.polls().size() >= 3; }));
  ASSERT_TRUE(wait_until([&] { return h.seen().size() == 1; }));
  h.updater->stop();
  EXPECT_EQ(h.seen(), std::vector<std::string>{"/ping x|x"})
      << "other chat filtered, unknown dropped";
  ASSERT_EQ(h.lines().size(), 1u);
  EXPECT_EQ(h.lines()[0], "telegram: the handler of /boom failed: handler broke");
}

}  // namespace
