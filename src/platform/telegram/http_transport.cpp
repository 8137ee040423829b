#include "platform/telegram/http_transport.h"

#include <curl/curl.h>

#include <mutex>

#include "platform/telegram/errors.h"

namespace mx::telegram {

namespace {

size_t append_body(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// Detaches the easy handle from the multi handle and the interrupt on every way out.
class TransferGuard {
 public:
  TransferGuard(CURLM* m, CURL* e, Interrupt* interrupt) : m_(m), e_(e), interrupt_(interrupt) {}
  ~TransferGuard() {
    if (interrupt_ != nullptr) interrupt_->detach();
    curl_multi_remove_handle(m_, e_);
  }

 private:
  CURLM* m_;
  CURL* e_;
  Interrupt* interrupt_;
};

}  // namespace

void ensure_curl_initialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void CurlEasyCleanup::operator()(void* easy) const noexcept { curl_easy_cleanup(easy); }
void CurlMultiCleanup::operator()(void* multi) const noexcept { curl_multi_cleanup(multi); }
void CurlListFree::operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }

namespace {

// Appends `line` to `list`; a failed append leaves `list` as it was (libcurl keeps it).
bool append(CurlList& list, const char* line) {
  curl_slist* longer = curl_slist_append(list.get(), line);
  if (longer == nullptr) return false;
  (void)list.release();
  list.reset(longer);
  return true;
}

}  // namespace

HttpTransport::HttpTransport() {
  ensure_curl_initialised();
  multi_.reset(curl_multi_init());
  easy_.reset(curl_easy_init());
  bool built = append(headers_, "Content-Type: application/json") &&
               append(headers_, "Expect:") &&  // no 100-continue round trip
               append(form_headers_, "Expect:");
  if (!easy_ || !multi_ || !built) {
    throw NetworkError("libcurl could not create a connection handle");
  }
}

HttpResponse HttpTransport::post_json(const std::string& url, const std::string& json_body,
                                      const HttpTimeouts& timeouts, Interrupt* interrupt) {
  CURL* e = easy_.get();
  // curl_easy_reset keeps the live connection, so keep-alive survives between requests.
  curl_easy_reset(e);
  curl_easy_setopt(e, CURLOPT_POST, 1L);
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, json_body.data());
  curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, static_cast<long>(json_body.size()));
  return perform(url, timeouts, interrupt, headers_.get());
}

HttpResponse HttpTransport::post_form(const std::string& url, const std::vector<FormField>& fields,
                                      const HttpTimeouts& timeouts, Interrupt* interrupt) {
  CURL* e = easy_.get();
  curl_easy_reset(e);
  // The body lives until the transfer is over; the handle forgets it before it is freed.
  struct MimeGuard {
    CURL* e;
    curl_mime* mime;
    ~MimeGuard() {
      curl_easy_setopt(e, CURLOPT_MIMEPOST, static_cast<curl_mime*>(nullptr));
      curl_mime_free(mime);
    }
  } guard{e, curl_mime_init(e)};
  if (guard.mime == nullptr) throw NetworkError("libcurl could not build the form");
  for (const FormField& field : fields) {
    curl_mimepart* part = curl_mime_addpart(guard.mime);
    bool built = part != nullptr && curl_mime_name(part, field.name.c_str()) == CURLE_OK &&
                 curl_mime_data(part, field.data.data(), field.data.size()) == CURLE_OK;
    if (built && !field.filename.empty())
      built = curl_mime_filename(part, field.filename.c_str()) == CURLE_OK;
    if (built && !field.content_type.empty())
      built = curl_mime_type(part, field.content_type.c_str()) == CURLE_OK;
    if (!built) throw NetworkError("libcurl could not build the form field " + field.name);
  }
  curl_easy_setopt(e, CURLOPT_MIMEPOST, guard.mime);
  return perform(url, timeouts, interrupt, form_headers_.get());
}

HttpResponse HttpTransport::perform(const std::string& url, const HttpTimeouts& timeouts,
                                    Interrupt* interrupt, curl_slist* headers) {
  CURL* e = easy_.get();
  CURLM* m = multi_.get();
  HttpResponse response;
  char error_text[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total.count()));
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);

  if (interrupt != nullptr && !interrupt->attach(m)) throw Cancelled();
  if (curl_multi_add_handle(m, e) != CURLM_OK) {
    if (interrupt != nullptr) interrupt->detach();
    throw NetworkError("libcurl could not start the request");
  }
  TransferGuard guard(m, e, interrupt);

  for (;;) {
    int still_running = 0;
    CURLMcode mc = curl_multi_perform(m, &still_running);
    if (mc != CURLM_OK) throw NetworkError(curl_multi_strerror(mc));
    if (still_running == 0) break;
    if (interrupt != nullptr && interrupt->cancelled()) throw Cancelled();
    // Wakes on socket activity, on curl_multi_wakeup (Interrupt::cancel) or after 1 s.
    mc = curl_multi_poll(m, nullptr, 0, 1000, nullptr);
    if (mc != CURLM_OK) throw NetworkError(curl_multi_strerror(mc));
    if (interrupt != nullptr && interrupt->cancelled()) throw Cancelled();
  }

  CURLcode result = CURLE_OK;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(m, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == e) result = message->data.result;
  }
  if (result != CURLE_OK) {
    std::string text = curl_easy_strerror(result);
    if (error_text[0] != '\0') text += std::string(" (") + error_text + ")";
    throw NetworkError(text);
  }
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

}  // namespace mx::telegram
