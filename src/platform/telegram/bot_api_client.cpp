#include "platform/telegram/bot_api_client.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "platform/telegram/durations.h"
#include "platform/telegram/errors.h"
#include "platform/telegram/json_split.h"
#include "platform/telegram/text.h"

namespace mx::telegram {

namespace {

constexpr std::size_t kMaxIdleTransports = 4;

bool token_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
         c == '_' || c == '-';
}

std::string validated(std::string token) {
  if (token.empty()) throw std::invalid_argument("the bot token is empty");
  if (!std::all_of(token.begin(), token.end(), token_character)) {
    throw std::invalid_argument(
        "the bot token holds characters a token never has (only letters, digits, ':', '_', '-')");
  }
  return token;
}

std::string without_trailing_slashes(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// Reads the service's answer (parsed from a response of `status`; discarded when it is
// not JSON): the "result" of an "ok" answer, an ApiError otherwise.
nlohmann::json result_of(long status, nlohmann::json& answer) {
  if (answer.is_discarded() || !answer.is_object() || !answer.contains("ok")) {
    // Not a Bot API answer (a proxy's error page, for example): report the HTTP status.
    throw ApiError(static_cast<int>(status),
                   "HTTP " + std::to_string(status) + " without a Bot API answer");
  }
  if (answer["ok"] == true) {
    return answer.contains("result") ? std::move(answer["result"]) : nlohmann::json();
  }

  int code = static_cast<int>(status);
  if (auto it = answer.find("error_code"); it != answer.end() && it->is_number_integer()) {
    code = it->get<int>();
  }
  std::string description = "HTTP " + std::to_string(status);
  if (auto it = answer.find("description"); it != answer.end() && it->is_string()) {
    description = it->get<std::string>();
  }
  std::optional<std::int64_t> retry_after;
  if (auto it = answer.find("parameters"); it != answer.end() && it->is_object()) {
    if (auto r = it->find("retry_after"); r != it->end() && r->is_number_integer()) {
      // A number past the signed range would wrap to a negative wait: keep it huge.
      retry_after = r->is_number_unsigned() && r->get<std::uint64_t>() > INT64_MAX
                        ? INT64_MAX
                        : r->get<std::int64_t>();
    }
  }
  throw ApiError(code, description, retry_after);
}

nlohmann::json result_of(const HttpResponse& response) {
  nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
  return result_of(response.status, answer);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte that "%XX" at `pos` stands for, or -1 when there is no such escape there.
int percent_escape(std::string_view text, std::size_t pos) {
  if (pos + 3 > text.size() || text[pos] != '%') return -1;
  int high = hex_digit(text[pos + 1]);
  int low = hex_digit(text[pos + 2]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// Reads one character at `pos` as a URL may write it: itself, "%XX", or "%25XX" (encoded
// twice). Returns its length in `text` when it is `wanted`, else 0.
std::size_t encoded_char_at(std::string_view text, std::size_t pos, char wanted) {
  if (pos >= text.size()) return 0;
  if (text[pos] == wanted) return 1;
  if (wanted == ':' && text[pos] == '+') return 1;
  int byte = percent_escape(text, pos);
  if (byte == static_cast<unsigned char>(wanted)) return 3;
  if (byte == '%' && pos + 5 <= text.size()) {  // "%25" + "XX": "%XX" encoded once more
    int high = hex_digit(text[pos + 3]);
    int low = hex_digit(text[pos + 4]);
    if (high >= 0 && low >= 0 && high * 16 + low == static_cast<unsigned char>(wanted)) return 5;
  }
  return 0;
}

// Length of `secret` written at `pos` in any of those forms, or 0.
std::size_t encoded_match_at(std::string_view text, std::size_t pos, std::string_view secret) {
  std::size_t at = pos;
  for (char wanted : secret) {
    std::size_t length = encoded_char_at(text, at, wanted);
    if (length == 0) return 0;
    at += length;
  }
  return at - pos;
}

// Replaces every match of `secret` (in any form) in `text` by "<token>".
std::string replace_encoded(std::string_view text, std::string_view secret) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t length = encoded_match_at(text, pos, secret);
    if (length > 0) {
      out.append("<token>");
      pos += length;
    } else {
      out.push_back(text[pos++]);
    }
  }
  return out;
}

struct ImageKind {
  std::string_view extension;
  std::string_view content_type;
};

// What the photo's first bytes say it is; the service itself decides what it accepts.
std::optional<ImageKind> image_kind(std::string_view photo) {
  if (photo.starts_with("\x89PNG\r\n\x1a\n")) return ImageKind{".png", "image/png"};
  if (photo.starts_with("\xff\xd8\xff")) return ImageKind{".jpg", "image/jpeg"};
  return std::nullopt;
}

std::uint32_t big_endian_32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The service refuses photos whose width and height add up to more than 10000, or whose
// sides differ by more than 20 times. A PNG says its size in its header, so those are
// refused here, before the upload.
void check_png_dimensions(std::string_view photo) {
  constexpr std::size_t kHeaderEnd = 24;  // signature, IHDR length and type, width, height
  if (photo.size() < kHeaderEnd || photo.substr(12, 4) != "IHDR") return;
  std::uint64_t width = big_endian_32(photo, 16), height = big_endian_32(photo, 20);
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (width == 0 || height == 0) throw std::invalid_argument("the photo is " + size + " pixels");
  if (width + height > 10000) {
    throw std::invalid_argument("the photo is " + size +
                                " pixels; the Bot API takes width + height of at most 10000");
  }
  if (std::max(width, height) > 20 * std::min(width, height)) {
    throw std::invalid_argument("the photo is " + size +
                                " pixels; the Bot API takes a side ratio of at most 20");
  }
}

}  // namespace

BotApiClient::BotApiClient(std::string token, ClientOptions options)
    : token_(validated(std::move(token))), options_([&] {
        options.base_url = without_trailing_slashes(std::move(options.base_url));
        return std::move(options);
      }()) {
  ensure_curl_initialised();
}

BotApiClient::~BotApiClient() = default;

std::string BotApiClient::method_url(std::string_view method) const {
  std::string url;
  url.reserve(options_.base_url.size() + token_.size() + method.size() + 5);
  url.append(options_.base_url).append("/bot").append(token_).append("/").append(method);
  return url;
}

std::string BotApiClient::redact(std::string text) const {
  // Error paths only: a plain scan is fast enough and easy to trust.
  text = replace_encoded(text, token_);
  // The part after the ":" is what makes the token secret; a text may carry it alone.
  // Too short a part would blank out ordinary words, so it is left to the whole match.
  constexpr std::size_t kShortestSecret = 8;
  auto colon = token_.find(':');
  if (colon != std::string::npos && token_.size() - colon - 1 >= kShortestSecret) {
    text = replace_encoded(text, std::string_view(token_).substr(colon + 1));
  }
  return text;
}

std::unique_ptr<HttpTransport> BotApiClient::borrow_transport() {
  {
    std::lock_guard lock(pool_mutex_);
    if (!idle_transports_.empty()) {
      auto transport = std::move(idle_transports_.back());
      idle_transports_.pop_back();
      return transport;
    }
  }
  return std::make_unique<HttpTransport>();
}

void BotApiClient::return_transport(std::unique_ptr<HttpTransport> transport) {
  std::lock_guard lock(pool_mutex_);
  if (idle_transports_.size() < kMaxIdleTransports)
    idle_transports_.push_back(std::move(transport));
}

template <class Request>
HttpResponse BotApiClient::transfer(std::string_view method, Request&& request) {
  auto transport = borrow_transport();
  HttpResponse response;
  try {
    response = request(*transport);
  } catch (const Cancelled&) {
    throw;  // the transport's connection state is unknown: let it go
  } catch (const NetworkError& error) {
    throw NetworkError(redact(std::string(method) + ": " + error.what()));
  }
  return_transport(std::move(transport));
  return response;
}

template <class Request>
nlohmann::json BotApiClient::exchange(std::string_view method, Request&& request) {
  HttpResponse response = transfer(method, std::forward<Request>(request));
  try {
    return result_of(response);
  } catch (const ApiError& error) {
    throw ApiError(error.error_code(), redact(error.what()), error.retry_after());
  }
}

nlohmann::json BotApiClient::call(std::string_view method, const nlohmann::json& params,
                                  Interrupt* interrupt,
                                  std::optional<std::chrono::milliseconds> total_timeout) {
  HttpTimeouts timeouts = options_.timeouts;
  if (total_timeout) timeouts.total = *total_timeout;
  std::string body = params.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return exchange(method, [&](HttpTransport& transport) {
    return transport.post_json(method_url(method), body, timeouts, interrupt);
  });
}

template <class Send>
void BotApiClient::with_rate_limit_waits(Send&& send, Interrupt* interrupt) {
  for (int attempt = 0;; ++attempt) {
    try {
      send();
      return;
    } catch (const ApiError& error) {
      bool wait_out = error.error_code() == 429 && error.retry_after() &&
                      attempt < options_.max_rate_limit_retries &&
                      *error.retry_after() <= options_.max_retry_after.count();
      if (!wait_out) throw;
      auto pause = clamped_seconds(*error.retry_after(), options_.max_retry_after);
      if (interrupt != nullptr) {
        if (!interrupt->wait_for(pause)) throw Cancelled();
      } else {
        std::this_thread::sleep_for(pause);
      }
    }
  }
}

BotUser BotApiClient::get_me(Interrupt* interrupt) {
  nlohmann::json me = call("getMe", nlohmann::json::object(), interrupt);
  BotUser user;
  if (me.is_object()) {
    if (auto it = me.find("id"); it != me.end() && it->is_number_integer())
      user.id = it->get<std::int64_t>();
    if (auto it = me.find("username"); it != me.end() && it->is_string())
      user.username = it->get<std::string>();
  }
  return user;
}

UpdateBatch BotApiClient::get_updates(const GetUpdatesRequest& request, Interrupt* interrupt) {
  nlohmann::json params = {{"timeout", request.timeout_seconds}, {"limit", request.limit}};
  if (request.offset) params["offset"] = *request.offset;
  if (!request.allowed_updates.empty()) params["allowed_updates"] = request.allowed_updates;
  HttpTimeouts timeouts = options_.timeouts;
  timeouts.total = request.request_timeout.value_or(
      options_.timeouts.total + std::chrono::seconds(std::max(request.timeout_seconds, 0)));
  std::string body = params.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  HttpResponse response = transfer("getUpdates", [&](HttpTransport& transport) {
    return transport.post_json(method_url("getUpdates"), body, timeouts, interrupt);
  });
  try {
    nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
    if (!answer.is_discarded()) return parse_updates(result_of(response.status, answer));
    // One entry the parser refuses must not hide the others: read the answer without its
    // entries (an error answer is thrown as usual), then each entry on its own.
    if (auto split = split_top_level_array(response.body, "result")) {
      result_of(HttpResponse{response.status, split->without_elements});
      return parse_update_texts(split->elements);
    }
    result_of(response);  // not a Bot API answer: throws
    return {};
  } catch (const ApiError& error) {
    throw ApiError(error.error_code(), redact(error.what()), error.retry_after());
  }
}

void BotApiClient::send_message(std::int64_t chat_id, std::string_view text, Interrupt* interrupt,
                                bool silent) {
  for (const std::string& piece : split_message(text)) {
    nlohmann::json params = {{"chat_id", chat_id}, {"text", piece}};
    if (silent) params["disable_notification"] = true;
    with_rate_limit_waits([&] { call("sendMessage", params, interrupt); }, interrupt);
  }
}

void BotApiClient::send_photo(std::int64_t chat_id, std::string_view photo,
                              std::string_view caption, Interrupt* interrupt,
                              std::string_view filename) {
  if (photo.empty()) throw std::invalid_argument("the photo is empty");
  if (photo.size() > kMaxPhotoBytes) {
    throw std::invalid_argument("the photo is " + std::to_string(photo.size()) +
                                " bytes; the Bot API takes photos of at most " +
                                std::to_string(kMaxPhotoBytes) + " bytes (10 MB)");
  }
  if (std::size_t units = utf16_length(caption); units > kMaxCaptionUnits) {
    throw std::invalid_argument("the caption is " + std::to_string(units) +
                                " characters; the Bot API takes at most " +
                                std::to_string(kMaxCaptionUnits));
  }
  auto kind = image_kind(photo);
  if (kind && kind->content_type == "image/png") check_png_dimensions(photo);
  std::string name =
      filename.empty() ? "photo" + std::string(kind ? kind->extension : "") : std::string(filename);
  std::vector<FormField> fields = {
      {"chat_id", std::to_string(chat_id), "", ""},
      {"photo", std::string(photo), name, std::string(kind ? kind->content_type : "")},
  };
  if (!caption.empty()) fields.push_back({"caption", std::string(caption), "", ""});
  auto send = [&] {
    exchange("sendPhoto", [&](HttpTransport& transport) {
      return transport.post_form(method_url("sendPhoto"), fields, options_.timeouts, interrupt);
    });
  };
  with_rate_limit_waits(send, interrupt);
}

}  // namespace mx::telegram
