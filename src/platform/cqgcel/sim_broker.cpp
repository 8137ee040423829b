#include "platform/cqgcel/sim_broker.h"

#include <filesystem>

#include "platform/cqgcel/control.h"
#include "platform/cqgcel/sim_broker_state.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

BrokerStore& BrokerStore::Instance() {
  static BrokerStore* store = new BrokerStore();  // the reset hook refers to it
  return *store;
}

BrokerStore::BrokerStore() {
  Control::Instance().AddResetHook([this] { Clear(); });
}

void BrokerStore::SetKeep(bool keep) {
  std::shared_ptr<Simulator> dropped;
  std::lock_guard lk(mu_);
  keep_ = keep;
  if (!keep) dropped = std::move(parked_);
}

bool BrokerStore::keep() const {
  std::lock_guard lk(mu_);
  return keep_;
}

void BrokerStore::SessionEnded(Simulator& sim) {
  std::optional<std::string> path;
  {
    std::lock_guard lk(mu_);
    if (keep_) parked_ = sim.self();
    path = state_file_;
  }
  if (path) SaveBrokerState(sim, *path);
}

void BrokerStore::SetStateFile(std::optional<std::string> path) {
  std::lock_guard lk(mu_);
  state_file_ = std::move(path);
}

void BrokerStore::UseStateFile(std::optional<std::string> path) {
  SetStateFile(path);
  if (path && std::filesystem::exists(*path)) Load(*path);
}

void BrokerStore::Load(const std::string& path) { SetLoaded(ReadBrokerState(path)); }

void BrokerStore::SetLoaded(std::shared_ptr<const BrokerFile> state) {
  std::lock_guard lk(mu_);
  loaded_ = std::move(state);
}

std::shared_ptr<const BrokerFile> BrokerStore::TakeLoaded() {
  std::lock_guard lk(mu_);
  return std::move(loaded_);
}

std::shared_ptr<Simulator> BrokerStore::TakeParked() {
  std::lock_guard lk(mu_);
  return std::move(parked_);
}

void BrokerStore::Clear() {
  std::shared_ptr<Simulator> dropped;
  std::lock_guard lk(mu_);
  keep_ = false;
  dropped = std::move(parked_);
  state_file_.reset();
  loaded_.reset();
}

}  // namespace mx::cqgcel
