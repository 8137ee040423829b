// Marshalling through COM: CoMarshalInterThreadInterfaceInStream on the object's thread,
// CoGetInterfaceAndReleaseStream on the other, and calls through COM's proxy.
#include "platform/com/marshal.h"

#include "platform/com/backend.h"
#include "platform/com/com_error.h"
#include "platform/com/win/com_object.h"
#include "platform/com/win/convert.h"
#include "platform/com/win/windows_headers.h"

namespace mx::com {
namespace {

// Drops `object` on its home thread (where its apartment's rules let it go).
void ReleaseAtHome(DispatchPtr object, const std::shared_ptr<Apartment>& home) {
  if (!object || !home || home->IsHomeThread()) return;
  auto keep = std::make_shared<DispatchPtr>(std::move(object));
  home->Post([keep] { keep->reset(); });
}

// The thread has no COM of its own: it joins the process's multi-threaded apartment,
// kept for the life of the process, so that the proxy it gets serves any such thread.
void EnsureComOnThisThread() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  if (CoGetApartmentType(&type, &qualifier) != CO_E_NOTINITIALIZED) return;
  static const HRESULT mta = [] {
    CO_MTA_USAGE_COOKIE cookie = nullptr;
    return CoIncrementMTAUsage(&cookie);
  }();
  win::Check(mta, "CoIncrementMTAUsage");
}

// An object of another apartment reached through COM's proxy. `target` is the object on
// its home thread when this side knows it (the object that was marshalled); objects that
// calls return come back bound to the same home, without one.
class MarshalledObject final : public win::ComObject, public HomeBound {
 public:
  MarshalledObject(win::ComPtr<::IDispatch> proxy, std::shared_ptr<Apartment> home,
                   DispatchPtr target)
      : ComObject(std::move(proxy)), home_(std::move(home)), target_(std::move(target)) {}
  ~MarshalledObject() override { ReleaseAtHome(std::move(target_), home_); }

  // A closed home is "disconnected", whatever RPC error the proxy would give (wine
  // answers RPC_S_UNKNOWN_IF once the apartment is gone), and no call is attempted.
  Variant Invoke(std::string_view name, CallKind kind, Args args) override {
    if (home_->IsClosed()) throw ComError::Disconnected();
    try {
      return ComObject::Invoke(name, kind, args);
    } catch (const ComError&) {
      if (home_->IsClosed()) throw ComError::Disconnected();
      throw;
    }
  }

  bool IsProxy() const override { return true; }
  // Our own objects answer from their member tables, which any thread may read, and
  // keep their identity across the apartments, as the portable runtime's proxies do.
  // Objects that calls return, and COM objects, answer with COM's identity: the
  // proxy's IUnknown, the same for every proxy of one object in this apartment.
  const void* Identity() const override {
    return Ours() ? target_->Identity() : ComObject::Identity();
  }
  MemberKind Describe(std::string_view name) const override {
    return Ours() ? target_->Describe(name) : ComObject::Describe(name);
  }
  std::string_view TypeName() const override {
    return Ours() ? target_->TypeName() : ComObject::TypeName();
  }
  std::vector<std::string> MemberNames() const override {
    return Ours() ? target_->MemberNames() : ComObject::MemberNames();
  }

  const std::shared_ptr<Apartment>& home() const override { return home_; }
  DispatchPtr target() const override { return target_; }
  void RunWithTarget(const std::function<void(const DispatchPtr&)>& task) override {
    if (target_) {
      home_->Run([&] { task(target_); });
      return;
    }
    // Marshal the proxy back: unmarshalled in its own apartment it is the object itself.
    IStream* raw = nullptr;
    win::Check(::CoMarshalInterThreadInterfaceInStream(IID_IDispatch, get(), &raw),
               "CoMarshalInterThreadInterfaceInStream");
    auto stream = win::ComPtr<IStream>::Attach(raw);
    home_->Run([&] {
      win::ComPtr<::IDispatch> object;
      win::Check(::CoGetInterfaceAndReleaseStream(stream.Detach(), IID_IDispatch, object.OutVoid()),
                 "CoGetInterfaceAndReleaseStream");
      task(std::make_shared<win::ComObject>(std::move(object)));
    });
    if (stream) {  // the task never ran: the marshalled reference is still in the stream
      LARGE_INTEGER zero{};
      stream->Seek(zero, STREAM_SEEK_SET, nullptr);
      CoReleaseMarshalData(stream.get());
    }
  }

 protected:
  Variant Returned(Variant value) override {
    if (value.type() != Variant::Type::Dispatch || value.Dispatch()->IsProxy()) return value;
    auto* com = dynamic_cast<const win::ComObject*>(value.Dispatch().get());
    if (com == nullptr) return value;
    return Variant(DispatchPtr(std::make_shared<MarshalledObject>(
        win::ComPtr<::IDispatch>::Share(com->get()), home_, nullptr)));
  }

 private:
  bool Ours() const {
    return target_ && dynamic_cast<const win::ComObject*>(target_.get()) == nullptr;
  }

  std::shared_ptr<Apartment> home_;
  DispatchPtr target_;
};

}  // namespace

Stream::Stream(void* stream, DispatchPtr object, std::shared_ptr<Apartment> home)
    : stream_(stream), object_(std::move(object)), home_(std::move(home)) {}

Stream::~Stream() {
  if (auto* stream = static_cast<IStream*>(stream_)) {
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    CoReleaseMarshalData(stream);
    stream->Release();
  }
  ReleaseAtHome(std::move(object_), home_);
}

std::unique_ptr<Stream> CoMarshalInterThreadInterfaceInStream(const DispatchPtr& object) {
  auto home = Apartment::Current();
  if (!home) throw ComError(hresult::kNotInitialized, "CoInitialize has not been called.");
  if (!object) throw ComError(hresult::kStreamUsed, "No object to marshal.");
  DispatchPtr target = Unwrap(object);
  win::ComPtr<::IDispatch> dispatch = win::ComDispatchOf(target);
  IStream* stream = nullptr;
  win::Check(::CoMarshalInterThreadInterfaceInStream(IID_IDispatch, dispatch.get(), &stream),
             "CoMarshalInterThreadInterfaceInStream");
  return std::make_unique<Stream>(stream, std::move(target), std::move(home));
}

DispatchPtr CoGetInterfaceAndReleaseStream(std::unique_ptr<Stream> stream) {
  if (!stream || stream->stream_ == nullptr) {
    throw ComError(hresult::kStreamUsed, "The stream holds no marshalled interface.");
  }
  EnsureComOnThisThread();
  win::ComPtr<::IDispatch> proxy;
  HRESULT hr = ::CoGetInterfaceAndReleaseStream(
      static_cast<IStream*>(std::exchange(stream->stream_, nullptr)), IID_IDispatch,
      proxy.OutVoid());
  win::Check(hr, "CoGetInterfaceAndReleaseStream");
  return std::make_shared<MarshalledObject>(std::move(proxy), std::move(stream->home_),
                                            std::move(stream->object_));
}

}  // namespace mx::com
