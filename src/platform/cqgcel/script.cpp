#include "platform/cqgcel/script.h"

#include <pthread.h>

#include "platform/com/com_error.h"

namespace mx::cqgcel {

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
