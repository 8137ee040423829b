// The broker's state in a file, so that a session in another process finds the orders,
// fills, positions and accounts of an earlier one (and, in market mode, the market
// itself, its random streams included, so it goes on exactly as it would have).
//
// The file is portable text (market/state_io.h): a header with the mode and, for a market,
// its seed; the market's own state; the accounts with their summaries and positions; the
// orders with their fills and the identifier counters; the catalogue of symbols.
//
// Errors: ReadBrokerState throws std::invalid_argument naming the file and the reason
// (unreadable, not a state file, another seed or other instruments than the market now
// configured, a scripted state for a market or the other way round). SaveBrokerState
// throws std::runtime_error when the file cannot be written; it writes a temporary file
// and renames it, so a failed write never leaves half a state behind.
//
// Thread-safety: SaveBrokerState and RestoreBrokerState on the simulator's home thread
// (or while it is parked); ReadBrokerState from any thread.
#pragma once

#include <memory>
#include <string>

namespace mx::cqgcel {

class Simulator;

// A state file read and checked, ready for the next simulator.
struct BrokerFile {
  std::string path;
  std::string text;
};

void SaveBrokerState(Simulator& sim, const std::string& path);
std::shared_ptr<const BrokerFile> ReadBrokerState(const std::string& path);
// Restores `state` into a simulator just created (its market started from the settings
// in force and then set to the saved state); std::invalid_argument as ReadBrokerState.
void RestoreBrokerState(Simulator& sim, const BrokerFile& state);

}  // namespace mx::cqgcel
