// ComHost: hosts CQGCEL on a COM thread of its own ("cel_threadfunc").
//
// The COM thread enters COM, creates "CQG.CQGCEL.4", marshals it for the caller, connects
// the internal sink and the caller's sink and pumps messages until shutdown. The calling
// thread gets the marshalled reference (cqgCEL), configures CQGCEL, starts it and waits
// for the start; Shutdown stops it and joins the thread. Every step traces its fixed line.
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
#include <string>
#include <thread>

#include "platform/com/events.h"
#include "platform/com/marshal.h"
#include "platform/com/sync.h"
#include "platform/com/type_library.h"

namespace mx::comhost {

// The CQGCEL type library, made available once at module load: ComError when it is not
// registered.
void LoadCelTypeLibrary();
const com::TypeLibrary& CelTypeLibrary();

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
  bool init_called_ = false;  // guarded by state_mu_
  bool shut_down_ = false;    // guarded by state_mu_
  std::string prepare_error_;  // written by the COM thread before eventAllPrepared
  bool prepare_failed_ = false;
  std::atomic<uint64_t> thread_id_{0};
  // Set once the caller has written "Waiting for CQGCEL creation..": the COM thread's
  // first line comes after it, as the start-up order has it.
  com::ManualResetEvent caller_waiting_;
};

}  // namespace mx::comhost
