#include "platform/cqgcel/simulator.h"

#include <stdexcept>

#include "platform/com/com_error.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/sim_broker.h"
#include "platform/cqgcel/sim_broker_state.h"
#include "platform/cqgcel/sim_market.h"
#include "platform/cqgcel/sim_members.h"

namespace mx::cqgcel {

using com::Args;
using com::Members;
using com::Variant;

std::shared_ptr<Simulator> Simulator::Create() {
  auto home = com::Apartment::Current();
  if (!home) {
    throw com::ComError(com::hresult::kNotInitialized, "CoInitialize has not been called.");
  }
  Answer creation = Control::Instance().script().For("CreateObject");
  if (creation.mode == Answer::Mode::kFail || creation.mode == Answer::Mode::kFailWithoutError ||
      creation.mode == Answer::Mode::kRaise) {
    throw com::ComError(
        creation.code != 0 ? creation.code : com::hresult::kFail,
        creation.description.empty() ? "CQGCEL could not be created" : creation.description);
  }
  if (auto kept = BrokerStore::Instance().TakeParked()) {
    kept->Rehome(std::move(home));
    Control::Instance().SetLive(kept);
    return kept;
  }
  auto sim = std::make_shared<Simulator>(std::move(home));
  if (auto state = BrokerStore::Instance().TakeLoaded()) {
    try {
      RestoreBrokerState(*sim, *state);  // market mode too when it is a market's
    } catch (const std::exception& e) {
      throw com::ComError(com::hresult::kFail, e.what());
    }
  } else {
    StartConfiguredMarket(*sim);  // market mode when configure_market was called
  }
  Control::Instance().SetLive(sim);
  return sim;
}

std::shared_ptr<com::Apartment> Simulator::home() const {
  std::lock_guard lk(home_mu_);
  return home_;
}

namespace {
std::mutex session_hooks_mu;
std::vector<void (*)(Simulator&)>& SessionHooks() {
  static std::vector<void (*)(Simulator&)> hooks;
  return hooks;
}
}  // namespace

void Simulator::AddSessionHook(void (*hook)(Simulator&)) {
  std::lock_guard lk(session_hooks_mu);
  SessionHooks().push_back(hook);
}

void Simulator::Rehome(std::shared_ptr<com::Apartment> home) {
  std::lock_guard direct(direct_mu_);  // no control task runs on the old home meanwhile
  {
    std::lock_guard lk(home_mu_);
    past_homes_.push_back(home_);
    home_ = std::move(home);
    home_raw_.store(home_.get(), std::memory_order_release);
  }
  events_.Rehome();
  started_ = false;
  configuration_ = std::make_shared<ApiConfiguration>();
  connection_ = ConnectionState();
  {
    std::lock_guard lk(held_mu_);
    held_.clear();  // answers of the session that ended
  }
  std::vector<void (*)(Simulator&)> hooks;
  {
    std::lock_guard lk(session_hooks_mu);
    hooks = SessionHooks();
  }
  for (auto hook : hooks) hook(*this);
  if (auto* market = MarketOf(*this)) market->Resume();
}

Simulator::Simulator(std::shared_ptr<com::Apartment> home)
    : home_(std::move(home)),
      home_raw_(home_.get()),
      events_(*SimulatorEvents()),
      configuration_(std::make_shared<ApiConfiguration>()) {}

const Members<Simulator>& Simulator::Table() {
  static const auto table = [] {
    Members<Simulator> t("CQGCEL");
    t.Method("Startup",
             [](Simulator& s, Args) {
               s.started_ = true;
               // A failed start reports the data error first, then the start itself.
               s.Respond("Startup", [](Simulator& s, const Outcome& o) {
                 if (o.failed) {
                   s.Fire(EventId::OnDataError, {Variant(o.error), Variant(o.description)});
                 }
                 s.Fire(EventId::OnCELStarted, {});
               });
               return Variant();
             })
        .Method("Shutdown",
                [](Simulator& s, Args) {
                  s.started_ = false;
                  BrokerStore::Instance().SessionEnded(s);
                  return Variant();
                })
        .Property("IsStarted", [](Simulator& s) { return Variant(s.started_); })
        .Property("APIConfiguration",
                  [](Simulator& s) { return Variant(com::DispatchPtr(s.configuration_)); });
    AddSessionMembers(t);
    AddInstrumentMembers(t);
    AddAccountMembers(t);
    AddOrderMembers(t);
    AddTickMembers(t);
    AddTimedBarMembers(t);
    return t;
  }();
  return table;
}

std::shared_ptr<Simulator> Simulator::self() {
  return std::static_pointer_cast<Simulator>(shared_from_this());
}

void Simulator::Fire(EventId id, std::vector<Variant> args) {
  const int dispid = static_cast<int>(id);
  if (OnHomeThread()) {
    Deliver(dispid, args);
    return;
  }
  std::weak_ptr<Simulator> weak = self();
  home()->Post([weak, dispid, args = std::move(args)] {
    if (auto s = weak.lock()) s->Deliver(dispid, args);
  });
}

void Simulator::Fire(int index, std::vector<Variant> args) {
  const int dispid = DispIdOf(index);
  if (OnHomeThread()) {
    events_.Fire(dispid, args);
    return;
  }
  std::weak_ptr<Simulator> weak = self();
  home()->Post([weak, dispid, args = std::move(args)] {
    if (auto s = weak.lock()) s->events_.Fire(dispid, args);
  });
}

void Simulator::FireAndWait(int index, std::vector<Variant> args) {
  home()->Run([&] { events_.Fire(DispIdOf(index), args); });
}

void Simulator::Respond(std::string_view request, Handler handler) {
  Give(std::string(request), Control::Instance().script().For(request), std::move(handler));
}

// A Raise answer has had its effect when the member was called (SimObject::Observe); a
// request that gets this far under it is answered as a success.
void Simulator::Give(std::string request, const Answer& answer, Handler handler) {
  if (answer.mode == Answer::Mode::kHold) {
    std::lock_guard lk(held_mu_);
    held_[request].push_back(std::move(handler));
    return;
  }
  Outcome outcome;
  if (answer.mode == Answer::Mode::kFail) {
    outcome.failed = true;
    outcome.error = MakeError(answer.code, answer.description);
    outcome.description = answer.description;
  } else if (answer.mode == Answer::Mode::kFailWithoutError) {
    outcome.failed = true;
    outcome.description = answer.description;
  }
  std::weak_ptr<Simulator> weak = self();
  auto task = [weak, handler = std::move(handler), outcome = std::move(outcome)] {
    if (auto s = weak.lock()) handler(*s, outcome);
  };
  if (answer.delay.count() > 0) {
    home()->PostAfter(answer.delay, std::move(task));
  } else {
    home()->Post(std::move(task));
  }
}

size_t Simulator::Release(std::string_view request, const Answer& answer) {
  std::vector<Handler> handlers;
  {
    std::lock_guard lk(held_mu_);
    auto it = held_.find(request);
    if (it == held_.end()) return 0;
    handlers.swap(it->second);
    held_.erase(it);
  }
  for (auto& h : handlers) Give(std::string(request), answer, std::move(h));
  return handlers.size();
}

size_t Simulator::HeldCount(std::string_view request) const {
  std::lock_guard lk(held_mu_);
  auto it = held_.find(request);
  return it == held_.end() ? 0 : it->second.size();
}

void Simulator::RunOnHome(const std::function<void()>& task) {
  auto current = home();
  if (!current->IsClosed()) {
    try {
      current->Run(task);
      return;
    } catch (const com::ComError& e) {
      if (e.code() != com::hresult::kDisconnected) throw;
    }
  }
  // The home thread has gone (the simulator is kept between sessions, or about to go):
  // control tasks run here, one at a time.
  std::lock_guard lk(direct_mu_);
  task();
}

}  // namespace mx::cqgcel
