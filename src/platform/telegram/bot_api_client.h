// BotApiClient: a client of the Telegram Bot API (the role of the "ExtBot" of Telegram
// libraries): calls a method by name with JSON parameters and reads the answer.
//
// A method's URL is base_url + "/bot" + token + "/" + method. The token is part of every
// URL, so it is kept private here: no error, log line or text built by this class carries
// it (every error text passes through redact()).
//
// Thread-safety: every member may be called from several threads at once; each call
// borrows a connection of its own from a small pool (kept open between calls).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/telegram/http_transport.h"
#include "platform/telegram/interrupt.h"
#include "platform/telegram/update.h"

namespace mx::telegram {

inline constexpr std::string_view kDefaultBaseUrl = "https://api.telegram.org";

// The service's limits on an uploaded photo: its size (10 MB, counted here as 10 MiB),
// and its caption (1024 characters, counted in UTF-16 units as the service counts).
inline constexpr std::size_t kMaxPhotoBytes = 10 * 1024 * 1024;
inline constexpr std::size_t kMaxCaptionUnits = 1024;

struct ClientOptions {
  std::string base_url{kDefaultBaseUrl};  // without a trailing "/"
  HttpTimeouts timeouts{};                // for every method but the long poll's own wait
  int max_rate_limit_retries = 3;         // sendMessage and sendPhoto wait out 429 this many times
  std::chrono::seconds max_retry_after{60};  // a longer 429 wait is raised, not waited
};

struct GetUpdatesRequest {
  std::optional<std::int64_t> offset;  // first update wanted; negative: from the end
  int timeout_seconds = 0;             // long-poll time; 0 answers at once
  int limit = 100;
  std::vector<std::string> allowed_updates;  // empty: the service's current setting
  // Time-out of the whole request; nothing: the usual request time-out plus the long poll.
  std::optional<std::chrono::milliseconds> request_timeout;
};

struct BotUser {
  std::int64_t id = 0;
  std::string username;
};

class BotApiClient {
 public:
  // Throws std::invalid_argument when the token is empty or holds a character a token
  // never has (anything but letters, digits, ':', '_' and '-'); the text does not quote it.
  explicit BotApiClient(std::string token, ClientOptions options = {});
  virtual ~BotApiClient();
  BotApiClient(const BotApiClient&) = delete;
  BotApiClient& operator=(const BotApiClient&) = delete;

  // Calls `method` and returns its "result". Throws ApiError (the service's description,
  // code and retry_after), NetworkError, or Cancelled when `interrupt` is cancelled.
  nlohmann::json call(std::string_view method, const nlohmann::json& params,
                      Interrupt* interrupt = nullptr,
                      std::optional<std::chrono::milliseconds> total_timeout = std::nullopt);

  BotUser get_me(Interrupt* interrupt = nullptr);

  // Long-polls when timeout_seconds > 0; the request's own time-out is that plus the
  // usual request time-out. An entry of the answer that cannot be used (see UpdateBatch)
  // is listed as skipped and does not hide the others.
  UpdateBatch get_updates(const GetUpdatesRequest& request, Interrupt* interrupt = nullptr);

  // Sends `text` to `chat_id`. A text over the service's limit goes as several messages
  // split at line ends (see split_message), in order. A 429 answer is waited out (up to
  // max_rate_limit_retries times, each wait at most max_retry_after) so a long text
  // arrives whole; any other failure is thrown, and the pieces not yet sent are not sent.
  // `silent` sends without the notification sound (disable_notification).
  void send_message(std::int64_t chat_id, std::string_view text, Interrupt* interrupt = nullptr,
                    bool silent = false);

  // Uploads `photo` (the bytes of an image file) to `chat_id` with `caption` as one
  // multipart/form-data sendPhoto; `filename` names the upload (empty: "photo" with the
  // extension of a PNG or JPEG). Throws std::invalid_argument before anything is sent
  // when the photo is empty or over kMaxPhotoBytes, a PNG's size is beyond what the
  // service takes, or the caption is over kMaxCaptionUnits. A 429 is waited out as by
  // send_message; any other failure is thrown as by call().
  void send_photo(std::int64_t chat_id, std::string_view photo, std::string_view caption,
                  Interrupt* interrupt = nullptr, std::string_view filename = {});

  // `text` with the token replaced by "<token>" wherever it appears in any form a URL
  // can give it: as is, or with any of its characters percent-encoded (%3A or %3a, also
  // encoded twice: %253A), or with "+" for its ":". The secret after the ":" is replaced
  // in the same forms when it appears alone.
  std::string redact(std::string text) const;

  const std::string& base_url() const { return options_.base_url; }

 private:
  std::string method_url(std::string_view method) const;  // holds the token: never shown
  // Runs `request` (one HTTP exchange) and returns the answer as received; a network
  // failure is thrown with its text redacted.
  template <class Request>
  HttpResponse transfer(std::string_view method, Request&& request);
  // Runs `request` (one HTTP exchange) and reads the service's answer, with every error
  // text redacted.
  template <class Request>
  nlohmann::json exchange(std::string_view method, Request&& request);
  // Runs `send` again after each 429 the service asks to wait out (see send_message).
  template <class Send>
  void with_rate_limit_waits(Send&& send, Interrupt* interrupt);
  std::unique_ptr<HttpTransport> borrow_transport();
  void return_transport(std::unique_ptr<HttpTransport> transport);

  const std::string token_;
  const ClientOptions options_;
  std::mutex pool_mutex_;
  std::vector<std::unique_ptr<HttpTransport>> idle_transports_;  // guarded by pool_mutex_
};

}  // namespace mx::telegram
