#include "gateways/cqg/wrapper/comhost/com_host.h"

#include <pthread.h>

#include <cxxabi.h>

#include <stdexcept>
#include <vector>

#include "gateways/cqg/wrapper/comhost/sink_internal.h"
#include "gateways/cqg/wrapper/comhost/trace.h"
#include "platform/com/com.h"
#include "platform/com/com_error.h"
#include "platform/cqgcel/interface/cel_event_map.h"
#include "platform/cqgcel/interface/cel_interface.h"

namespace mx::comhost {
namespace {

// The library in use, and every library ever used (kept alive: see CelTypeLibrary).
std::atomic<const com::TypeLibrary*> current_library{nullptr};
std::mutex libraries_mu;
std::vector<std::shared_ptr<const com::TypeLibrary>>& UsedLibraries() {
  static auto* used = new std::vector<std::shared_ptr<const com::TypeLibrary>>();
  return *used;
}

// Delivers the server's events to `inner` under the host's event index.
class ServerEventSink final : public com::IEventSink {
 public:
  ServerEventSink(std::shared_ptr<const cqgcel::CelEventMap> map,
                  std::shared_ptr<com::IEventSink> inner)
      : map_(std::move(map)), inner_(std::move(inner)) {}
  void OnEvent(int dispid, std::string_view name, com::Args args) override {
    if (int index = map_->IndexOf(dispid); index != 0) inner_->OnEvent(index, name, args);
  }

 private:
  std::shared_ptr<const cqgcel::CelEventMap> map_;
  std::shared_ptr<com::IEventSink> inner_;
};

std::mutex hosts_mu;
std::vector<std::weak_ptr<ComHost>>& RunningHosts() {
  static std::vector<std::weak_ptr<ComHost>> hosts;
  return hosts;
}

}  // namespace

std::span<const std::string_view> HostConstantNames() {
  static constexpr std::string_view names[] = {
#define HOST_CONSTANT(name) #name,
#include "gateways/cqg/wrapper/comhost/host_constants.def"
#undef HOST_CONSTANT
  };
  return names;
}

void UseCelTypeLibrary(std::shared_ptr<const com::TypeLibrary> library) {
  for (std::string_view name : HostConstantNames()) {
    if (!library->Find(name)) {
      throw std::runtime_error("CQGCEL's type library has no constant '" + std::string(name) + "'");
    }
  }
  std::lock_guard lk(libraries_mu);
  if (current_library.load() == library.get()) return;
  current_library.store(library.get(), std::memory_order_release);
  UsedLibraries().push_back(std::move(library));
}

void LoadCelTypeLibrary() {
  if (current_library.load(std::memory_order_acquire) != nullptr) return;
  UseCelTypeLibrary(
      com::LoadRegTypeLib(cqgcel::kLibraryId, cqgcel::kLibraryMajor, cqgcel::kLibraryMinor, 0));
}

const com::TypeLibrary& CelTypeLibrary() {
  const com::TypeLibrary* lib = current_library.load(std::memory_order_acquire);
  if (lib == nullptr) {
    LoadCelTypeLibrary();
    lib = current_library.load(std::memory_order_acquire);
  }
  return *lib;
}

ComHost::ComHost()
    : eventCELStarted(std::make_shared<com::ManualResetEvent>()),
      eventAllPrepared(std::make_shared<com::ManualResetEvent>()),
      shutdownEvent(std::make_shared<com::OsEvent>()) {}

ComHost::~ComHost() {
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // the COM thread drops the last reference as it ends
    } else {
      shutdownEvent->Set();
      thread.join();
    }
  }
}

bool ComHost::running() const { return thread_id_.load() != 0 && !shut_down_; }

std::shared_ptr<com::IEventSink> ComHost::Init(SinkFactory sinkType,
                                               Configure customAPIConfiguration) {
  {
    std::lock_guard lk(state_mu_);
    if (init_called_) throw std::runtime_error("ComHost.Init has already been called");
    init_called_ = true;
  }
  // The thread holds its host: a host dropped without Shutdown stays whole until the
  // thread ends (Shutdown, StopAll).
  thread = std::thread([self = shared_from_this(), factory = std::move(sinkType)] {
    pthread_setname_np(pthread_self(), "cel_threadfunc");
    self->thread_id_.store(CurrentThreadId());
    self->caller_waiting_.Wait();
    try {
      self->threadedFunction(factory);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const std::exception& e) {
      Trace(std::string("cel_threadfunc ended by an error: ") + e.what());
    }
  });
  {
    std::lock_guard lk(hosts_mu);
    auto& hosts = RunningHosts();
    std::erase_if(hosts, [](const auto& w) { return w.expired(); });
    hosts.push_back(weak_from_this());
  }
  Trace("Waiting for CQGCEL creation..");
  caller_waiting_.Set();
  eventAllPrepared->Wait();
  if (prepare_failed_) {
    thread.join();
    {
      std::lock_guard lk(state_mu_);
      shut_down_ = true;
    }
    if (prepare_code_) throw com::ComError(*prepare_code_, prepare_error_);
    throw std::runtime_error(prepare_error_);
  }
  Trace("CQGCEL is created!");
  Trace("Marshaled CQGCEL from stream");
  cqgCEL = com::CoGetInterfaceAndReleaseStream(std::move(cqgCELStream));
  Trace("CQGCEL is marshaled from stream!");
  apiConfigurationSet(customAPIConfiguration);
  startupCel();
  if (errorHappened.load()) Trace("Error happened during CQGCEL start up!");
  return sink;
}

void ComHost::threadedFunction(const SinkFactory& sinkType) {
  Trace("COM framework is initializing...");
  com::CoInitialize();
  Trace("COM framework is initialized!");
  com::DispatchPtr cel;
  com::Connection internal_connection;
  com::Connection sink_connection;
  try {
    Trace("CQG.CQGCEL.4 creation...");
    cel = com::CreateObject(cqgcel::kProgId);
    Trace("CQG.CQGCEL.4 created!");
    // The server's own numbers: its library's constants, its class's event ids.
    UseCelTypeLibrary(com::TypeLibraryOf(cel));
    auto events = std::make_shared<const cqgcel::CelEventMap>(com::SourceEventsOf(cel));
    Trace("Marshal CQGCEL in stream");
    cqgCELStream = com::CoMarshalInterThreadInterfaceInStream(cel);
    Trace("CQGCEL is marshaled in stream");
    Trace("Internal sink subscription to events");
    auto internal = std::make_shared<SinkInternal>();
    internal_connection =
        com::ConnectEvents(cel, std::make_shared<ServerEventSink>(events, internal));
    Trace("Internal sink subscribed");
    Trace("Sink subscription to events");
    if (!sinkType) throw std::runtime_error("no sink class");
    auto made = sinkType();
    if (!made) throw std::runtime_error("the sink class made no sink");
    sink_connection = com::ConnectEvents(cel, std::make_shared<ServerEventSink>(events, made));
    sink = std::move(made);
    Trace("Sink subscribed");
    internal->Init(eventCELStarted, shared_from_this());
    Trace("Internal sink is initialized");
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    // Nothing is left half-made: the caller hears of it in Init, never waits for ever.
    prepare_error_ = e.what();
    if (const auto* com_error = dynamic_cast<const com::ComError*>(&e)) {
      prepare_code_ = com_error->code();  // the caller gets COM's code, not only its text
    }
    prepare_failed_ = true;
    sink_connection.Disconnect();
    internal_connection.Disconnect();
    cqgCELStream.reset();
    cel.reset();
    com::CoUninitialize();
    eventAllPrepared->Set();
    return;
  }
  eventAllPrepared->Set();
  Trace("Starting message pumping..");
  pumpMessages();
  sink_connection.Disconnect();
  internal_connection.Disconnect();
  cel.reset();
  Trace("COM framework is uninitializing...");
  com::CoUninitialize();
  Trace("COM framework is uninitialized!");
}

void ComHost::pumpMessages() {
  auto apartment = com::Apartment::Current();
  if (!apartment) throw std::runtime_error("unexpected win32wait return value");
  for (;;) {
    switch (apartment->MsgWaitForMultipleObjects(*shutdownEvent, std::nullopt)) {
      case com::Apartment::WaitResult::Signalled:
        return;
      case com::Apartment::WaitResult::InputQueued:
        if (apartment->PumpWaitingMessages().quit) return;
        break;
      default:
        throw std::runtime_error("unexpected win32wait return value");
    }
  }
}

void ComHost::apiConfigurationSet(const Configure& customAPIConfiguration) {
  RequireCel();
  Trace("CQGCEL default configuring...");
  com::DispatchPtr configuration = cqgCEL->Get("APIConfiguration").Dispatch();
  configuration->Put("CollectionsThrowException", false);
  configuration->Put("NewInstrumentChangeMode", true);
  configuration->Put("ReadyStatusCheck", 0);
  configuration->Put("TimeZoneCode", CelTypeLibrary().Constant("tzChina"));
  configuration->Put("IncludeOrderTransactions", true);
  configuration->Put("UseOrderSide", true);
  if (!customAPIConfiguration) return;
  Trace("CQGCEL custom configuring...");
  customAPIConfiguration(configuration);
}

void ComHost::startupCel() {
  RequireCel();
  Trace("Startup CQGCEL..");
  cqgCEL->Call("Startup");
  Trace("Waiting for CQGCEL start..");
  eventCELStarted->Wait();
  Trace("CQGCEL has started.");
}

void ComHost::Shutdown() {
  {
    std::lock_guard lk(state_mu_);
    if (!init_called_ || shut_down_) return;
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
      throw std::runtime_error("ComHost.Shutdown cannot run on the COM thread");
    }
    shut_down_ = true;
  }
  Trace("CQGCEL is being shut down..");
  std::exception_ptr error;
  try {
    // A COM thread that already ended (a quit message, a failed wait) took CQGCEL with it.
    auto home = com::HomeOf(cqgCEL);
    if (cqgCEL && !(home && home->IsClosed())) cqgCEL->Call("Shutdown");
  } catch (...) {
    error = std::current_exception();  // still end the thread; report afterwards
  }
  shutdownEvent->Set();
  thread.join();
  Trace("CQGCEL is shut down.");
  if (error) std::rethrow_exception(error);
}

void ComHost::RequireCel() const {
  if (!cqgCEL) throw std::runtime_error("cqgCEL is not available: Init has not prepared CQGCEL");
}

void ComHost::SetError() { errorHappened.store(true); }

void ComHost::StopThread() {
  {
    std::lock_guard lk(state_mu_);
    if (!thread.joinable() || thread.get_id() == std::this_thread::get_id()) return;
    shut_down_ = true;
  }
  shutdownEvent->Set();
  thread.join();
}

void ComHost::StopAll() {
  std::vector<std::shared_ptr<ComHost>> hosts;
  {
    std::lock_guard lk(hosts_mu);
    for (auto& w : RunningHosts()) {
      if (auto h = w.lock()) hosts.push_back(std::move(h));
    }
    RunningHosts().clear();
  }
  for (auto& h : hosts) h->StopThread();
}

}  // namespace mx::comhost
