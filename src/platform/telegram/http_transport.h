// HttpTransport: one libcurl connection used for JSON and multipart/form-data POST requests.
//
// Keeps its easy handle between requests so the connection to the service stays open
// (keep-alive). A request can be abandoned from another thread through an Interrupt.
// Thread-safety: one request at a time; a transport is used by one thread at a time
// (BotApiClient hands transports out from a pool).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/telegram/interrupt.h"

struct curl_slist;

namespace mx::telegram {

// Owners of libcurl's handles (CURL and CURLM are void in libcurl's own headers).
struct CurlEasyCleanup {
  void operator()(void* easy) const noexcept;
};
struct CurlMultiCleanup {
  void operator()(void* multi) const noexcept;
};
struct CurlListFree {
  void operator()(curl_slist* list) const noexcept;
};
using CurlEasyHandle = std::unique_ptr<void, CurlEasyCleanup>;
using CurlMultiHandle = std::unique_ptr<void, CurlMultiCleanup>;
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;

struct HttpResponse {
  long status = 0;   // HTTP status code
  std::string body;  // response body as received
};

// One field of a multipart/form-data body. A field with a file name is sent as a file
// upload (Content-Disposition filename, and content_type when given).
struct FormField {
  std::string name;
  std::string data;
  std::string filename;      // empty: a plain field
  std::string content_type;  // empty: libcurl's default for the field
};

struct HttpTimeouts {
  std::chrono::milliseconds connect{10000};  // establishing the connection
  std::chrono::milliseconds total{30000};    // the whole request
};

class HttpTransport {
 public:
  HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // POSTs `json_body` to `url` with Content-Type application/json and returns the answer,
  // whatever its status. Throws NetworkError when no answer arrives (the error text is
  // libcurl's description and never contains the URL), Cancelled when `interrupt` is
  // cancelled before or during the request.
  HttpResponse post_json(const std::string& url, const std::string& json_body,
                         const HttpTimeouts& timeouts, Interrupt* interrupt);

  // POSTs `fields` as multipart/form-data (libcurl writes the boundary); answers and
  // failures as post_json.
  HttpResponse post_form(const std::string& url, const std::vector<FormField>& fields,
                         const HttpTimeouts& timeouts, Interrupt* interrupt);

 private:
  // Sets the options every request shares, runs the transfer and reads the answer.
  HttpResponse perform(const std::string& url, const HttpTimeouts& timeouts, Interrupt* interrupt,
                       curl_slist* headers);

  // Declared before easy_: the easy handle (never left attached to it) is freed first.
  CurlMultiHandle multi_;
  CurlEasyHandle easy_;
  CurlList headers_;       // JSON content type, no 100-continue
  CurlList form_headers_;  // no 100-continue (libcurl sets the multipart type)
};

// Initialises libcurl once per process (safe to call from several threads).
void ensure_curl_initialised();

}  // namespace mx::telegram
