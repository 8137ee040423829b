// BrokerStore: what a broker keeps when a client's session ends. With keeping switched on
// (keep_broker_state), CQGCEL.Shutdown parks the simulator here and the next CreateObject
// in this process takes it back (Simulator::Rehome): accounts, positions, orders with
// their fills and, in market mode, the market with its clock carry on into the new
// session. Across processes the same goes through a state file (sim_broker_state.h): a
// file set with SetStateFile is written at every CQGCEL.Shutdown; a file read beforehand
// (SetLoaded) is what the next simulator created starts from. Process-wide, like the
// script; Control::Reset switches keeping off and forgets what is kept, the state file
// and a loaded state.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace mx::cqgcel {

class Simulator;
struct BrokerFile;

class BrokerStore {
 public:
  static BrokerStore& Instance();

  // Off also drops a parked simulator.
  void SetKeep(bool keep);
  bool keep() const;

  // CQGCEL.Shutdown, on the simulator's home thread: parks it when keeping is on, writes
  // the state file when one is set (std::runtime_error when it cannot be written).
  void SessionEnded(Simulator& sim);
  // The parked simulator (taken: the store no longer holds it), or null.
  std::shared_ptr<Simulator> TakeParked();

  void SetStateFile(std::optional<std::string> path);
  // SetStateFile, then Load when the file exists (a market configured with a state file
  // carries on from it).
  void UseStateFile(std::optional<std::string> path);
  // Reads and checks the state in `path` (ReadBrokerState's errors) and keeps it for the
  // next simulator created.
  void Load(const std::string& path);
  // A state read and checked (ReadBrokerState); the next simulator created takes it.
  void SetLoaded(std::shared_ptr<const BrokerFile> state);
  std::shared_ptr<const BrokerFile> TakeLoaded();

  // Keeping off, nothing kept.
  void Clear();

 private:
  BrokerStore();

  mutable std::mutex mu_;
  bool keep_ = false;                         // guarded by mu_
  std::shared_ptr<Simulator> parked_;         // guarded by mu_
  std::optional<std::string> state_file_;     // guarded by mu_
  std::shared_ptr<const BrokerFile> loaded_;  // guarded by mu_
};

}  // namespace mx::cqgcel
