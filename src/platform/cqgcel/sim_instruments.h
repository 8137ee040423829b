// Instruments and quotes of the simulated CQGCEL.
//
// A symbol catalogue says what NewInstrument can resolve: a request resolves when it equals
// a catalogue full name or that name's last dot-separated piece ("EP" -> "F.US.EP"). A
// resolved instrument joins the Instruments collection (once); RemoveInstrument takes it
// out. Quote changes are pushed (by a test, or later by a market) as a Quotes collection
// raised with OnInstrumentChanged; the instrument keeps the latest price of each type.
//
// Scripted answers ("NewInstrument"): succeed -> OnInstrumentResolved(symbol, instrument,
// None), or an error object "Unknown symbol ..." when the catalogue has no such symbol;
// fail -> OnInstrumentResolved(symbol, None, error object); fail_without_error ->
// OnInstrumentResolved(symbol, None, None).
//
// Thread-safety: everything on the simulator's home thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cqgcel/sim_list.h"
#include "platform/cqgcel/sim_object.h"

namespace mx::cqgcel {

class Simulator;

// One quote: Type (a qt... constant), Price, IsValid.
class SimQuote : public SimObject<SimQuote> {
 public:
  static const com::Members<SimQuote>& Table();
  SimQuote(int32_t type, double price, bool valid) : type(type), price(price), valid(valid) {}
  int32_t type;
  double price;
  bool valid;
};

struct QuotesTag {
  static constexpr const char* kName = "CQGQuotes";
};
using SimQuotes = SimList<QuotesTag>;

struct QuoteValue {
  int32_t type;
  double price;
  bool valid = true;
};
std::shared_ptr<SimQuotes> MakeQuotes(const std::vector<QuoteValue>& quotes);

class SimInstrument : public SimObject<SimInstrument> {
 public:
  static const com::Members<SimInstrument>& Table();
  explicit SimInstrument(std::string full_name);

  std::string full_name;
  int32_t data_subscription_level;
  std::map<int32_t, double> last_prices;  // latest valid price per quote type
};

struct InstrumentsTag {
  static constexpr const char* kName = "CQGInstruments";
};
using SimInstruments = SimList<InstrumentsTag>;

// The area's state: catalogue and subscribed instruments.
class InstrumentArea {
 public:
  explicit InstrumentArea(Simulator& sim);

  // Full name a request resolves to, or "" when the catalogue has none.
  std::string Resolve(std::string_view symbol) const;
  void Define(std::string full_name);
  // Replaces the catalogue (market mode: the market's instruments only).
  void SetCatalogue(std::vector<std::string> full_names) { catalogue_ = std::move(full_names); }
  const std::vector<std::string>& catalogue() const { return catalogue_; }

  // The subscribed instrument whose full name is `symbol` or ends in "." + `symbol`.
  std::shared_ptr<SimInstrument> Find(std::string_view symbol) const;
  // Find, or std::invalid_argument "'<symbol>' is not subscribed".
  std::shared_ptr<SimInstrument> Require(std::string_view symbol) const;
  // Subscribes `full_name` (once) and returns its instrument.
  std::shared_ptr<SimInstrument> Subscribe(const std::string& full_name);
  // False when the object is not a subscribed instrument.
  bool Remove(const com::DispatchPtr& instrument);
  const std::shared_ptr<SimInstruments>& instruments() const { return instruments_; }

  // Raises OnInstrumentChanged for `instrument` with these quotes (remembering the prices).
  void PushQuotes(const std::shared_ptr<SimInstrument>& instrument,
                  const std::vector<QuoteValue>& quotes);

 private:
  Simulator& sim_;
  std::vector<std::string> catalogue_;
  std::shared_ptr<SimInstruments> instruments_;
};

}  // namespace mx::cqgcel
