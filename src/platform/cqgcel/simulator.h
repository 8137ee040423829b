// Simulator: the CQGCEL object (ProgID "CQG.CQGCEL.4") as a scriptable stand-in.
//
// Created on a thread that has entered COM (CreateObject); that apartment is its home:
// members run there (other threads reach it through a marshalled proxy) and every event
// is raised there. Requests are answered through Respond(): the script (Control) decides
// whether and when the answer comes; the answer runs as a posted message, so events
// arrive after the call that caused them has returned, as from a real server.
//
// Extending it: a new member is one line in Table(); a request with a scripted answer is
//   .Method("GWLogon", [](Simulator& s, com::Args a) {
//      s.Respond("GWLogon", [](Simulator& s, const Outcome& o) {
//        s.Fire(EventId::OnGWConnectionStatusChanged, {Constant("csConnectionUp")});
//      });
//      return com::Variant();
//   })
// and new objects derive from SimObject<T> with a member table of their own.
//
// Areas: each area of the object model (session, instruments and quotes, accounts,
// orders, ticks, timed bars) adds its members to Table() through one Add...Members
// function (sim_members.h) and keeps its state in Area<T>(), created on first use.
//
// Sessions: with broker state kept (sim_broker.h), CQGCEL.Shutdown parks the simulator
// instead of letting it go, and the next CreateObject takes it back on its own thread
// (Rehome): the broker's areas (accounts, orders, the market) carry on, the session's
// (log-on, subscriptions, requests, connections, held answers) start afresh. While parked
// its home has closed; control functions then run their tasks on the caller's thread,
// one at a time.
//
// Thread-safety: members, Fire and Respond handlers on the home thread; Fire, Release and
// RunOnHome may be called from any thread (they post there).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/events.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/objects.h"
#include "platform/cqgcel/script.h"
#include "platform/cqgcel/sim_connection.h"
#include "platform/cqgcel/sim_object.h"

namespace mx::cqgcel {

class Simulator : public SimObject<Simulator> {
 public:
  using Handler = std::function<void(Simulator&, const Outcome&)>;

  // On a thread in COM. Fails with the script's "CreateObject" answer when that is a failure.
  static std::shared_ptr<Simulator> Create();
  explicit Simulator(std::shared_ptr<com::Apartment> home);
  static const com::Members<Simulator>& Table();

  com::EventSource* Events() override { return &events_; }
  std::shared_ptr<const com::TypeInfo> GetTypeInfo() const override { return SimulatorTypeInfo(); }
  std::shared_ptr<com::Apartment> home() const;

  // Raises an event: at once on the home thread, else posted there. Held or dropped
  // while a connection is out (sim_connection.h).
  void Fire(EventId id, std::vector<com::Variant> args);
  // Raises the event of index `index` (an EventId value) as given, whatever the
  // connections (a test's raise_event, a refusal). Sinks see it under this server's
  // dispatch id (DispIdOf), as they see every event.
  void Fire(int index, std::vector<com::Variant> args);
  void FireAlways(EventId id, std::vector<com::Variant> args) {
    Fire(static_cast<int>(id), std::move(args));
  }
  // Raises an event now; on the home thread only (no copy of the arguments).
  void FireHere(int index, com::Args args) { events_.Fire(DispIdOf(index), args); }
  // Raises an event on the home thread and waits until every sink has had it.
  void FireAndWait(int index, std::vector<com::Variant> args);

  // Answers `request` as the script says; `handler` runs on the home thread when (if)
  // the answer is given.
  void Respond(std::string_view request, Handler handler);
  // Gives every held answer of `request`, in order, as `answer` says; returns how many.
  size_t Release(std::string_view request, const Answer& answer);
  size_t HeldCount(std::string_view request) const;

  // Runs `task` on the home thread and waits; directly when the home has closed.
  void RunOnHome(const std::function<void()>& task);

  // The state of one area of the object model: one T per simulator, made on first use as
  // T(*this). Home thread only (control functions reach it through RunOnHome).
  template <class T>
  T& Area() {
    auto& slot = areas_[std::type_index(typeid(T))];
    if (!slot) slot = std::make_shared<T>(*this);
    return *std::static_pointer_cast<T>(slot);
  }
  // Forgets the area T (made afresh on its next use); home thread.
  template <class T>
  void EraseArea() {
    areas_.erase(std::type_index(typeid(T)));
  }
  // The area T if it has been made, else null (home thread).
  template <class T>
  T* FindArea() {
    auto it = areas_.find(std::type_index(typeid(T)));
    return it == areas_.end() ? nullptr : static_cast<T*>(it->second.get());
  }

  // A new session on the calling thread's apartment (see above); on that thread, before
  // any sink is connected.
  void Rehome(std::shared_ptr<com::Apartment> home);
  // `hook` runs at every Rehome: an area forgets what belongs to the session that ended.
  static void AddSessionHook(void (*hook)(Simulator&));

  // The simulator as a shared pointer (for handlers that outlive the call).
  std::shared_ptr<Simulator> self();

  bool started() const { return started_; }              // home thread
  ConnectionState& connection() { return connection_; }  // home thread
  const std::shared_ptr<ApiConfiguration>& configuration() const { return configuration_; }

 private:
  void Give(std::string request, const Answer& answer, Handler handler);
  void Deliver(int index, com::Args args) {
    if (!connection_.Gate(index, args)) events_.Fire(DispIdOf(index), args);
  }

  bool OnHomeThread() const { return home_raw_.load(std::memory_order_acquire)->IsHomeThread(); }

  mutable std::mutex home_mu_;
  std::shared_ptr<com::Apartment> home_;  // guarded by home_mu_
  // The current home for the fast thread check; earlier homes stay alive in past_homes_,
  // so a pointer read just before a Rehome is still valid.
  std::atomic<com::Apartment*> home_raw_;
  std::vector<std::shared_ptr<com::Apartment>> past_homes_;  // guarded by home_mu_
  std::mutex direct_mu_;  // one control task at a time while the home is closed
  com::EventSource events_;
  std::shared_ptr<ApiConfiguration> configuration_;
  bool started_ = false;        // home thread
  ConnectionState connection_;  // home thread
  mutable std::mutex held_mu_;
  std::map<std::string, std::vector<Handler>, std::less<>> held_;     // guarded by held_mu_
  std::unordered_map<std::type_index, std::shared_ptr<void>> areas_;  // home thread
};

}  // namespace mx::cqgcel
