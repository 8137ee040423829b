// Outgoing events: an object's event interface, the sinks connected to it, and firing.
//
// An EventInterface names an object's events and gives each its dispatch id: the 1-based
// position in the list, or the id its type library declares. A sink (IEventSink) is connected to an
// object that has an EventSource (IDispatch::Events) and then receives every event the object
// fires, by id and name, with the event's arguments in order. Sinks are called in the order they
// were connected, one event at a time. An error a sink throws is reported through the sink error
// reporter (stderr by default) and does not stop delivery to the other sinks; sinks that need their
// own reporting catch at their boundary.
//
// Thread-safety: Advise, Unadvise and Fire may be called from any thread, but objects
// fire on their apartment's thread (the simulator posts there first), so sinks run there.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/object.h"

namespace mx::com {

class EventInterface {
 public:
  using Member = std::pair<std::string, int>;  // name, dispatch id
  // Dispatch ids 1, 2, ... in list order.
  explicit EventInterface(std::vector<std::string> names);
  // Dispatch ids as given (distinct, non-zero).
  struct WithIds {};
  EventInterface(WithIds, std::vector<Member> members);
  // 0 when the name is not an event of this interface.
  int DispId(std::string_view name) const;
  // std::out_of_range for an id the interface does not have.
  const std::string& Name(int dispid) const;
  int size() const { return static_cast<int>(members_.size()); }
  // In declaration order.
  const std::vector<Member>& members() const { return members_; }

 private:
  std::vector<Member> members_;
  std::unordered_map<std::string, int, StringHash, std::equal_to<>> ids_;
  // Dispatch id -> index in members_: a table from the lowest id when the ids are close
  // together (events are named on every Fire), else a map.
  int lowest_id_ = 0;
  std::vector<int32_t> dense_;  // -1: no such id
  std::unordered_map<int, size_t> sparse_;
};

class IEventSink {
 public:
  virtual ~IEventSink() = default;
  virtual void OnEvent(int dispid, std::string_view name, Args args) = 0;
};

class EventSource {
 public:
  explicit EventSource(const EventInterface& iface) : iface_(iface) {}
  const EventInterface& interface() const { return iface_; }

  uint32_t Advise(std::shared_ptr<IEventSink> sink);
  void Unadvise(uint32_t cookie);
  size_t SinkCount() const;

  void Fire(int dispid, Args args);
  // The object moved to another apartment (no Fire under way): the next thread that fires
  // becomes the firing thread.
  void Rehome();
  // ComError (DISP_E_UNKNOWNNAME) for a name the interface does not have.
  void Fire(std::string_view name, Args args);

 private:
  struct Entry {
    uint32_t cookie;
    std::shared_ptr<IEventSink> sink;
  };
  using List = std::vector<Entry>;
  // The sinks to deliver to now, without taking mu_ when the firing thread's copy is
  // current. `own_copy` keeps the list alive when the firing copy cannot be used; `retired`
  // receives a replaced firing copy, to be released after mu_ is.
  const List& SinksForFiring(std::shared_ptr<const List>& own_copy,
                             std::shared_ptr<const List>& retired);

  const EventInterface& iface_;
  mutable std::mutex mu_;
  std::shared_ptr<const List> sinks_ = std::make_shared<List>();  // replaced whole; mu_
  uint32_t next_cookie_ = 1;                                      // guarded by mu_
  // Bumped (under mu_) whenever sinks_ is replaced.
  std::atomic<uint64_t> generation_{0};
  // The first thread that fires (the object's apartment thread) keeps its own copy of the
  // list and re-reads sinks_ only when the generation moved: events then cost no lock and
  // no reference count. Only that thread touches the two fields below.
  std::atomic<std::thread::id> firing_thread_{};
  std::shared_ptr<const List> firing_copy_;
  uint64_t firing_generation_ = ~uint64_t{0};
  int firing_depth_ = 0;  // Fire calls under way on that thread (a sink may fire again)
};

// Disconnects on destruction.
class Connection {
 public:
  Connection() = default;
  Connection(DispatchPtr source, uint32_t cookie) : source_(std::move(source)), cookie_(cookie) {}
  // A connection made through the object's own connection point: `disconnect` ends it.
  explicit Connection(std::function<void()> disconnect) : disconnect_(std::move(disconnect)) {}
  Connection(Connection&& o) noexcept { *this = std::move(o); }
  Connection& operator=(Connection&& o) noexcept;
  ~Connection() { Disconnect(); }
  void Disconnect();

 private:
  DispatchPtr source_;
  uint32_t cookie_ = 0;
  std::function<void()> disconnect_;
};

// Connects `sink` to the events of `source` (a plain object, on its apartment's thread):
// through its EventSource, or on Windows through its connection points.
// ComError CONNECT_E_NOCONNECTION when the object raises no events.
Connection ConnectEvents(const DispatchPtr& source, std::shared_ptr<IEventSink> sink);

// Where a sink's escaped error goes: (event name, error text).
void SetSinkErrorReporter(std::function<void(std::string_view, std::string_view)> reporter);

}  // namespace mx::com
