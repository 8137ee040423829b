// HttpTransport: one libcurl connection used for JSON POST requests.
//
// Keeps its easy handle between requests so the connection to the service stays open
// (keep-alive). A request can be abandoned from another thread through an Interrupt.
// Thread-safety: one request at a time; a transport is used by one thread at a time
// (BotApiClient hands transports out from a pool).
#pragma once

#include <chrono>
#include <string>

#include "platform/telegram/interrupt.h"

namespace mx::telegram {

struct HttpResponse {
  long status = 0;   // HTTP status code
  std::string body;  // response body as received
};

struct HttpTimeouts {
  std::chrono::milliseconds connect{10000};  // establishing the connection
  std::chrono::milliseconds total{30000};    // the whole request
};

class HttpTransport {
 public:
  HttpTransport();
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // POSTs `json_body` to `url` with Content-Type application/json and returns the answer,
  // whatever its status. Throws NetworkError when no answer arrives (the error text is
  // libcurl's description and never contains the URL), Cancelled when `interrupt` is
  // cancelled before or during the request.
  HttpResponse post_json(const std::string& url, const std::string& json_body,
                         const HttpTimeouts& timeouts, Interrupt* interrupt);

 private:
  void release();

  void* easy_;     // CURL*
  void* multi_;    // CURLM*
  void* headers_;  // curl_slist*
};

// Initialises libcurl once per process (safe to call from several threads).
void ensure_curl_initialised();

}  // namespace mx::telegram
