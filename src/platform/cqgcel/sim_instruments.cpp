#include "platform/cqgcel/sim_instruments.h"

#include <stdexcept>
#include <string>

#include "platform/com/com_error.h"
#include "platform/com/marshal.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/sim_connection.h"
#include "platform/cqgcel/sim_members.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {

using com::Args;
using com::Members;
using com::Variant;

// Code of the error object for a symbol the catalogue does not know.
constexpr int32_t kUnknownSymbolCode = 1001;

const Members<SimQuote>& SimQuote::Table() {
  static const auto table = Members<SimQuote>("CQGQuote")
                                .Field("Type", &SimQuote::type, false)
                                .Field("Price", &SimQuote::price, false)
                                .Field("IsValid", &SimQuote::valid, false);
  return table;
}

std::shared_ptr<SimQuotes> MakeQuotes(const std::vector<QuoteValue>& quotes) {
  auto list = std::make_shared<SimQuotes>();
  list->items.reserve(quotes.size());
  for (const auto& q : quotes) {
    list->items.push_back(std::make_shared<SimQuote>(q.type, q.price, q.valid));
  }
  return list;
}

SimInstrument::SimInstrument(std::string name)
    : full_name(std::move(name)), data_subscription_level(Constant("dsNone")) {}

const Members<SimInstrument>& SimInstrument::Table() {
  using I = SimInstrument;
  static const auto table =
      Members<I>("CQGInstrument")
          .Field("FullName", &I::full_name, false)
          .Field("DataSubscriptionLevel", &I::data_subscription_level)
          .Indexed("LastPrice", [](I& i, Args a) {
            auto it = i.last_prices.find(com::Arg(a, 0, "LastPrice").ToInt32());
            return it == i.last_prices.end() ? Variant() : Variant(it->second);
          });
  return table;
}

InstrumentArea::InstrumentArea(Simulator& sim)
    : sim_(sim),
      catalogue_{"F.US.EP", "F.US.ENQ", "F.US.CLE", "F.US.GCE", "F.US.ZNE"},
      instruments_(std::make_shared<SimInstruments>()) {}

std::string InstrumentArea::Resolve(std::string_view symbol) const {
  for (const auto& name : catalogue_) {
    if (name == symbol) return name;
    auto dot = name.rfind('.');
    if (dot != std::string::npos && std::string_view(name).substr(dot + 1) == symbol) return name;
  }
  return {};
}

void InstrumentArea::Define(std::string full_name) {
  for (const auto& name : catalogue_) {
    if (name == full_name) return;
  }
  catalogue_.push_back(std::move(full_name));
}

std::shared_ptr<SimInstrument> InstrumentArea::Require(std::string_view symbol) const {
  auto instrument = Find(symbol);
  if (!instrument) throw std::invalid_argument("'" + std::string(symbol) + "' is not subscribed");
  return instrument;
}

std::shared_ptr<SimInstrument> InstrumentArea::Find(std::string_view symbol) const {
  for (const auto& item : instruments_->items) {
    auto instrument = std::static_pointer_cast<SimInstrument>(item);
    std::string_view name = instrument->full_name;
    if (name == symbol) return instrument;
    if (name.size() > symbol.size() && name.ends_with(symbol) &&
        name[name.size() - symbol.size() - 1] == '.') {
      return instrument;
    }
  }
  return nullptr;
}

std::shared_ptr<SimInstrument> InstrumentArea::Subscribe(const std::string& full_name) {
  if (auto existing = Find(full_name)) return existing;
  auto instrument = std::make_shared<SimInstrument>(full_name);
  instruments_->items.push_back(instrument);
  return instrument;
}

bool InstrumentArea::Remove(const com::DispatchPtr& instrument) {
  if (!instrument) return false;
  auto& items = instruments_->items;
  for (auto it = items.begin(); it != items.end(); ++it) {
    if ((*it)->Identity() == instrument->Identity()) {
      items.erase(it);
      return true;
    }
  }
  return false;
}

void InstrumentArea::PushQuotes(const std::shared_ptr<SimInstrument>& instrument,
                                const std::vector<QuoteValue>& quotes) {
  if (!DataUp(sim_)) return;  // nothing reaches the host while data is out
  for (const auto& q : quotes) {
    if (q.valid) instrument->last_prices[q.type] = q.price;
  }
  sim_.Fire(EventId::OnInstrumentChanged,
            {Variant(com::DispatchPtr(instrument)), Variant(com::DispatchPtr(MakeQuotes(quotes))),
             Variant()});
}

void AddInstrumentMembers(Members<Simulator>& table) {
  // A new session subscribes afresh; the catalogue stays.
  Simulator::AddSessionHook(
      [](Simulator& s) { s.Area<InstrumentArea>().instruments()->items.clear(); });
  table
      .Method(
          "NewInstrument",
          [](Simulator& s, Args a) {
            std::string symbol = com::Arg(a, 0, "NewInstrument").Text();
            s.Respond("NewInstrument", [symbol](Simulator& s, const Outcome& o) {
              if (o.failed) {
                s.Fire(EventId::OnInstrumentResolved,
                       {Variant(symbol), Variant(), Variant(o.error)});
                return;
              }
              auto& area = s.Area<InstrumentArea>();
              std::string full_name = area.Resolve(symbol);
              if (full_name.empty()) {
                s.Fire(EventId::OnInstrumentResolved,
                       {Variant(symbol), Variant(),
                        Variant(MakeError(kUnknownSymbolCode, "Unknown symbol '" + symbol + "'"))});
                return;
              }
              auto instrument = area.Subscribe(full_name);
              s.Fire(EventId::OnInstrumentResolved,
                     {Variant(symbol), Variant(com::DispatchPtr(instrument)), Variant()});
            });
            return Variant();
          })
      .Method("RemoveInstrument",
              [](Simulator& s, Args a) {
                const Variant& arg = com::Arg(a, 0, "RemoveInstrument");
                if (!s.Area<InstrumentArea>().Remove(com::Unwrap(arg.Dispatch()))) {
                  throw com::ComError(com::hresult::kBadIndex,
                                      "RemoveInstrument: the instrument is not subscribed");
                }
                return Variant();
              })
      .Property("Instruments", [](Simulator& s) {
        return Variant(com::DispatchPtr(s.Area<InstrumentArea>().instruments()));
      });
}

}  // namespace mx::cqgcel
