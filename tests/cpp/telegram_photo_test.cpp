// BotApiClient::send_photo against a loopback HTTP server: the multipart/form-data request
// as the service reads it, refusals before sending, and 429 waited out.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "loopback_http_server.h"
#include "platform/telegram/bot_api_client.h"
#include "platform/telegram/errors.h"

using namespace mx::telegram;
using mx::testing::HttpReply;
using mx::testing::HttpRequest;
using mx::testing::LoopbackHttpServer;

namespace {

const std::string kToken = "123456:SECRET-token_value";
const std::string kOk = R"({"ok":true,"result":{"message_id":1}})";

ClientOptions options_for(const LoopbackHttpServer& server) {
  ClientOptions options;
  options.base_url = server.url();
  options.timeouts.total = std::chrono::seconds(5);
  return options;
}

// A PNG header of the given size (signature, IHDR length and type, width, height), then
// bytes that a text-only transfer would damage.
std::string png(std::uint32_t width, std::uint32_t height) {
  std::string bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  for (std::uint32_t value : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes += static_cast<char>((value >> shift) & 0xFF);
  }
  bytes += std::string("\0\r\n--\xff\x00tail", 11);
  return bytes;
}

struct Part {
  std::string headers;
  std::string data;
};

// Splits a multipart/form-data body by the boundary of its Content-Type; parts by name.
std::map<std::string, Part> parse_form(const std::string& content_type, const std::string& body) {
  std::map<std::string, Part> parts;
  auto at = content_type.find("boundary=");
  if (content_type.rfind("multipart/form-data;", 0) != 0 || at == std::string::npos) return parts;
  std::string delimiter = "--" + content_type.substr(at + 9);
  std::size_t pos = body.find(delimiter);
  while (pos != std::string::npos) {
    std::size_t start = pos + delimiter.size();
    if (body.compare(start, 2, "--") == 0) break;  // the closing delimiter
    std::size_t next = body.find("\r\n" + delimiter, start);
    if (next == std::string::npos) break;
    std::string part = body.substr(start + 2, next - start - 2);
    std::size_t blank = part.find("\r\n\r\n");
    Part p{part.substr(0, blank), part.substr(blank + 4)};
    auto name_at = p.headers.find("name=\"") + 6;
    parts[p.headers.substr(name_at, p.headers.find('"', name_at) - name_at)] = p;
    pos = next + 2;
  }
  return parts;
}

TEST(SendPhoto, PostsOneMultipartFormWithChatPhotoAndCaption) {
  std::mutex mutex;
  std::vector<HttpRequest> seen;
  LoopbackHttpServer server([&](const HttpRequest& r) {
    std::lock_guard lock(mutex);
    seen.push_back(r);
    return HttpReply{200, kOk};
  });
  BotApiClient client(kToken, options_for(server));
  const std::string photo = png(1100, 1010);
  const std::string caption = "Session report: 3 fill(s), realised P&L -225.00 \xE2\x82\xAC";
  client.send_photo(-1001234567890123LL, photo, caption);

  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/bot" + kToken + "/sendPhoto");
  auto parts = parse_form(seen[0].header("Content-Type"), seen[0].body);
  ASSERT_EQ(parts.size(), 3u) << seen[0].head;
  EXPECT_EQ(parts["chat_id"].data, "-1001234567890123");
  EXPECT_EQ(parts["caption"].data, caption);
  EXPECT_EQ(parts["photo"].data, photo);  // byte for byte, NULs and CR LF included
  EXPECT_NE(parts["photo"].headers.find("filename=\"photo.png\""), std::string::npos);
  EXPECT_NE(parts["photo"].headers.find("Content-Type: image/png"), std::string::npos);
}

TEST(SendPhoto, RefusesWhatTheServiceWouldRefuseBeforeSendingAnything) {
  std::atomic<int> requests{0};
  LoopbackHttpServer server([&](const HttpRequest&) {
    ++requests;
    return HttpReply{200, kOk};
  });
  BotApiClient client(kToken, options_for(server));
  struct Case {
    const char* label;
    std::string photo;
    std::string caption;
    const char* message;
  } cases[] = {
      {"empty", "", "", "the photo is empty"},
      {"over 10 MB", std::string(kMaxPhotoBytes + 1, 'x'), "",
       "the photo is 10485761 bytes; the Bot API takes photos of at most 10485760 bytes (10 MB)"},
      {"sides add up beyond 10000", png(9000, 1001), "",
       "the photo is 9000x1001 pixels; the Bot API takes width + height of at most 10000"},
      {"too narrow", png(2100, 100), "",
       "the photo is 2100x100 pixels; the Bot API takes a side ratio of at most 20"},
      {"caption over 1024", png(10, 10), std::string(1025, 'c'),
       "the caption is 1025 characters; the Bot API takes at most 1024"},
  };
  for (const auto& c : cases) {
    try {
      client.send_photo(1, c.photo, c.caption);
      ADD_FAILURE() << c.label << ": sent";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), c.message) << c.label;
    }
  }
  // At the limits exactly, it goes.
  std::string largest = png(5000, 5000);
  largest.resize(kMaxPhotoBytes, '\0');
  client.send_photo(1, largest, std::string(1024, 'c'));
  client.send_photo(1, png(2000, 100), "");
  EXPECT_EQ(requests.load(), 2);
}

TEST(SendPhoto, WaitsOutARateLimitAndReportsOtherRefusals) {
  std::atomic<int> calls{0};
  LoopbackHttpServer server([&](const HttpRequest&) {
    int n = ++calls;
    if (n == 1) {
      return HttpReply{
          429,
          R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 0","parameters":{"retry_after":0}})"};
    }
    if (n == 2) return HttpReply{200, kOk};
    return HttpReply{
        413, R"({"ok":false,"error_code":413,"description":"Request Entity Too Large )" + kToken +
                 R"("})"};
  });
  BotApiClient client(kToken, options_for(server));
  client.send_photo(7, png(10, 10), "");
  EXPECT_EQ(calls.load(), 2);
  try {
    client.send_photo(7, png(10, 10), "");
    FAIL() << "no error";
  } catch (const ApiError& error) {
    EXPECT_EQ(error.error_code(), 413);
    EXPECT_EQ(std::string(error.what()), "Request Entity Too Large <token>");
  }
  // The same connection serves a JSON request after a form: the form's settings do not
  // linger on it.
  std::mutex mutex;
  std::vector<std::string> types, bodies;
  LoopbackHttpServer json_server([&](const HttpRequest& r) {
    std::lock_guard lock(mutex);
    types.push_back(r.header("Content-Type").substr(0, 19));
    bodies.push_back(r.body);
    return HttpReply{200, kOk};
  });
  BotApiClient both(kToken, options_for(json_server));
  both.send_photo(7, png(10, 10), "first");
  both.send_message(7, "then text");
  ASSERT_EQ(types.size(), 2u);
  EXPECT_EQ(types[0], "multipart/form-data");
  EXPECT_EQ(types[1], "application/json");
  EXPECT_EQ(bodies[1], R"({"chat_id":7,"text":"then text"})");
}

}  // namespace
