// MarketSettings: what makes a simulator run an autonomous market instead of scripted
// answers, kept process-wide like the script, so a setting made before a host creates
// CQGCEL applies to it. Each simulator created while settings are present starts its own
// market from them (same seed, same market); a simulator already running is not changed
// by a later Set. Clear goes back to scripted mode for the next simulator and stops the
// live market's clock (its objects stay; nothing moves any more).
//
// Thread-safety: every operation may be called from any thread; nothing here blocks on
// the COM thread (the live clock is stopped through a flag it reads at its next tick).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/cqgcel/market/market.h"

namespace mx::cqgcel {

struct MarketSettings {
  market::MarketConfig config;
  std::vector<market::InstrumentSpec> instruments;  // at least one
  std::vector<market::AccountSpec> accounts;
  // Simulated seconds per wall-clock second. 0: the clock stands still (a test moves it
  // with MarketArea::AdvanceBy); +infinity: as fast as the COM thread can run the market.
  double speed = 60.0;
};

// Named settings as a caller gives them (the control module: a dict). A read converts the
// value, or throws the caller's own conversion error.
class SettingSource {
 public:
  virtual ~SettingSource() = default;
  virtual std::vector<std::string> Names() const = 0;  // in the caller's order
  virtual bool Has(const char* name) const = 0;
  virtual double Number(const char* name) const = 0;
  virtual int64_t Whole(const char* name) const = 0;
  virtual std::string Text(const char* name) const = 0;
};

// The market-wide settings as a caller gives them, in seconds and days.
struct MarketRequest {
  uint64_t seed = 0;
  double speed = 60.0;
  market::CalendarTime start_time;
  double history_days = 2.0;
  double update_interval = 0.25;    // simulated seconds between an instrument's updates
  std::optional<double> tick_rate;  // instead: updates per wall-clock second
};

// Settings from `request` (instruments and accounts still to add), with the update
// interval, in microseconds, of an instrument that sets none. std::invalid_argument for
// a value out of range.
struct MarketStart {
  MarketSettings settings;
  int64_t update_interval = 0;
};
MarketStart StartMarketSettings(const MarketRequest& request);
// An instrument or an account from its named settings (full_name, tick_size, ...;
// gw_account_id, name, balance); std::invalid_argument for an unknown or missing setting
// or a value out of range.
market::InstrumentSpec InstrumentSpecFrom(const SettingSource& source, int64_t default_interval);
market::AccountSpec AccountSpecFrom(const SettingSource& source);

class MarketSettingsStore {
 public:
  static MarketSettingsStore& Instance();

  // Checks the settings by building a market from them (without history); throws
  // std::invalid_argument with the market's reason, or for a negative or NaN speed or
  // no instruments.
  void Set(MarketSettings settings);
  // Back to scripted mode; stops the live market's clock. Also run by Control::Reset.
  void Clear();
  std::optional<MarketSettings> Get() const;

  // The run flag of the live simulator's market clock (replaces the previous one).
  void SetLiveClock(std::weak_ptr<std::atomic<bool>> running);
  // Whether the live simulator's market clock runs (false without a market).
  bool LiveRunning() const;

 private:
  MarketSettingsStore();

  mutable std::mutex mu_;
  std::optional<MarketSettings> settings_;     // guarded by mu_
  std::weak_ptr<std::atomic<bool>> live_run_;  // guarded by mu_
};

}  // namespace mx::cqgcel
