// BotApiClient against a loopback HTTP server: URLs, JSON, errors, redaction, cancelling;
// reading getUpdates answers entry by entry; the service's durations.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "loopback_http_server.h"
#include "platform/telegram/bot_api_client.h"
#include "platform/telegram/durations.h"
#include "platform/telegram/errors.h"
#include "platform/telegram/json_split.h"

using namespace mx::telegram;
using mx::testing::HttpReply;
using mx::testing::HttpRequest;
using mx::testing::LoopbackHttpServer;
using json = nlohmann::json;

namespace {

const std::string kToken = "123456:SECRET-token_value";

ClientOptions options_for(const LoopbackHttpServer& server) {
  ClientOptions options;
  options.base_url = server.url() + "/";  // a trailing slash is dropped
  options.timeouts.total = std::chrono::seconds(5);
  return options;
}

TEST(BotApiClient, SendMessagePostsChatAndTextToTheMethodUrl) {
  std::mutex mutex;
  std::vector<HttpRequest> seen;
  LoopbackHttpServer server([&](const HttpRequest& r) {
    std::lock_guard lock(mutex);
    seen.push_back(r);
    return HttpReply{200, R"({"ok":true,"result":{"message_id":1}})"};
  });
  BotApiClient client(kToken, options_for(server));
  const std::int64_t big_chat = -1001234567890123LL;  // supergroup ids need 64 bits
  client.send_message(big_chat, "h\xC3\xA9llo \"quoted\"");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/bot" + kToken + "/sendMessage");
  json body = json::parse(seen[0].body);
  EXPECT_EQ(body["chat_id"].get<std::int64_t>(), big_chat);
  EXPECT_EQ(body["text"], "h\xC3\xA9llo \"quoted\"");
}

TEST(BotApiClient, LongTextGoesAsSeveralMessagesInOrder) {
  std::vector<std::string> texts;
  LoopbackHttpServer server([&](const HttpRequest& r) {
    texts.push_back(json::parse(r.body)["text"]);
    return HttpReply{200, R"({"ok":true,"result":{}})"};
  });
  BotApiClient client(kToken, options_for(server));
  std::string line(100, 'x');
  std::string text;
  for (int i = 0; i < 60; ++i) text += line + "\n";  // 6060 units
  client.send_message(7, text);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0] + "\n" + texts[1], text);
}

struct ErrorCase {
  const char* label;
  int status;
  std::string body;
  int code;
  std::string description;
  std::optional<std::int64_t> retry_after;
};

TEST(BotApiClient, RefusalsBecomeApiErrorsWithTheServiceDescription) {
  const ErrorCase cases[] = {
      {"bad request", 400,
       R"({"ok":false,"error_code":400,"description":"Bad Request: chat not found"})", 400,
       "Bad Request: chat not found", std::nullopt},
      {"rate limit", 429,
       R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 99","parameters":{"retry_after":99}})",
       429, "Too Many Requests: retry after 99", 99},
      {"not json", 502, "<html>bad gateway</html>", 502, "HTTP 502 without a Bot API answer",
       std::nullopt},
      {"token echoed", 401,
       R"({"ok":false,"error_code":401,"description":"Unauthorized )" + kToken + R"("})", 401,
       "Unauthorized <token>", std::nullopt},
  };
  for (const auto& c : cases) {
    LoopbackHttpServer server([&](const HttpRequest&) { return HttpReply{c.status, c.body}; });
    BotApiClient client(kToken, options_for(server));
    try {
      client.send_message(1, "x");
      ADD_FAILURE() << c.label << ": no error";
    } catch (const ApiError& error) {
      EXPECT_EQ(error.error_code(), c.code) << c.label;
      EXPECT_EQ(std::string(error.what()), c.description) << c.label;
      EXPECT_EQ(error.retry_after(), c.retry_after) << c.label;
    }
  }
}

TEST(BotApiClient, SendMessageWaitsOutARateLimitThenSends) {
  int calls = 0;
  LoopbackHttpServer server([&](const HttpRequest&) {
    if (++calls == 1) {
      return HttpReply{
          429,
          R"({"ok":false,"error_code":429,"description":"Too Many Requests","parameters":{"retry_after":0}})"};
    }
    return HttpReply{200, R"({"ok":true,"result":{}})"};
  });
  BotApiClient client(kToken, options_for(server));
  client.send_message(1, "x");
  EXPECT_EQ(calls, 2);
}

TEST(BotApiClient, NetworkFailureNamesNoToken) {
  std::string url;
  {
    LoopbackHttpServer gone([](const HttpRequest&) { return HttpReply{}; });
    url = gone.url();
  }
  ClientOptions options;
  options.base_url = url;
  BotApiClient client(kToken, options);
  try {
    client.send_message(1, "x");
    FAIL() << "no error";
  } catch (const NetworkError& error) {
    std::string text = error.what();
    EXPECT_EQ(text.find(kToken), std::string::npos) << text;
    EXPECT_EQ(text.rfind("sendMessage: ", 0), 0u) << text;
  }
}

TEST(BotApiClient, RefusesMalformedTokensWithoutQuotingThem) {
  for (const std::string& token :
       {std::string(), std::string("12:ab/cd"), std::string("12:ab cd")}) {
    try {
      BotApiClient client(token);
      ADD_FAILURE() << "accepted a malformed token";
    } catch (const std::invalid_argument& error) {
      if (!token.empty()) {
        EXPECT_EQ(std::string(error.what()).find(token), std::string::npos);
      }
    }
  }
}

TEST(BotApiClient, CancelEndsALongPollAtOnce) {
  // A server whose handler holds every request open until it stops.
  LoopbackHttpServer* self = nullptr;
  std::atomic<bool> arrived{false};
  LoopbackHttpServer hold_server([&](const HttpRequest&) {
    arrived = true;
    self->hold();
    return HttpReply{200, R"({"ok":true,"result":[]})"};
  });
  self = &hold_server;

  BotApiClient client(kToken, options_for(hold_server));
  Interrupt interrupt;
  GetUpdatesRequest request;
  request.timeout_seconds = 30;
  std::thread canceller([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!arrived && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    interrupt.cancel();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(client.get_updates(request, &interrupt), Cancelled);
  auto elapsed = std::chrono::steady_clock::now() - start;
  canceller.join();
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  // A cancelled interrupt refuses new requests at once.
  EXPECT_THROW(client.get_updates(request, &interrupt), Cancelled);
  hold_server.stop();
}

TEST(BotApiClient, GetUpdatesSendsOffsetTimeoutAndReadsUpdates) {
  json seen;
  LoopbackHttpServer server([&](const HttpRequest& r) {
    seen = json::parse(r.body);
    return HttpReply{200, R"({"ok":true,"result":[
      {"update_id":9007199254740993,"message":{"message_id":1,"date":5,"chat":{"id":-100200300400500},
       "from":{"id":42},"text":"/x","entities":[{"type":"bot_command","offset":0,"length":2}]}},
      {"update_id":11,"edited_message":{"message_id":1,"date":5,"chat":{"id":1},"text":"y"}}]})"};
  });
  BotApiClient client(kToken, options_for(server));
  GetUpdatesRequest request;
  request.offset = 10;
  request.timeout_seconds = 0;
  request.allowed_updates = {"message"};
  auto updates = client.get_updates(request).updates;
  EXPECT_EQ(seen["offset"], 10);
  EXPECT_EQ(seen["timeout"], 0);
  EXPECT_EQ(seen["allowed_updates"], json::array({"message"}));
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[0].update_id, 9007199254740993LL);
  ASSERT_TRUE(updates[0].message);
  EXPECT_EQ(updates[0].message->chat_id, -100200300400500LL);
  EXPECT_EQ(updates[0].message->from_id, 42);
  EXPECT_FALSE(updates[1].message) << "an edited message is not a new message";
}

TEST(BotApiClient, RedactsTheTokenInEveryFormAUrlGivesIt) {
  BotApiClient client(kToken);  // "123456:SECRET-token_value"
  struct Case {
    const char* label;
    std::string text;
    std::string redacted;
  };
  const Case cases[] = {
      {"plain", "/bot123456:SECRET-token_value/x", "/bot<token>/x"},
      {"colon upper", "/bot123456%3ASECRET-token_value/x", "/bot<token>/x"},
      {"colon lower", "/bot123456%3aSECRET-token_value/x", "/bot<token>/x"},
      {"every byte", "%31%32%33%34%35%36%3a%53%45%43%52%45%54%2D%74%6F%6b%65%6e%5F%76%61%6c%75%65",
       "<token>"},
      {"plus", "123456+SECRET-token_value", "<token>"},
      {"encoded twice", "123456%253ASECRET%252Dtoken_value", "<token>"},
      {"secret alone, twice", "a SECRET-token_value b SECRET%2dtoken%5Fvalue",
       "a <token> b <token>"},
      {"near misses stay", "123456:SECRET-token_valu 123456%3",
       "123456:SECRET-token_valu 123456%3"},
  };
  for (const auto& c : cases) EXPECT_EQ(client.redact(c.text), c.redacted) << c.label;
}

TEST(BotApiClient, AnErrorEchoingTheEncodedPathNamesNoToken) {
  LoopbackHttpServer server([](const HttpRequest& r) {
    std::string encoded = r.path;  // "/bot123456:SECRET.../sendMessage", as a server may echo it
    encoded.replace(encoded.find(':'), 1, "%3A");
    return HttpReply{400,
                     json{{"ok", false}, {"error_code", 400}, {"description", encoded}}.dump()};
  });
  BotApiClient client(kToken, options_for(server));
  try {
    client.send_message(1, "x");
    FAIL() << "no error";
  } catch (const ApiError& error) {
    EXPECT_EQ(std::string(error.what()), "/bot<token>/sendMessage");
  }
}

TEST(UpdateBatch, NextOffsetConfirmsUnreadableEntriesByTheirPlace) {
  auto batch = [](std::vector<std::optional<std::int64_t>> ids) {
    UpdateBatch b;
    b.ids = std::move(ids);
    return b;
  };
  struct Case {
    const char* label;
    std::optional<std::int64_t> requested;
    UpdateBatch batch;
    std::optional<std::int64_t> offset;
    bool confirmed_all;
  };
  const std::optional<std::int64_t> none;
  const Case cases[] = {
      {"empty keeps the offset", 7, batch({}), 7, true},
      {"past the highest", 7, batch({7, 9, 8}), 10, true},
      {"unreadable last", 7, batch({7, none}), 9, true},
      {"unreadable first", 7, batch({none, 9}), 10, true},
      {"only unreadable", 7, batch({none, none}), 9, true},
      {"no bound without an offset", none, batch({none, 4}), 5, false},
      {"the backlog's -1 is no bound", -1, batch({none}), none, false},
  };
  for (const auto& c : cases) {
    NextOffset next = next_offset(c.requested, c.batch);
    EXPECT_EQ(next.offset, c.offset) << c.label;
    EXPECT_EQ(next.confirmed_all, c.confirmed_all) << c.label;
  }
}

TEST(UpdateBatch, AnAnswerIsReadEntryByEntry) {
  std::string body =
      R"({"ok": true, "result": [ {"update_id": 1, "x": "a\"]}"}, {"update_id": 2,)"
      R"( "t": "\ud800"}, {"update_id": 3, "t": "\ud83d\ude00 \udc00"} ], "more": [1]})";
  auto split = split_top_level_array(body, "result");
  ASSERT_TRUE(split);
  ASSERT_EQ(split->elements.size(), 3u);
  EXPECT_EQ(split->elements[0], R"({"update_id": 1, "x": "a\"]}"})");
  EXPECT_EQ(split->without_elements, R"({"ok": true, "result": [], "more": [1]})");
  EXPECT_EQ(replace_lone_surrogate_escapes(split->elements[2]),
            R"({"update_id": 3, "t": "\ud83d\ude00 \ufffd"})")
      << "a pair is kept, a lone half replaced";
  UpdateBatch batch = parse_update_texts(split->elements);
  EXPECT_EQ(batch.ids, (std::vector<std::optional<std::int64_t>>{1, 2, 3}));
  ASSERT_EQ(batch.updates.size(), 1u);
  ASSERT_EQ(batch.skipped.size(), 2u);
  EXPECT_EQ(batch.skipped[1].update_id, 3);
  EXPECT_FALSE(split_top_level_array(R"({"ok": true, "result": [{"a": "unterminated]})", "result"));
}

TEST(Durations, ServiceSecondsAreClampedBeforeConversion) {
  using std::chrono::milliseconds;
  const std::pair<std::int64_t, milliseconds> cases[] = {
      {-5, milliseconds(0)},         {0, milliseconds(0)},
      {2, milliseconds(2000)},       {3600, milliseconds(3600000)},
      {3601, milliseconds(3600000)}, {INT64_MAX, milliseconds(3600000)},
  };
  for (const auto& [seconds, expected] : cases) {
    EXPECT_EQ(clamped_seconds(seconds, std::chrono::hours(1)), expected) << seconds;
  }
}

}  // namespace
