#include "platform/cqgcel/sim_market_settings.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/cqgcel/control.h"

namespace mx::cqgcel {

using market::kMicrosPerDay;

namespace {

int64_t Micros(double seconds, const char* what) {
  if (!std::isfinite(seconds) || seconds <= 0) {
    throw std::invalid_argument(std::string(what) + " must be a finite number of seconds > 0");
  }
  return std::max<int64_t>(1, std::llround(seconds * 1e6));
}

// Names outside `allowed` are refused (a misspelt setting must not pass unnoticed).
void CheckNames(const SettingSource& source, std::initializer_list<std::string_view> allowed,
                const char* what) {
  for (const auto& name : source.Names()) {
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      throw std::invalid_argument(std::string("Unknown ") + what + " setting '" + name + "'");
    }
  }
}

}  // namespace

MarketStart StartMarketSettings(const MarketRequest& request) {
  MarketStart out;
  MarketSettings& s = out.settings;
  s.config.seed = request.seed;
  s.config.start_time = market::FromCalendar(request.start_time);
  if (!std::isfinite(request.history_days) || request.history_days < 0) {
    throw std::invalid_argument("history_days must be a finite number >= 0");
  }
  s.config.history = std::llround(request.history_days * static_cast<double>(kMicrosPerDay));
  if (std::isnan(request.speed) || request.speed < 0) {
    throw std::invalid_argument("speed must be >= 0");
  }
  s.speed = request.speed;
  out.update_interval = Micros(request.update_interval, "update_interval");
  if (request.tick_rate) {
    const double rate = *request.tick_rate;
    if (!std::isfinite(rate) || rate <= 0) {
      throw std::invalid_argument("tick_rate must be a finite number > 0");
    }
    if (!std::isfinite(request.speed) || request.speed <= 0) {
      throw std::invalid_argument("tick_rate needs a finite speed > 0");
    }
    out.update_interval = Micros(request.speed / rate, "speed / tick_rate");
  }
  return out;
}

market::InstrumentSpec InstrumentSpecFrom(const SettingSource& source, int64_t default_interval) {
  CheckNames(source,
             {"full_name", "tick_size", "multiplier", "start_price", "volatility",
              "update_interval", "trade_probability", "max_book_volume", "max_trade_volume",
              "initial_margin", "maintenance_margin"},
             "instrument");
  if (!source.Has("full_name")) throw std::invalid_argument("an instrument needs a full_name");
  market::InstrumentSpec spec;
  spec.full_name = source.Text("full_name");
  auto number = [&](const char* name, double& out) {
    if (source.Has(name)) out = source.Number(name);
  };
  auto whole = [&](const char* name, int64_t& out) {
    if (source.Has(name)) out = source.Whole(name);
  };
  number("tick_size", spec.tick_size);
  number("multiplier", spec.multiplier);
  number("start_price", spec.start_price);
  number("volatility", spec.volatility);
  number("trade_probability", spec.trade_probability);
  whole("max_book_volume", spec.max_book_volume);
  whole("max_trade_volume", spec.max_trade_volume);
  number("initial_margin", spec.initial_margin);
  number("maintenance_margin", spec.maintenance_margin);
  spec.update_interval = source.Has("update_interval")
                             ? Micros(source.Number("update_interval"), "update_interval")
                             : default_interval;
  return spec;
}

market::AccountSpec AccountSpecFrom(const SettingSource& source) {
  CheckNames(source, {"gw_account_id", "name", "balance"}, "account");
  if (!source.Has("gw_account_id")) throw std::invalid_argument("an account needs a gw_account_id");
  market::AccountSpec spec;
  spec.gw_account_id = source.Whole("gw_account_id");
  if (spec.gw_account_id < 0 || spec.gw_account_id > std::numeric_limits<int32_t>::max()) {
    throw std::invalid_argument("gw_account_id must fit a 32-bit CQG account id");
  }
  spec.name = source.Has("name") ? source.Text("name") : "SIM" + std::to_string(spec.gw_account_id);
  spec.starting_balance = source.Has("balance") ? source.Number("balance") : 1'000'000.0;
  return spec;
}

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
