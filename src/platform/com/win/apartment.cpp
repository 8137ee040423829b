// The Windows apartment: a single-threaded COM apartment (CoInitializeEx) whose queue is
// the thread's Win32 message queue. Tasks are posted to a message-only window of the
// home thread (so that any message loop running there, COM's own included, dispatches
// them), timers are window timers, and a quit is PostThreadMessage(WM_QUIT) in the same
// queue, so that it keeps its place among the tasks.
#include "platform/com/apartment.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <map>
#include <type_traits>
#include <utility>

#include "platform/com/backend.h"
#include "platform/com/com_error.h"
#include "platform/com/win/convert.h"
#include "platform/com/win/windows_headers.h"

namespace mx::com {
namespace {

constexpr UINT kTaskMessage = WM_APP + 0x4d58;  // lParam: the task's id (0 only wakes)
constexpr wchar_t kWindowClass[] = L"mx.com.Apartment";

// Task and timer ids are unique in the process, so that a message that reaches a window
// which reuses a destroyed window's handle finds nothing to run.
std::atomic<uint64_t> next_task_id{1};

// The apartment a thread entered. It lives in a fiber-local slot rather than a
// thread_local object: mingw-w64 can run a thread_local's destructor after the storage of
// the variable is gone (a thread ending with an apartment crashed so under wine), while
// the slot's callback runs at thread exit with the value still whole.
struct ThreadApartment {
  std::shared_ptr<Apartment> apartment;
  int entered = 0;
};

// The thread ends without CoUninitialize: abandon what is queued. The system destroys the
// window and the COM apartment with the thread.
void WINAPI ThreadEnded(void* data) {
  auto* t = static_cast<ThreadApartment*>(data);
  if (t != nullptr && t->apartment) t->apartment->Close();
  delete t;
}

DWORD ApartmentSlot() {
  static const DWORD slot = [] {
    DWORD s = FlsAlloc(&ThreadEnded);
    if (s == FLS_OUT_OF_INDEXES) win::Check(HRESULT_FROM_WIN32(GetLastError()), "FlsAlloc");
    return s;
  }();
  return slot;
}

// This thread's record, or null before it first entered an apartment.
ThreadApartment* FindThreadApartment() {
  return static_cast<ThreadApartment*>(FlsGetValue(ApartmentSlot()));
}

ThreadApartment& ThisThreadApartment() {
  ThreadApartment* t = FindThreadApartment();
  if (t == nullptr) {
    t = new ThreadApartment();
    if (!FlsSetValue(ApartmentSlot(), t)) {
      delete t;
      win::Check(HRESULT_FROM_WIN32(GetLastError()), "FlsSetValue");
    }
  }
  return *t;
}

}  // namespace

const std::chrono::microseconds backend::kRunSpin{0};

struct ApartmentWindow {
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* apartment = reinterpret_cast<Apartment*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (apartment != nullptr && message == kTaskMessage) {
      RunTask(*apartment, apartment->pending_, static_cast<uint64_t>(lparam));
      return 0;
    }
    if (apartment != nullptr && message == WM_TIMER) {
      KillTimer(window, wparam);
      RunTask(*apartment, apartment->timers_, static_cast<uint64_t>(wparam));
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  template <class Map>
  static void RunTask(Apartment& a, Map& tasks, uint64_t id) {
    Apartment::Task run;
    {
      std::lock_guard lk(a.mu_);
      auto it = tasks.find(id);
      if (it == tasks.end()) return;  // abandoned, or only a wake-up
      if constexpr (std::is_same_v<typename Map::mapped_type, Apartment::Task>) {
        run = std::move(it->second);
      } else {
        run = std::move(it->second.run);
      }
      tasks.erase(it);
    }
    ++a.dispatched_;
    try {
      run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "apartment: a posted task failed: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "apartment: a posted task failed\n");
    }
  }

  // The module (program or DLL) that holds this code: each module that links the runtime
  // registers its own window class, so that a COM server DLL and its client program each
  // have their apartment windows on the same thread.
  static HINSTANCE Module() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&Procedure), &module);
    return module;
  }

  static HWND Create(Apartment* apartment) {
    static const ATOM registered = [] {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = &Procedure;
      wc.hInstance = Module();
      wc.lpszClassName = kWindowClass;
      return RegisterClassExW(&wc);
    }();
    if (registered == 0) return nullptr;
    HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  Module(), nullptr);
    if (window != nullptr) {
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(apartment));
    }
    return window;
  }
};

Apartment::Apartment() : home_(std::this_thread::get_id()), thread_id_(GetCurrentThreadId()) {}

Apartment::~Apartment() { Close(); }

std::shared_ptr<Apartment> Apartment::Current() {
  ThreadApartment* t = FindThreadApartment();
  return t != nullptr ? t->apartment : nullptr;
}

std::shared_ptr<Apartment> Apartment::EnterCurrent() {
  auto& t = ThisThreadApartment();
  if (!t.apartment) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    win::Check(hr, "CoInitializeEx");
    std::shared_ptr<Apartment> apartment(new Apartment());
    apartment->window_ = ApartmentWindow::Create(apartment.get());
    if (apartment->window_ == nullptr) {
      HRESULT error = HRESULT_FROM_WIN32(GetLastError());
      CoUninitialize();
      win::Check(FAILED(error) ? error : E_FAIL, "CreateWindowEx (apartment queue)");
    }
    t.apartment = std::move(apartment);
  }
  ++t.entered;
  return t.apartment;
}

bool Apartment::LeaveCurrent() {
  ThreadApartment* found = FindThreadApartment();
  if (found == nullptr || !found->apartment) return false;
  auto& t = *found;
  if (--t.entered == 0) {
    std::shared_ptr<Apartment> apartment = std::move(t.apartment);
    apartment->Close();
    SetWindowLongPtrW(static_cast<HWND>(apartment->window_), GWLP_USERDATA, 0);
    DestroyWindow(static_cast<HWND>(apartment->window_));
    CoUninitialize();
  }
  return true;
}

bool Apartment::Post(Task task, Task abandon) {
  const uint64_t id = next_task_id.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard lk(mu_);
    if (closed_) return false;
    pending_.emplace(id, Pending{std::move(task), std::move(abandon)});
  }
  if (!PostMessageW(static_cast<HWND>(window_), kTaskMessage, 0, static_cast<LPARAM>(id))) {
    // The window is gone: the apartment closed meanwhile (and abandoned the task).
    std::lock_guard lk(mu_);
    pending_.erase(id);
    return false;
  }
  return true;
}

bool Apartment::PostAfter(std::chrono::nanoseconds delay, Task task) {
  if (!IsHomeThread()) {
    // A window timer is set by the window's own thread.
    return Post([self = shared_from_this(), delay, task = std::move(task)]() mutable {
      self->PostAfter(delay, std::move(task));
    });
  }
  const uint64_t id = next_task_id.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard lk(mu_);
    if (closed_) return false;
    timers_.emplace(id, std::move(task));
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(delay).count();
  UINT elapse = static_cast<UINT>(std::clamp<long long>(ms, USER_TIMER_MINIMUM, 0x7FFFFFFF));
  if (SetTimer(static_cast<HWND>(window_), static_cast<UINT_PTR>(id), elapse, nullptr) == 0) {
    std::lock_guard lk(mu_);
    timers_.erase(id);
    return false;
  }
  return true;
}

bool Apartment::PostQuit(int exit_code) {
  {
    std::lock_guard lk(mu_);
    if (closed_) return false;
  }
  return PostThreadMessageW(thread_id_, WM_QUIT, static_cast<WPARAM>(exit_code), 0) != FALSE;
}

void Apartment::InjectWaitFailure() {
  {
    std::lock_guard lk(mu_);
    inject_failure_ = true;
  }
  PostMessageW(static_cast<HWND>(window_), kTaskMessage, 0, 0);  // wake a wait under way
}

Apartment::WaitResult Apartment::MsgWaitForMultipleObjects(
    OsEvent& handle, std::optional<std::chrono::milliseconds> timeout) {
  if (!IsHomeThread() || handle.IsClosed()) return WaitResult::Failed;
  {
    std::lock_guard lk(mu_);
    if (closed_) return WaitResult::Failed;
    if (inject_failure_) {
      inject_failure_ = false;
      return WaitResult::Failed;
    }
  }
  HANDLE handles[] = {static_cast<HANDLE>(handle.event_),
                      static_cast<HANDLE>(handle.closed_event_)};
  DWORD ms = INFINITE;
  if (timeout) ms = static_cast<DWORD>(std::clamp<long long>(timeout->count(), 0, INFINITE - 1));
  // A first look without blocking; the idle hooks run only when the thread will block.
  DWORD rc = ::MsgWaitForMultipleObjectsEx(2, handles, 0, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (rc == WAIT_TIMEOUT && ms != 0) {
    RunIdleHooks();
    rc = ::MsgWaitForMultipleObjectsEx(2, handles, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  switch (rc) {
    case WAIT_OBJECT_0:
      return handle.IsClosed() ? WaitResult::Failed : WaitResult::Signalled;
    case WAIT_OBJECT_0 + 2: {
      std::lock_guard lk(mu_);
      if (inject_failure_) {
        inject_failure_ = false;
        return WaitResult::Failed;
      }
      return WaitResult::InputQueued;
    }
    case WAIT_TIMEOUT:
      return WaitResult::Timeout;
    default:
      return WaitResult::Failed;  // the handle closed, or the wait itself failed
  }
}

Apartment::PumpResult Apartment::PumpWaitingMessages() {
  PumpResult r;
  const size_t outer = std::exchange(dispatched_, 0);  // a task may pump too
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      r.quit = true;
      r.exit_code = static_cast<int>(msg.wParam);
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  r.dispatched = dispatched_;
  dispatched_ = outer + r.dispatched;
  return r;
}

void Apartment::Close() {
  std::map<uint64_t, Pending> abandoned;  // in the order they were posted
  {
    std::lock_guard lk(mu_);
    if (closed_) return;
    closed_ = true;
    for (auto& [id, p] : pending_) abandoned.emplace(id, std::move(p));
    pending_.clear();
    timers_.clear();
  }
  if (IsHomeThread()) {
    RunIdleHooks();
  } else {
    PostMessageW(static_cast<HWND>(window_), kTaskMessage, 0, 0);  // wake a wait under way
  }
  for (auto& [id, p] : abandoned) {
    if (p.abandon) p.abandon();
  }
}

}  // namespace mx::com
