// ComHost: hosts CQGCEL on a COM thread of its own ("cel_threadfunc").
//
// The COM thread enters COM, creates "CQG.CQGCEL.4", marshals it for the caller, connects
// the internal sink and the caller's sink and pumps messages until shutdown. Numbers come
// from the created object's type information: its library's constants (checked, see
// UseCelTypeLibrary) and its class's event dispatch ids, which the host maps by name to
// its own event index before a sink sees an event (an event it does not know is dropped). The
// calling thread gets the marshalled reference (cqgCEL), configures CQGCEL, starts it and waits for
// the start; Shutdown stops it and joins the thread. Every step traces its fixed line.
//
// The caller's sink is made by a SinkFactory, run on the COM thread (the Python binding
// constructs the sink class there); the custom configuration is a callback given the
// APIConfiguration object. Neither the core nor the runtime knows Python.
//
// Errors: a failure on the COM thread while preparing makes Init throw
// std::runtime_error with the failure's text (the thread is joined first). A second Init
// throws; Shutdown before Init, after a failed Init, or twice does nothing.
//
// Thread-safety: Init and Shutdown on one calling thread (never the COM thread);
// SetError and the events from the COM thread. A running COM thread keeps its ComHost
// alive; StopAll() ends every running COM thread (interpreter exit).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/com/events.h"
#include "platform/com/marshal.h"
#include "platform/com/sync.h"
#include "platform/com/type_library.h"

namespace mx::comhost {

// The CQGCEL type library the host reads constants from. At module load it is the
// registered one (LoadRegTypeLib by the interface's library id: ComError when none is
// registered); each CQGCEL the host creates replaces it with the library that contains
// the created object's type information, so values are always the running server's.
// Either way a library lacking a constant the host uses is refused: std::runtime_error
// "CQGCEL's type library has no constant '<name>'". Libraries stay alive for the
// process, so a reference from CelTypeLibrary() never dangles.
void LoadCelTypeLibrary();
const com::TypeLibrary& CelTypeLibrary();
void UseCelTypeLibrary(std::shared_ptr<const com::TypeLibrary> library);
// The constants the host reads by name (host_constants.def), in that order.
std::span<const std::string_view> HostConstantNames();

class ComHost : public std::enable_shared_from_this<ComHost> {
 public:
  using SinkFactory = std::function<std::shared_ptr<com::IEventSink>()>;
  using Configure = std::function<void(const com::DispatchPtr& configuration)>;

  ComHost();
  ~ComHost();
  ComHost(const ComHost&) = delete;
  ComHost& operator=(const ComHost&) = delete;

  // Fields, in the order the constructor sets them.
  const std::shared_ptr<com::ManualResetEvent> eventCELStarted;
  const std::shared_ptr<com::ManualResetEvent> eventAllPrepared;
  const std::shared_ptr<com::OsEvent> shutdownEvent;
  std::atomic<bool> errorHappened{false};
  std::thread thread;
  std::unique_ptr<com::Stream> cqgCELStream;
  std::shared_ptr<com::IEventSink> sink;
  com::DispatchPtr cqgCEL;

  // Returns the sink. `configure` may be empty (absent).
  std::shared_ptr<com::IEventSink> Init(SinkFactory sinkType, Configure customAPIConfiguration);
  void threadedFunction(const SinkFactory& sinkType);
  void pumpMessages();
  void apiConfigurationSet(const Configure& customAPIConfiguration);
  void startupCel();
  void Shutdown();
  void SetError();

  // The COM thread's identifier as Trace writes it (0 before Init).
  uint64_t threadId() const { return thread_id_.load(); }
  bool running() const;

  // Ends every running COM thread: signals its shutdown event and joins it.
  static void StopAll();

 private:
  void StopThread();
  void RequireCel() const;

  std::mutex state_mu_;
  bool init_called_ = false;             // guarded by state_mu_
  bool shut_down_ = false;               // guarded by state_mu_
  std::string prepare_error_;            // written by the COM thread before eventAllPrepared
  std::optional<int32_t> prepare_code_;  // a ComError's code, with prepare_error_
  bool prepare_failed_ = false;
  std::atomic<uint64_t> thread_id_{0};
  // Set once the caller has written "Waiting for CQGCEL creation..": the COM thread's
  // first line comes after it, as the start-up order has it.
  com::ManualResetEvent caller_waiting_;
};

}  // namespace mx::comhost
