// Test helpers for the registered CQGCEL server: its exported controls (the server DLL
// that COM loads into this process, reached by the path it was registered with) and
// waits with a deadline that keep the calling apartment pumping.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/com/apartment.h"
#include "platform/com/win/windows_headers.h"
#include "platform/cqgcel/win_server/control_exports.h"

namespace mx::cqgcel::test {

class SimServer {
 public:
  static SimServer& Instance() {
    static SimServer server;
    return server;
  }

  void Reset() { Check(reset_(), "MxSimReset"); }
  void SetAnswer(const char* request, const char* mode, int delay_ms = 0, int code = 0,
                 const char* description = "") {
    Check(set_answer_(request, mode, delay_ms, code, description), "MxSimSetAnswer");
  }
  void DefineSymbol(const char* name) { Check(define_symbol_(name), "MxSimDefineSymbol"); }
  void PushQuote(const char* symbol, int type, double price) {
    Check(push_quote_(symbol, type, price), "MxSimPushQuote");
  }
  void FillOrder(const std::string& guid, int quantity, double price) {
    Check(fill_order_(guid.c_str(), quantity, price), "MxSimFillOrder");
  }
  void PostQuit(int code) { Check(post_quit_(code), "MxSimPostQuit"); }
  void RaiseEvent(const char* name) { Check(raise_event_(name), "MxSimRaiseEvent"); }
  int Constant(const char* name) {
    int value = 0;
    Check(constant_(name, &value), "MxSimConstant");
    return value;
  }
  // The HRESULT of a control call that is expected to fail, and its text.
  HRESULT PushQuoteResult(const char* symbol, std::string& text) {
    HRESULT hr = push_quote_(symbol, 0, 1.0);
    text = LastError();
    return hr;
  }

 private:
  SimServer() {
    // The path COM has registered (drive Z: is the Linux root under wine).
    std::wstring path = MX_CQGCEL_SERVER_DLL;
    for (auto& c : path) {
      if (c == L'/') c = L'\\';
    }
    module_ = LoadLibraryW(path.c_str());
    if (module_ == nullptr) throw std::runtime_error("cannot load the CQGCEL server DLL");
    Resolve(reset_, "MxSimReset");
    Resolve(set_answer_, "MxSimSetAnswer");
    Resolve(define_symbol_, "MxSimDefineSymbol");
    Resolve(push_quote_, "MxSimPushQuote");
    Resolve(fill_order_, "MxSimFillOrder");
    Resolve(post_quit_, "MxSimPostQuit");
    Resolve(raise_event_, "MxSimRaiseEvent");
    Resolve(constant_, "MxSimConstant");
    Resolve(last_error_, "MxSimLastError");
  }
  template <class F>
  void Resolve(F*& slot, const char* name) {
    slot = reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    if (slot == nullptr) throw std::runtime_error(std::string("the server exports no ") + name);
  }
  std::string LastError() {
    char text[512];
    last_error_(text, sizeof text);
    return text;
  }
  void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) throw std::runtime_error(std::string(what) + ": " + LastError());
  }

  HMODULE module_ = nullptr;
  decltype(&MxSimReset) reset_ = nullptr;
  decltype(&MxSimSetAnswer) set_answer_ = nullptr;
  decltype(&MxSimDefineSymbol) define_symbol_ = nullptr;
  decltype(&MxSimPushQuote) push_quote_ = nullptr;
  decltype(&MxSimFillOrder) fill_order_ = nullptr;
  decltype(&MxSimPostQuit) post_quit_ = nullptr;
  decltype(&MxSimRaiseEvent) raise_event_ = nullptr;
  decltype(&MxSimConstant) constant_ = nullptr;
  decltype(&MxSimLastError) last_error_ = nullptr;
};

// Pumps the calling thread's apartment until `done` holds or 10 s pass.
inline bool PumpUntil(const std::function<bool()>& done) {
  auto apartment = com::Apartment::Current();
  com::OsEvent never;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (apartment->MsgWaitForMultipleObjects(never, std::chrono::milliseconds(20)) ==
        com::Apartment::WaitResult::InputQueued) {
      apartment->PumpWaitingMessages();
    }
  }
  return true;
}

}  // namespace mx::cqgcel::test
