// Outgoing events: an object's event interface, the sinks connected to it, and firing.
//
// An EventInterface names an object's events; an event's dispatch id is its 1-based
// position in the list. A sink (IEventSink) is connected to an object that has an
// EventSource (IDispatch::Events) and then receives every event the object fires, by id
// and name, with the event's arguments in order. Sinks are called in the order they were
// connected, one event at a time. An error a sink throws is reported through the sink
// error reporter (stderr by default) and does not stop delivery to the other sinks;
// sinks that need their own reporting catch at their boundary.
//
// Thread-safety: Advise, Unadvise and Fire may be called from any thread, but objects
// fire on their apartment's thread (the simulator posts there first), so sinks run there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/object.h"

namespace mx::com {

class EventInterface {
 public:
  explicit EventInterface(std::vector<std::string> names);
  // 0 when the name is not an event of this interface.
  int DispId(std::string_view name) const;
  const std::string& Name(int dispid) const { return names_.at(static_cast<size_t>(dispid - 1)); }
  int size() const { return static_cast<int>(names_.size()); }

 private:
  std::vector<std::string> names_;
  std::unordered_map<std::string, int, StringHash, std::equal_to<>> ids_;
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
  // ComError (DISP_E_UNKNOWNNAME) for a name the interface does not have.
  void Fire(std::string_view name, Args args);

 private:
  struct Entry {
    uint32_t cookie;
    std::shared_ptr<IEventSink> sink;
  };
  using List = std::vector<Entry>;
  const EventInterface& iface_;
  mutable std::mutex mu_;
  std::shared_ptr<const List> sinks_ = std::make_shared<List>();  // replaced whole; mu_
  uint32_t next_cookie_ = 1;                                      // guarded by mu_
};

// Disconnects on destruction.
class Connection {
 public:
  Connection() = default;
  Connection(DispatchPtr source, uint32_t cookie) : source_(std::move(source)), cookie_(cookie) {}
  Connection(Connection&& o) noexcept { *this = std::move(o); }
  Connection& operator=(Connection&& o) noexcept;
  ~Connection() { Disconnect(); }
  void Disconnect();

 private:
  DispatchPtr source_;
  uint32_t cookie_ = 0;
};

// Connects `sink` to the events of `source` (a plain object, on its apartment's thread).
// ComError CONNECT_E_NOCONNECTION when the object raises no events.
Connection ConnectEvents(const DispatchPtr& source, std::shared_ptr<IEventSink> sink);

// Where a sink's escaped error goes: (event name, error text).
void SetSinkErrorReporter(std::function<void(std::string_view, std::string_view)> reporter);

}  // namespace mx::com
