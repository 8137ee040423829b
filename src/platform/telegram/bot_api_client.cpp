#include "platform/telegram/bot_api_client.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "platform/telegram/errors.h"
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

// Reads the service's answer: the "result" of an "ok" answer, an ApiError otherwise.
nlohmann::json result_of(const HttpResponse& response) {
  nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
  if (answer.is_discarded() || !answer.is_object() || !answer.contains("ok")) {
    // Not a Bot API answer (a proxy's error page, for example): report the HTTP status.
    throw ApiError(static_cast<int>(response.status),
                   "HTTP " + std::to_string(response.status) + " without a Bot API answer");
  }
  if (answer["ok"] == true) return answer.contains("result") ? answer["result"] : nlohmann::json();

  int code = static_cast<int>(response.status);
  if (auto it = answer.find("error_code"); it != answer.end() && it->is_number_integer()) {
    code = it->get<int>();
  }
  std::string description = "HTTP " + std::to_string(response.status);
  if (auto it = answer.find("description"); it != answer.end() && it->is_string()) {
    description = it->get<std::string>();
  }
  std::optional<std::int64_t> retry_after;
  if (auto it = answer.find("parameters"); it != answer.end() && it->is_object()) {
    if (auto r = it->find("retry_after"); r != it->end() && r->is_number_integer()) {
      retry_after = r->get<std::int64_t>();
    }
  }
  throw ApiError(code, description, retry_after);
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
  for (auto pos = text.find(token_); pos != std::string::npos; pos = text.find(token_, pos)) {
    text.replace(pos, token_.size(), "<token>");
    pos += 7;
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
nlohmann::json BotApiClient::exchange(std::string_view method, Request&& request) {
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
      auto pause = std::chrono::seconds(std::max<std::int64_t>(*error.retry_after(), 0));
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

std::vector<Update> BotApiClient::get_updates(const GetUpdatesRequest& request,
                                              Interrupt* interrupt) {
  nlohmann::json params = {{"timeout", request.timeout_seconds}, {"limit", request.limit}};
  if (request.offset) params["offset"] = *request.offset;
  if (!request.allowed_updates.empty()) params["allowed_updates"] = request.allowed_updates;
  auto total = options_.timeouts.total + std::chrono::seconds(std::max(request.timeout_seconds, 0));
  return parse_updates(call("getUpdates", params, interrupt, total));
}

void BotApiClient::send_message(std::int64_t chat_id, std::string_view text, Interrupt* interrupt) {
  for (const std::string& piece : split_message(text)) {
    nlohmann::json params = {{"chat_id", chat_id}, {"text", piece}};
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
