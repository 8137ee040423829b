// A saved market goes on in another Market exactly as the original does: same prices,
// bars, fills and identifiers; a state of another seed or market is refused.
#include <gtest/gtest.h>

#include <sstream>

#include "market_test_support.h"
#include "platform/cqgcel/market/random.h"
#include "platform/cqgcel/market/state_io.h"

namespace mx::cqgcel::market {
namespace {

using testing::Config;
using testing::Recorder;
using testing::Spec;

std::unique_ptr<Market> Build(uint64_t seed, const char* second = "F.US.CL") {
  auto m = std::make_unique<Market>(Config(seed, kMicrosPerDay / 8));
  m->AddAccount({1, "one", 1'000'000});
  m->AddInstrument(Spec("F.US.EP", 0.25, 4500, 50));
  InstrumentSpec cl = Spec(second, 0.01, 75, 1000);
  cl.volatility = 0.04;
  m->AddInstrument(cl);
  return m;
}

// Random orders, cancels and a bust for `rounds` steps; the same dice give the same calls.
void Trade(Market& m, Rng& dice, int rounds) {
  std::vector<std::string> guids;
  for (int round = 0; round < rounds; ++round) {
    const auto action = dice.Below(10);
    if (action < 3) {
      OrderRequest q;
      q.type = static_cast<OrderType>(dice.Below(3));
      q.side = dice.Below(2) ? Side::Buy : Side::Sell;
      q.gw_account_id = 1;
      q.instrument = dice.Below(2) ? "EP" : "CL";
      q.quantity = 1 + static_cast<int64_t>(dice.Below(30));
      const Instrument& i = *m.FindInstrument(q.instrument);
      const double offset = (static_cast<double>(dice.Below(11)) - 5) * i.spec().tick_size;
      q.limit_price = i.last_trade_price() + offset;
      q.stop_price = i.last_trade_price() + (q.side == Side::Buy ? 1 : -1) * 3 * i.spec().tick_size;
      guids.push_back(m.PlaceOrder(q).guid);
    } else if (action == 3 && !guids.empty()) {
      m.CancelOrder(guids[dice.Below(guids.size())]);
    } else if (action == 4 && !m.fills().empty()) {
      const Fill& f = m.fills()[dice.Below(m.fills().size())];
      if (f.status != FillStatus::Busted) m.AmendFill(f.id, std::nullopt);
    }
    m.Step();
  }
}

std::string Saved(const Market& m) {
  std::ostringstream out;
  StateWriter w(out);
  m.Save(w);
  return out.str();
}

TEST(MarketState, ALoadedMarketGoesOnExactlyAsTheOriginal) {
  auto original = Build(5);
  Rng dice(17);
  Trade(*original, dice, 3000);
  const std::string state = Saved(*original);

  auto copy = Build(5);
  std::istringstream in(state);
  StateReader reader(in);
  copy->Load(reader);
  EXPECT_EQ(Saved(*copy), state);  // nothing lost or changed on the way

  Recorder a, b;
  original->SetListener(&a);
  copy->SetListener(&b);
  Rng dice_a = dice, dice_b = dice;
  Trade(*original, dice_a, 3000);
  Trade(*copy, dice_b, 3000);
  ASSERT_GT(a.fills.size(), 10u);
  EXPECT_EQ(a.lines, b.lines);
  EXPECT_EQ(Saved(*original), Saved(*copy));
}

TEST(MarketState, AStateOfAnotherMarketIsRefused) {
  auto source = Build(5);
  source->Advance(source->Now() + kMicrosPerMinute);
  const std::string state = Saved(*source);
  struct Case {
    const char* label;
    std::unique_ptr<Market> target;
    std::string text;
    const char* error;
  } cases[] = {
      {"another seed", Build(6), state, "seed 5"},
      {"another instrument", Build(5, "F.US.GC"), state, "F.US.CL"},
      {"cut short", Build(5), state.substr(0, state.size() / 2), ""},
      {"not a state", Build(5), "hello world", "expected 'market'"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::istringstream in(c.text);
    StateReader reader(in);
    try {
      c.target->Load(reader);
      ADD_FAILURE() << "loaded";
    } catch (const StateError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace mx::cqgcel::market
