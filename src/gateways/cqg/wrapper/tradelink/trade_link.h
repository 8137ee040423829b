// TradeLink: the CQG gateway. At once the sink of CQGCEL's events (a CELSinkBase) and the
// object through which the host's CQG gateway logs on, subscribes market data, trades and
// reads its account.
//
// Life: the COM host constructs it on the COM thread (no arguments, talks to nothing);
// the host gateway calls Init(gateway), then Logon, then the other operations; events
// arrive on the COM thread at any time after CQGCEL has started.
//
// Threads (the rule that keeps it deadlock-free):
// - Operations the host calls ("caller operations") run on the caller's thread with the
//   GIL held on entry; every call through cqgCEL and every wait releases the GIL.
//   They must not run on the COM thread (their waits need it to deliver the answer).
// - Event operations run on the COM thread. The C++ overrides below (On...) are the
//   delivery boundary: they run the Handle... bodies and turn a Python error into a
//   std::runtime_error("Type: text"), which CELSinkBase traces as one line. Handle...
//   bodies are entered without the GIL; they read CQGCEL objects first and take the GIL
//   (lazily, kept across a run of events) only for the host's Python objects.
// - Python-object fields are read and written under the GIL only. The manual-reset
//   events and the order hand-over (order_id, the GUID being placed) are thread-safe.
//   place_order may be called from several threads: placements run one at a time.
//
// Errors raised to Python by caller operations: TypeError for an argument of the wrong
// kind (before anything is sent), ValueError / RuntimeError with the fixed texts, and
// CQGCEL's ComError unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "gateways/cqg/wrapper/comhost/cel_sink_base.h"
#include "gateways/cqg/wrapper/tradelink/cel_tables.h"
#include "gateways/cqg/wrapper/tradelink/order_request.h"
#include "gateways/cqg/wrapper/tradelink/place_timeline.h"
#include "platform/com/dispatch.h"
#include "platform/com/sync.h"

namespace mx::tradelink {

namespace py = pybind11;
using com::Variant;

struct QuoteEventRead;  // tradelink_quotes.cpp

class TradeLink : public comhost::CELSinkBase {
 public:
  TradeLink();
  ~TradeLink() override;
  TradeLink(const TradeLink&) = delete;
  TradeLink& operator=(const TradeLink&) = delete;

  // ===== State, in the order the constructor sets it =====================================
  const std::shared_ptr<com::ManualResetEvent> eventGatewayIsUp;
  const std::shared_ptr<com::ManualResetEvent> eventGatewayIsDown;
  const std::shared_ptr<com::ManualResetEvent> eventAccountIsReady;
  const std::shared_ptr<com::ManualResetEvent> eventOrderPlaced;
  const std::shared_ptr<com::ManualResetEvent> eventQuoteDone;
  const std::shared_ptr<com::ManualResetEvent> eventOrderbookDone;
  const std::shared_ptr<com::ManualResetEvent> eventBarDone;
  py::dict subscribe_bars_data;  // security -> list of Bar; GIL, and bars_mu_ (below)
  py::object account_balance;    // AccountBalance; GIL
  py::object positions;          // list of PositionData; GIL
  // order_id: text or absent; see order_id() / set_order_id().
  py::object comHost;  // the Python ComHost; GIL
  py::object gateway;  // the host gateway; GIL
  // GWAccountID: see GWAccountID() / set_GWAccountID().

  std::optional<std::string> order_id() const;
  void set_order_id(std::optional<std::string> value);
  // AttributeError when no account has been subscribed yet (GIL held).
  int64_t GWAccountID() const;
  bool has_GWAccountID() const { return gw_account_id_.has_value(); }
  void set_GWAccountID(int64_t id) { gw_account_id_ = id; }

  // ===== Session (tradelink_session.cpp) =================================================
  void Init(py::object gateway);
  void Logon(const std::string& user_name, const std::string& password);
  void Logoff();
  // The account whose GWAccountID equals `id` (bound to the COM thread), or null; traces
  // every account visited.
  com::DispatchPtr get_account_from_gwaccountid(int64_t id);

  void OnGWConnectionStatusChanged(const Variant& connectionStatus) override;
  void OnDataConnectionStatusChanged(const Variant& newStatus) override;
  void OnDataError(const Variant& cqgError, const Variant& errorDescription) override;
  void HandleGWConnectionStatusChanged(const Variant& connectionStatus);
  void HandleDataConnectionStatusChanged(const Variant& newStatus);
  void HandleDataError(const Variant& cqgError, const Variant& errorDescription);

  // ===== Instruments and quotes (tradelink_quotes.cpp) ===================================
  com::DispatchPtr get_instrument_from_cqg_symbol(const std::string& cqg_symbol);
  void subscribe_quote(const std::string& cqg_symbol);
  void unsubscribe_quote(const std::string& cqg_symbol);

  void OnInstrumentResolved(const Variant& symbol, const Variant& cqgInstrument,
                            const Variant& cqgError) override;
  void OnInstrumentChanged(const Variant& cqgInstrument, const Variant& cqgQuotes,
                           const Variant& cqgInstrumentProperties) override;
  void HandleInstrumentResolved(const Variant& symbol, const Variant& cqgInstrument,
                                const Variant& cqgError);
  void HandleInstrumentChanged(const Variant& cqgInstrument, const Variant& cqgQuotes,
                               const Variant& cqgInstrumentProperties);

  // ===== Account and positions (tradelink_account.cpp) ===================================
  void subscribe_account_and_positions(int64_t id);
  void unsubscribe_account_and_positions(int64_t id);
  void update_account_balance();
  void update_positions();

  void OnAccountChanged(const Variant& change, const Variant& cqgAccount,
                        const Variant& cqgPosition) override;
  void HandleAccountChanged(const Variant& change, const Variant& cqgAccount,
                            const Variant& cqgPosition);

  // ===== Orders (tradelink_orders.cpp) ===================================================
  std::string place_order(py::object order);
  void cancel_order(const std::string& orderid);

  void OnOrderChanged(const Variant& changeType, const Variant& cqgOrder,
                      const Variant& oldProperties, const Variant& cqgFill,
                      const Variant& cqgError) override;
  void HandleOrderChanged(const Variant& changeType, const Variant& cqgOrder,
                          const Variant& oldProperties, const Variant& cqgFill,
                          const Variant& cqgError);

  // ===== Market data: order book, timed bars, bar retrieval ==============================
  // Order book (tradelink_orderbook.cpp).
  void subscribe_orderbook(const std::string& cqg_symbol);
  void unsubscribe_orderbook(const std::string& cqg_symbol);
  com::DispatchPtr get_ticks_from_cqg_symbol(const std::string& cqg_symbol);
  void OnTicksResolved(const Variant& cqgTicks, const Variant& cqgError) override;
  void OnTicksAdded(const Variant& cqgTicks, const Variant& addedTicksCount) override;
  void OnTicksRemoved(const Variant& cqgTicks, const Variant& removedTickIndex) override;
  void HandleTicksResolved(const Variant& cqgTicks, const Variant& cqgError);
  void HandleTicksAdded(const Variant& cqgTicks, const Variant& addedTicksCount);
  void HandleTicksRemoved(const Variant& cqgTicks, const Variant& removedTickIndex);

  // Timed bars (tradelink_bars.cpp); FREQ_ALLOWED is a module value.
  void subscribe_bar(const std::string& cqg_symbol, int64_t lookback_period,
                     const std::string& freq);
  void unsubscribe_bar(const std::string& cqg_symbol);
  com::DispatchPtr get_timedbars_from_cqg_symbol(const std::string& cqg_symbol);
  void OnTimedBarsResolved(const Variant& cqgTimedBars, const Variant& cqgError) override;
  void OnTimedBarsAdded(const Variant& cqgTimedBars) override;
  void OnTimedBarsUpdated(const Variant& cqgTimedBars, const Variant& index) override;
  void OnTimedBarsRemoved(const Variant& cqgTimedBars, const Variant& index) override;
  void HandleTimedBarsResolved(const Variant& cqgTimedBars, const Variant& cqgError);
  void HandleTimedBarsAdded(const Variant& cqgTimedBars);
  void HandleTimedBarsUpdated(const Variant& cqgTimedBars, const Variant& index);
  void HandleTimedBarsRemoved(const Variant& cqgTimedBars, const Variant& index);
  void dumpBar(const Variant& bar, const Variant& index);

  // Bar retrieval with repair (tradelink_bar_data.cpp); the stored list, or None.
  py::object get_subscribe_bars_data(py::object security);

  // Guards subscribe_bars_data and its lists around each read, append, removal and repair
  // (taken with the GIL held; never held across a wait or a call into CQGCEL).
  std::mutex bars_mu_;

  // ===== Shared helpers of every area ====================================================
  // comHost.cqgCEL as cached by Init; RuntimeError before Init.
  const com::DispatchPtr& cel() const;
  // Waits for `event` for TIMEOUT seconds (read now), GIL released; true when set.
  bool WaitEvent(com::ManualResetEvent& event);
  // The same wait, entered without the GIL, for `seconds`.
  static bool WaitEventWithoutGil(com::ManualResetEvent& event, double seconds);
  // The gateway's bound methods, looked up once at Init (GIL held).
  py::handle GatewayMethod(int which);
  enum GatewayMethodId {
    kGetMxSecurity,
    kGetCqgSymbol,
    kProcessQuote,
    kProcessOrderbook,
    kProcessOrder,
    kProcessDeal,
    kGatewayMethodCount
  };
  // gateway.get_mx_security_from_cqg_symbol(symbol) (GIL held): a new reference or None.
  py::object LookupSecurity(std::string_view symbol);
  py::object LookupSecurity(const py::str& symbol);

  // When each step of the latest placement happened (see PlaceTimeline).
  const PlaceTimeline& place_timeline() const { return place_timeline_; }

  // Runs an event body at the COM delivery boundary (see the class comment).
  template <class Body>
  static void AtComBoundary(Body&& body);

 private:
  // place_order's steps. ReadOrderRequest: the host's order, on the caller's thread (GIL
  // held). PlaceOnComThread: look-ups, CreateOrder, Manual, GUID and Place, in a task on
  // the COM thread (no Python). AwaitPlaced: the wait for this order's ctAdded (no GIL);
  // true when it came, with the identifier handed over in `taken`.
  OrderRequest ReadOrderRequest(const py::object& order);
  void PlaceOnComThread(const com::DispatchPtr& home_cel, OrderRequest& request,
                        PlaceAttempt& attempt);
  bool AwaitPlaced(double timeout_seconds, std::optional<std::string>* taken);
  // OnOrderChanged's steps: the ctAdded hand-over (true when `guid` is the order being
  // placed; no GIL), then the host's records built from what was read (GIL held).
  bool HandOverPlaced(const std::string& guid);
  void ReportOrder(const OrderRead& order, HostStatus status);
  void ReportDeal(const FillRead& fill);
  // OnInstrumentChanged's second step: the quotes read, folded into the host's Quote
  // records and handed over (COM thread, GIL taken here).
  void DeliverQuotes(const QuoteEventRead& event);

  std::optional<int64_t> gw_account_id_;  // caller's thread (GIL held)
  com::DispatchPtr cel_;                  // set by Init
  py::object gateway_methods_[kGatewayMethodCount];

  // Held by place_order from start to end: one placement at a time per TradeLink, since
  // the hand-over below (the GUID expected, eventOrderPlaced, order_id) has one slot.
  // Taken with GilAwareLock (the wait for it releases the GIL).
  std::mutex place_mu_;
  // Order placing hand-over between place_order and OnOrderChanged.
  mutable std::mutex order_mu_;
  std::optional<std::string> order_id_;      // guarded by order_mu_
  std::optional<std::string> placing_guid_;  // guarded by order_mu_: the GUID being placed
  PlaceTimeline place_timeline_;
};

// Raised inside a body as a Python error; at the boundary, the error's "Type: text".
void RethrowAsRuntimeError(const pybind11::error_already_set& error);

template <class Body>
void TradeLink::AtComBoundary(Body&& body) {
  try {
    body();
  } catch (pybind11::error_already_set& e) {
    RethrowAsRuntimeError(e);
  }
}

}  // namespace mx::tradelink
