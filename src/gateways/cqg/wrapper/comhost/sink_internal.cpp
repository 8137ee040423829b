#include "gateways/cqg/wrapper/comhost/sink_internal.h"

#include <stdexcept>

#include "gateways/cqg/wrapper/comhost/com_host.h"
#include "gateways/cqg/wrapper/comhost/trace.h"
#include "platform/com/dispatch.h"

namespace mx::comhost {

SinkInternal::SinkInternal() { Trace("Internal sink ctor"); }

void SinkInternal::Init(std::shared_ptr<com::ManualResetEvent> eventCELStarted,
                        const std::shared_ptr<ComHost>& comHost) {
  event_ = std::move(eventCELStarted);
  host_ = comHost;
  initialised_ = true;
}

void SinkInternal::RequireInit() const {
  if (!initialised_) throw std::runtime_error("SinkInternal.Init has not been called");
}

void SinkInternal::OnCELStarted() {
  RequireInit();
  Trace("SinkInternal: CELStarted!");
  event_->Set();
}

void SinkInternal::OnDataError(const Variant& cqgError, const Variant& /*errorDescription*/) {
  RequireInit();
  if (!cqgError.IsEmpty()) {
    const auto& error = cqgError.Dispatch();
    std::string code = error->Get("Code").ToString();
    std::string description = error->Get("Description").ToString();
    Trace("SinkInternal: OnDataError: Code: " + code + " Description: " + description);
  }
  if (auto host = host_.lock()) host->SetError();  // before the event: the waiter sees it
  event_->Set();
}

}  // namespace mx::comhost
