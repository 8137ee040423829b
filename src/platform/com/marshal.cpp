#include "platform/com/marshal.h"

#include "platform/com/backend.h"
#include "platform/com/com_error.h"

namespace mx::com {
namespace {

class Proxy final : public IDispatch, public HomeBound {
 public:
  Proxy(DispatchPtr target, std::shared_ptr<Apartment> home)
      : target_(std::move(target)), home_(std::move(home)) {}

  ~Proxy() override {
    // Release the object on its own thread, as COM releases through the proxy.
    if (!home_->IsHomeThread()) {
      auto keep = std::make_shared<DispatchPtr>(std::move(target_));
      home_->Post([keep] { keep->reset(); });
    }
  }

  Variant Invoke(std::string_view name, CallKind kind, Args args) override {
    if (home_->IsHomeThread()) return target_->Invoke(name, kind, args);
    Variant result;
    home_->Run([&] { result = target_->Invoke(name, kind, args); });
    return Wrap(std::move(result));
  }

  std::vector<Variant> Enumerate() override {
    if (home_->IsHomeThread()) return target_->Enumerate();
    std::vector<Variant> items;
    home_->Run([&] { items = target_->Enumerate(); });
    for (auto& v : items) v = Wrap(std::move(v));
    return items;
  }

  MemberKind Describe(std::string_view name) const override { return target_->Describe(name); }
  std::string_view TypeName() const override { return target_->TypeName(); }
  std::vector<std::string> MemberNames() const override { return target_->MemberNames(); }
  const void* Identity() const override { return target_->Identity(); }
  std::shared_ptr<const TypeInfo> GetTypeInfo() const override { return target_->GetTypeInfo(); }
  bool IsProxy() const override { return true; }

  const std::shared_ptr<Apartment>& home() const override { return home_; }
  DispatchPtr target() const override { return target_; }
  void RunWithTarget(const std::function<void(const DispatchPtr&)>& task) override {
    home_->Run([&] { task(target_); });
  }

 private:
  Variant Wrap(Variant v) const {
    if (v.type() != Variant::Type::Dispatch) return v;
    return Variant(MakeProxy(v.Dispatch(), home_));
  }

  DispatchPtr target_;
  std::shared_ptr<Apartment> home_;
};

}  // namespace

DispatchPtr MakeProxy(DispatchPtr object, std::shared_ptr<Apartment> home) {
  if (!object || object->IsProxy()) return object;
  return std::make_shared<Proxy>(std::move(object), std::move(home));
}

std::shared_ptr<Apartment> HomeOf(const DispatchPtr& object) {
  if (auto* p = dynamic_cast<const HomeBound*>(object.get())) return p->home();
  return nullptr;
}

DispatchPtr Unwrap(const DispatchPtr& object) {
  if (auto* p = dynamic_cast<const HomeBound*>(object.get())) {
    if (auto target = p->target()) return target;
  }
  return object;
}

void RunInHome(const DispatchPtr& object, const std::function<void(const DispatchPtr&)>& task) {
  auto* p = dynamic_cast<HomeBound*>(object.get());
  if (p == nullptr) {
    task(object);
    return;
  }
  p->RunWithTarget(task);
}

}  // namespace mx::com
