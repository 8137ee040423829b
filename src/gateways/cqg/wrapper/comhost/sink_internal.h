// SinkInternal: the COM host's own sink. It turns CQGCEL's start-up event and data-error
// event into the host's start-up signal (eventCELStarted) and error flag (SetError).
//
// Thread-safety: constructed and called on the COM thread; Init before any event.
#pragma once

#include <memory>

#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"
#include "platform/com/sync.h"

namespace mx::comhost {

class ComHost;

class SinkInternal : public CELSinkBase {
 public:
  SinkInternal();  // traces "Internal sink ctor"

  void Init(std::shared_ptr<com::ManualResetEvent> eventCELStarted,
            const std::shared_ptr<ComHost>& comHost);

  void OnCELStarted() override;
  void OnDataError(const Variant& cqgError, const Variant& errorDescription) override;

  const std::shared_ptr<com::ManualResetEvent>& eventCELStarted() const { return event_; }
  std::shared_ptr<ComHost> comHost() const { return host_.lock(); }

 private:
  void RequireInit() const;
  std::shared_ptr<com::ManualResetEvent> event_;
  std::weak_ptr<ComHost> host_;  // the host owns this sink's thread; not owned here
  bool initialised_ = false;
};

}  // namespace mx::comhost
