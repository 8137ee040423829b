#include "platform/com/com.h"

#include <map>
#include <mutex>

#include "platform/com/backend.h"
#include "platform/com/com_error.h"

namespace mx::com {
namespace {

std::mutex registry_mu;
std::map<std::string, ClassFactory, std::less<>>& Registry() {
  static std::map<std::string, ClassFactory, std::less<>> registry;
  return registry;
}

}  // namespace

void CoInitialize() { Apartment::EnterCurrent(); }

bool CoUninitialize() { return Apartment::LeaveCurrent(); }

void RegisterClassObject(std::string progid, ClassFactory factory) {
  std::lock_guard lk(registry_mu);
  Registry()[std::move(progid)] = std::move(factory);
}

void UnregisterClassObject(std::string_view progid) {
  std::lock_guard lk(registry_mu);
  auto& r = Registry();
  if (auto it = r.find(progid); it != r.end()) r.erase(it);
}

std::vector<std::string> RegisteredProgIds() {
  std::lock_guard lk(registry_mu);
  std::vector<std::string> out;
  for (const auto& [id, f] : Registry()) out.push_back(id);
  return out;
}

DispatchPtr CreateObject(std::string_view progid) {
  if (!Apartment::Current()) {
    throw ComError(hresult::kNotInitialized, "CoInitialize has not been called.");
  }
  ClassFactory factory;
  {
    std::lock_guard lk(registry_mu);
    auto& r = Registry();
    auto it = r.find(progid);
    if (it != r.end()) factory = it->second;
  }
  if (!factory) return backend::CreateUnregisteredObject(progid);
  return factory();
}

}  // namespace mx::com
