#include "platform/cqgcel/script.h"

#include <pthread.h>

#include <cmath>
#include <stdexcept>

#include "platform/com/com_error.h"

namespace mx::cqgcel {

Answer Answer::FromMode(const std::string& mode, double delay_seconds, int32_t code,
                        const std::string& description) {
  if (delay_seconds < 0 || !std::isfinite(delay_seconds)) {
    throw std::invalid_argument("delay must be a finite number >= 0");
  }
  if (mode == "raise" && delay_seconds != 0) {
    throw std::invalid_argument("a raised failure has no delay");
  }
  return FromMode(mode, std::chrono::microseconds(static_cast<int64_t>(delay_seconds * 1e6)), code,
                  description);
}

Answer Answer::FromMode(const std::string& mode, std::chrono::microseconds delay, int32_t code,
                        const std::string& description) {
  if (delay.count() < 0) throw std::invalid_argument("delay must be a finite number >= 0");
  if (mode == "succeed") return Succeed(delay);
  if (mode == "fail") return Fail(code, description, delay);
  if (mode == "fail_without_error") {
    Answer a = FailWithoutError(description);
    a.delay = delay;
    return a;
  }
  if (mode == "hold") return Hold();
  if (mode == "raise") {
    if (delay.count() != 0) throw std::invalid_argument("a raised failure has no delay");
    return Raise(code, description);
  }
  throw std::invalid_argument(
      "mode must be 'succeed', 'fail', 'fail_without_error', 'hold' or 'raise', not '" + mode +
      "'");
}

void Script::SetDefault(std::string request, Answer answer) {
  std::lock_guard lk(mu_);
  defaults_[std::move(request)] = std::move(answer);
}

void Script::Set(std::string request, Answer answer) {
  std::lock_guard lk(mu_);
  answers_[std::move(request)] = std::move(answer);
  CountRaises();
}

void Script::CountRaises() {
  int n = 0;
  for (const auto& [name, answer] : answers_) n += answer.mode == Answer::Mode::kRaise;
  raises_.store(n, std::memory_order_release);
}

void Script::RaiseIfScripted(std::string_view request) const {
  if (raises_.load(std::memory_order_acquire) == 0) return;
  Answer answer = For(request);
  if (answer.mode != Answer::Mode::kRaise) return;
  throw com::ComError(
      answer.code != 0 ? answer.code : com::hresult::kFail,
      answer.description.empty() ? std::string(request) + " failed" : answer.description);
}

Answer Script::For(std::string_view request) const {
  std::lock_guard lk(mu_);
  if (auto it = answers_.find(request); it != answers_.end()) return it->second;
  if (auto it = defaults_.find(request); it != defaults_.end()) return it->second;
  return Answer::Succeed();
}

void Script::Reset() {
  std::lock_guard lk(mu_);
  answers_.clear();
  CountRaises();
}

void Journal::Add(std::string_view object, std::string_view member, com::CallKind kind,
                  com::Args args) {
  std::lock_guard lk(mu_);
  if (!enabled_) return;
  entries_.push_back(JournalEntry{std::string(object), std::string(member), kind,
                                  std::vector<com::Variant>(args.begin(), args.end()),
                                  static_cast<uint64_t>(pthread_self())});
}

std::vector<JournalEntry> Journal::Entries() const {
  std::lock_guard lk(mu_);
  return entries_;
}

void Journal::Clear() {
  std::lock_guard lk(mu_);
  entries_.clear();
}

void Journal::SetEnabled(bool enabled) {
  std::lock_guard lk(mu_);
  enabled_ = enabled;
}

}  // namespace mx::cqgcel
