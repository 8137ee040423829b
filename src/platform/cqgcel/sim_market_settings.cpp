#include "platform/cqgcel/sim_market_settings.h"

#include <cmath>
#include <stdexcept>

#include "platform/cqgcel/control.h"

namespace mx::cqgcel {

MarketSettingsStore& MarketSettingsStore::Instance() {
  static MarketSettingsStore* store = new MarketSettingsStore();  // the reset hook refers to it
  return *store;
}

MarketSettingsStore::MarketSettingsStore() {
  Control::Instance().AddResetHook([this] { Clear(); });
}

void MarketSettingsStore::Set(MarketSettings settings) {
  if (std::isnan(settings.speed) || settings.speed < 0) {
    throw std::invalid_argument("speed must be >= 0");
  }
  if (settings.instruments.empty()) {
    throw std::invalid_argument("the market needs at least one instrument");
  }
  // The market's own checks, on a trial market without history (cheap).
  market::MarketConfig trial_config = settings.config;
  trial_config.history = 0;
  market::Market trial(trial_config);
  for (const auto& spec : settings.instruments) trial.AddInstrument(spec);
  for (const auto& spec : settings.accounts) trial.AddAccount(spec);
  if (settings.config.history > 0 && settings.config.history_interval <= 0) {
    throw std::invalid_argument("history_interval must be positive");
  }
  std::lock_guard lk(mu_);
  settings_ = std::move(settings);
}

void MarketSettingsStore::Clear() {
  std::lock_guard lk(mu_);
  settings_.reset();
  if (auto running = live_run_.lock()) running->store(false);
}

std::optional<MarketSettings> MarketSettingsStore::Get() const {
  std::lock_guard lk(mu_);
  return settings_;
}

void MarketSettingsStore::SetLiveClock(std::weak_ptr<std::atomic<bool>> running) {
  std::lock_guard lk(mu_);
  live_run_ = std::move(running);
}

bool MarketSettingsStore::LiveRunning() const {
  std::lock_guard lk(mu_);
  auto running = live_run_.lock();
  return running && running->load();
}

}  // namespace mx::cqgcel
