#include "platform/com/events.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "platform/com/backend.h"
#include "platform/com/com_error.h"
#include "platform/com/marshal.h"

namespace mx::com {
namespace {

std::mutex reporter_mu;
std::function<void(std::string_view, std::string_view)>& Reporter() {
  static std::function<void(std::string_view, std::string_view)> reporter;
  return reporter;
}

}  // namespace

void ReportSinkError(std::string_view event, std::string_view what) {
  std::function<void(std::string_view, std::string_view)> r;
  {
    std::lock_guard lk(reporter_mu);
    r = Reporter();
  }
  if (r) {
    r(event, what);
  } else {
    std::fprintf(stderr, "event sink failed in %.*s: %.*s\n", static_cast<int>(event.size()),
                 event.data(), static_cast<int>(what.size()), what.data());
  }
}

namespace {

std::vector<EventInterface::Member> Numbered(std::vector<std::string> names) {
  std::vector<EventInterface::Member> members;
  members.reserve(names.size());
  for (auto& n : names) members.emplace_back(std::move(n), static_cast<int>(members.size() + 1));
  return members;
}

}  // namespace

EventInterface::EventInterface(std::vector<std::string> names)
    : EventInterface(WithIds{}, Numbered(std::move(names))) {}

EventInterface::EventInterface(WithIds, std::vector<Member> members)
    : members_(std::move(members)) {
  if (members_.empty()) return;
  int64_t lowest = members_[0].second, highest = lowest;
  for (const auto& [name, id] : members_) {
    lowest = std::min<int64_t>(lowest, id);
    highest = std::max<int64_t>(highest, id);
  }
  const bool dense = highest - lowest < 65536;
  if (dense) {
    lowest_id_ = static_cast<int>(lowest);
    dense_.assign(static_cast<size_t>(highest - lowest + 1), -1);
  }
  for (size_t i = 0; i < members_.size(); ++i) {
    ids_.emplace(members_[i].first, members_[i].second);
    if (dense) {
      dense_[static_cast<size_t>(members_[i].second - lowest_id_)] = static_cast<int32_t>(i);
    } else {
      sparse_.emplace(members_[i].second, i);
    }
  }
}

const std::string& EventInterface::Name(int dispid) const {
  if (!dense_.empty()) {
    const int64_t slot = int64_t{dispid} - lowest_id_;
    if (slot >= 0 && slot < static_cast<int64_t>(dense_.size()) && dense_[slot] >= 0) {
      return members_[static_cast<size_t>(dense_[slot])].first;
    }
  } else if (auto it = sparse_.find(dispid); it != sparse_.end()) {
    return members_[it->second].first;
  }
  throw std::out_of_range("no event with id " + std::to_string(dispid));
}

int EventInterface::DispId(std::string_view name) const {
  auto it = ids_.find(name);
  return it == ids_.end() ? 0 : it->second;
}

uint32_t EventSource::Advise(std::shared_ptr<IEventSink> sink) {
  std::lock_guard lk(mu_);
  auto list = std::make_shared<List>(*sinks_);
  uint32_t cookie = next_cookie_++;
  list->push_back(Entry{cookie, std::move(sink)});
  sinks_ = std::move(list);
  generation_.fetch_add(1, std::memory_order_release);
  return cookie;
}

void EventSource::Unadvise(uint32_t cookie) {
  std::lock_guard lk(mu_);
  auto list = std::make_shared<List>(*sinks_);
  std::erase_if(*list, [cookie](const Entry& e) { return e.cookie == cookie; });
  sinks_ = std::move(list);
  generation_.fetch_add(1, std::memory_order_release);
}

size_t EventSource::SinkCount() const {
  std::lock_guard lk(mu_);
  return sinks_->size();
}

const EventSource::List& EventSource::SinksForFiring(std::shared_ptr<const List>& own_copy,
                                                     std::shared_ptr<const List>& retired) {
  const std::thread::id self = std::this_thread::get_id();
  std::thread::id owner = firing_thread_.load(std::memory_order_relaxed);
  if (owner == self && firing_generation_ == generation_.load(std::memory_order_acquire)) {
    return *firing_copy_;
  }
  std::lock_guard lk(mu_);
  if (owner == std::thread::id{} &&
      firing_thread_.compare_exchange_strong(owner, self, std::memory_order_relaxed)) {
    owner = self;
  }
  // Another thread, or an outer Fire of this thread still walking the firing copy.
  if (owner != self || firing_depth_ > 0) {
    own_copy = sinks_;
    return *own_copy;
  }
  retired = std::move(firing_copy_);
  firing_copy_ = sinks_;
  firing_generation_ = generation_.load(std::memory_order_relaxed);
  return *firing_copy_;
}

void EventSource::Fire(int dispid, Args args) {
  std::shared_ptr<const List> own_copy, retired;
  const List& sinks = SinksForFiring(own_copy, retired);
  retired.reset();  // a sink dropped since the last event is released here, outside mu_
  const bool on_firing_thread = !own_copy;
  if (on_firing_thread) ++firing_depth_;
  struct DepthGuard {
    int* depth;
    ~DepthGuard() {
      if (depth) --*depth;
    }
  } guard{on_firing_thread ? &firing_depth_ : nullptr};
  const std::string& name = iface_.Name(dispid);
  for (const Entry& e : sinks) {
    try {
      e.sink->OnEvent(dispid, name, args);
    } catch (const std::exception& ex) {
      ReportSinkError(name, ex.what());
    }
  }
}

void EventSource::Rehome() {
  std::shared_ptr<const List> retired;
  {
    std::lock_guard lk(mu_);
    firing_thread_.store(std::thread::id{}, std::memory_order_relaxed);
    retired = std::move(firing_copy_);
    firing_generation_ = ~uint64_t{0};
    firing_depth_ = 0;
  }
}

void EventSource::Fire(std::string_view name, Args args) {
  int id = iface_.DispId(name);
  if (id == 0) throw ComError(hresult::kUnknownName, "Unknown event '" + std::string(name) + "'");
  Fire(id, args);
}

Connection& Connection::operator=(Connection&& o) noexcept {
  if (this != &o) {
    Disconnect();
    source_ = std::move(o.source_);
    cookie_ = o.cookie_;
    o.cookie_ = 0;
    disconnect_ = std::move(o.disconnect_);
    o.disconnect_ = nullptr;
  }
  return *this;
}

void Connection::Disconnect() {
  if (disconnect_) {
    auto disconnect = std::move(disconnect_);
    disconnect_ = nullptr;
    disconnect();
  }
  if (source_ && cookie_ != 0) {
    if (auto* events = source_->Events()) events->Unadvise(cookie_);
  }
  source_.reset();
  cookie_ = 0;
}

Connection ConnectEvents(const DispatchPtr& source, std::shared_ptr<IEventSink> sink) {
  DispatchPtr object = Unwrap(source);
  if (!object) throw ComError(hresult::kNoConnection, "The object raises no events.");
  EventSource* events = object->Events();
  if (events == nullptr) return backend::ConnectForeignEvents(object, std::move(sink));
  uint32_t cookie = events->Advise(std::move(sink));
  return Connection(object, cookie);
}

void SetSinkErrorReporter(std::function<void(std::string_view, std::string_view)> reporter) {
  std::lock_guard lk(reporter_mu);
  Reporter() = std::move(reporter);
}

}  // namespace mx::com
