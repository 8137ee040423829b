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

nlohmann::json BotApiClient::call(std::string_view method, const nlohmann::json& params,
                                  Interrupt* interrupt,
                                  std::optional<std::chrono::milliseconds> total_timeout) {
  HttpTimeouts timeouts = options_.timeouts;
  if (total_timeout) timeouts.total = *total_timeout;
  auto transport = borrow_transport();
  HttpResponse response;
  try {
    response = transport->post_json(
        method_url(method), params.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
        timeouts, interrupt);
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
    for (int attempt = 0;; ++attempt) {
      try {
        call("sendMessage", params, interrupt);
        break;
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
}

}  // namespace mx::telegram
