// Errors of the Bot API client.
//
// Every text carried by these errors has had the bot token removed before the error is
// built (see BotApiClient::redact), so an error can be printed or shown to Python as is.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace mx::telegram {

// Base of every failure of the client.
class TelegramError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request did not get an answer: no connection, a time-out, a broken transfer.
class NetworkError : public TelegramError {
 public:
  using TelegramError::TelegramError;
};

// The service answered with "ok": false (or with a body that is not a Bot API answer).
// what() is the service's description, e.g. "Bad Request: chat not found".
class ApiError : public TelegramError {
 public:
  ApiError(int error_code, const std::string& description,
           std::optional<std::int64_t> retry_after = std::nullopt)
      : TelegramError(description), error_code_(error_code), retry_after_(retry_after) {}

  int error_code() const { return error_code_; }  // HTTP-like code: 400, 401, 409, 429...
  std::optional<std::int64_t> retry_after() const { return retry_after_; }  // seconds, with 429

 private:
  int error_code_;
  std::optional<std::int64_t> retry_after_;
};

// The request was abandoned because its Interrupt was cancelled (the owner is stopping).
class Cancelled : public TelegramError {
 public:
  Cancelled() : TelegramError("request cancelled") {}
};

}  // namespace mx::telegram
