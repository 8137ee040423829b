#include "platform/cqgcel/control.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

// CQGCEL answers Startup after a moment, as a real server does; the host's trace of its
// wait therefore comes before the start event's.
constexpr std::chrono::milliseconds kStartupLatency{10};

Control& Control::Instance() {
  static Control control;
  return control;
}

Control::Control() { script_.SetDefault("Startup", Answer::Succeed(kStartupLatency)); }

std::shared_ptr<Simulator> Control::Live() const {
  std::lock_guard lk(mu_);
  return live_.lock();
}

void Control::SetLive(const std::shared_ptr<Simulator>& simulator) {
  std::lock_guard lk(mu_);
  live_ = simulator;
}

void Control::Reset() {
  script_.Reset();
  journal_.Clear();
  journal_.SetEnabled(true);
  journal_.SetReadsEnabled(false);
  faults_.Clear();
  std::vector<std::function<void()>> hooks;
  {
    std::lock_guard lk(mu_);
    hooks = reset_hooks_;
  }
  for (const auto& hook : hooks) hook();
}

void Control::AddResetHook(std::function<void()> hook) {
  std::lock_guard lk(mu_);
  reset_hooks_.push_back(std::move(hook));
}

std::shared_ptr<Simulator> Control::RequireLive() const {
  auto sim = Live();
  if (!sim) throw std::runtime_error("No CQGCEL simulator is running");
  return sim;
}

void Control::RaiseEvent(std::string_view name, std::vector<com::Variant> args, bool wait) {
  int id = CelEvents().DispId(name);
  if (id == 0) throw std::invalid_argument("Unknown CQGCEL event '" + std::string(name) + "'");
  int arity = EventArity(id);
  if (static_cast<int>(args.size()) != arity) {
    throw std::invalid_argument(std::string(name) + " takes " + std::to_string(arity) +
                                " arguments, " + std::to_string(args.size()) + " given");
  }
  auto sim = RequireLive();
  if (wait) {
    sim->FireAndWait(id, std::move(args));
  } else {
    sim->Fire(id, std::move(args));
  }
}

void Control::PostQuit(int exit_code) {
  if (!RequireLive()->home()->PostQuit(exit_code)) {
    throw std::runtime_error("The CQGCEL simulator's COM thread has ended");
  }
}

void Control::InjectWaitFailure() { RequireLive()->home()->InjectWaitFailure(); }

size_t Control::Release(std::string_view request, const Answer& answer) {
  return RequireLive()->Release(request, answer);
}

int64_t Control::FireMany(std::string_view name, int64_t count,
                          const std::vector<com::Variant>& args) {
  auto sim = RequireLive();
  int id = CelEvents().DispId(name);
  if (id == 0) throw std::invalid_argument("Unknown CQGCEL event '" + std::string(name) + "'");
  if (static_cast<int>(args.size()) != EventArity(id)) {
    throw std::invalid_argument(std::string(name) + ": wrong number of arguments");
  }
  int64_t elapsed = 0;
  sim->home()->Run([&] {
    auto start = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < count; ++i) sim->FireHere(id, args);
    elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
  });
  return elapsed;
}

std::vector<int64_t> TimePropertyReads(const com::DispatchPtr& target, const std::string& property,
                                       int count) {
  std::vector<int64_t> samples;
  samples.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) {
    auto start = std::chrono::steady_clock::now();
    target->Invoke(property, com::CallKind::Get, {});
    samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count());
  }
  return samples;
}

}  // namespace mx::cqgcel
