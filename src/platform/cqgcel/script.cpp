#include "platform/cqgcel/script.h"

#include <pthread.h>

namespace mx::cqgcel {

void Script::SetDefault(std::string request, Answer answer) {
  std::lock_guard lk(mu_);
  defaults_[std::move(request)] = std::move(answer);
}

void Script::Set(std::string request, Answer answer) {
  std::lock_guard lk(mu_);
  answers_[std::move(request)] = std::move(answer);
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
