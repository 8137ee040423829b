#include "platform/cqgcel/win_server/control_exports.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "platform/com/com_error.h"
#include "platform/cqgcel/cel_library.h"
#include "platform/cqgcel/control.h"
#include "platform/cqgcel/sim_instruments.h"
#include "platform/cqgcel/sim_orders.h"
#include "platform/cqgcel/simulator.h"

namespace mx::cqgcel {
namespace {

thread_local std::string last_error;

template <class F>
HRESULT Guarded(F&& f) {
  try {
    f();
    last_error.clear();
    return S_OK;
  } catch (const com::ComError& e) {
    last_error = e.description();
    return FAILED(e.code()) ? e.code() : E_FAIL;
  } catch (const std::invalid_argument& e) {
    last_error = e.what();
    return E_INVALIDARG;
  } catch (const std::exception& e) {
    last_error = e.what();
    return E_FAIL;
  }
}

std::shared_ptr<Simulator> Live() { return Control::Instance().RequireLive(); }

std::string Text(const char* s, const char* what) {
  if (s == nullptr) throw std::invalid_argument(std::string(what) + " is missing");
  return s;
}

}  // namespace
}  // namespace mx::cqgcel

using namespace mx::cqgcel;

extern "C" {

HRESULT MxSimReset() {
  return Guarded([] { Control::Instance().Reset(); });
}

HRESULT MxSimSetAnswer(const char* request, const char* mode, int delay_ms, int code,
                       const char* description) {
  return Guarded([&] {
    std::string kind = Text(mode, "mode");
    std::string text = description ? description : "";
    if (delay_ms < 0) throw std::invalid_argument("delay_ms must be >= 0");
    Answer answer = Answer::FromMode(kind, std::chrono::milliseconds(delay_ms), code, text);
    Control::Instance().script().Set(Text(request, "request"), answer);
  });
}

HRESULT MxSimDefineSymbol(const char* full_name) {
  return Guarded([&] {
    std::string name = Text(full_name, "full_name");
    auto sim = Live();
    sim->RunOnHome([&] { sim->Area<InstrumentArea>().Define(name); });
  });
}

HRESULT MxSimPushQuote(const char* symbol, int quote_type, double price) {
  return Guarded([&] {
    std::string name = Text(symbol, "symbol");
    auto sim = Live();
    sim->RunOnHome([&] {
      auto& area = sim->Area<InstrumentArea>();
      area.PushQuotes(area.Require(name), {QuoteValue{quote_type, price, true}});
    });
  });
}

HRESULT MxSimFillOrder(const char* guid, int quantity, double price) {
  return Guarded([&] {
    std::string id = Text(guid, "guid");
    auto sim = Live();
    sim->RunOnHome([&] {
      auto& orders = sim->Area<OrderArea>();
      orders.Fill(orders.Require(id), quantity, price, Constant("fsNormal"));
    });
  });
}

HRESULT MxSimPostQuit(int exit_code) {
  return Guarded([&] { Control::Instance().PostQuit(exit_code); });
}

HRESULT MxSimRaiseEvent(const char* name) {
  return Guarded([&] { Control::Instance().RaiseEvent(Text(name, "name"), {}, true); });
}

HRESULT MxSimConstant(const char* name, int* value) {
  return Guarded([&] {
    if (value == nullptr) throw std::invalid_argument("value is missing");
    *value = Constant(Text(name, "name"));
  });
}

int MxSimLastError(char* buffer, int size) {
  const std::string& text = mx::cqgcel::last_error;
  if (buffer != nullptr && size > 0) {
    size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(text.size());
}

}  // extern "C"
