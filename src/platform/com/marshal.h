// Marshalling: an object of one apartment used from another thread through a proxy.
//
// CoMarshalInterThreadInterfaceInStream (on the object's thread) packs the object with its
// home apartment into a Stream; CoGetInterfaceAndReleaseStream (on another thread)
// consumes the stream and yields a proxy. Every call through the proxy is posted to the
// home apartment, runs there while it pumps, and the caller waits for it; an error raised
// there is rethrown in the caller. Objects a call returns (and the members Enumerate
// yields) come back wrapped in proxies of the same home, so a chain such as
// cqgCEL.Accounts.Item(0).GWAccountName is carried over call by call. On the home thread a
// proxy calls its object directly. A closed home makes calls fail with ComError
// (disconnected) instead of waiting.
//
// RunInHome posts a whole task (a walk of a collection, say) as one round trip.
//
// Thread-safety: a Stream is consumed once, by one thread. A proxy may be used from any
// thread; the last reference to it releases its object on the home thread.
#pragma once

#include <functional>
#include <memory>

#include "platform/com/apartment.h"
#include "platform/com/dispatch.h"

namespace mx::com {

class Stream {
 public:
#if defined(_WIN32)
  // `stream` is the IStream that holds the marshalled interface of `object`.
  Stream(void* stream, DispatchPtr object, std::shared_ptr<Apartment> home);
  // A stream never consumed releases its marshalled data.
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
#else
  Stream(DispatchPtr object, std::shared_ptr<Apartment> home)
      : object_(std::move(object)), home_(std::move(home)) {}
#endif

 private:
  friend DispatchPtr CoGetInterfaceAndReleaseStream(std::unique_ptr<Stream> stream);
#if defined(_WIN32)
  void* stream_;  // IStream*
#endif
  DispatchPtr object_;
  std::shared_ptr<Apartment> home_;
};

// On the object's home thread (an entered apartment): ComError CO_E_NOTINITIALIZED otherwise.
std::unique_ptr<Stream> CoMarshalInterThreadInterfaceInStream(const DispatchPtr& object);
// Any thread; the stream is released. A null stream is an error (E_INVALIDARG).
DispatchPtr CoGetInterfaceAndReleaseStream(std::unique_ptr<Stream> stream);

// `object` bound to `home`: a proxy (or the object itself when it already is one).
DispatchPtr MakeProxy(DispatchPtr object, std::shared_ptr<Apartment> home);
// The home apartment of a proxy, or nullptr for a plain object.
std::shared_ptr<Apartment> HomeOf(const DispatchPtr& object);
// The object behind a proxy (the object itself for a plain one). Use only on its home.
DispatchPtr Unwrap(const DispatchPtr& object);

// Runs `task` on the home thread of `object` with the unwrapped object, as one round trip,
// and waits (directly when already there, or when `object` is not a proxy). Dispatch
// values the task hands back must be wrapped by the caller with MakeProxy(value, home).
void RunInHome(const DispatchPtr& object, const std::function<void(const DispatchPtr&)>& task);

}  // namespace mx::com
