// OsEvent over Win32 events (see sync.h).
#include <algorithm>

#include "platform/com/sync.h"
#include "platform/com/win/windows_headers.h"

namespace mx::com {

OsEvent::OsEvent()
    : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      closed_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

OsEvent::~OsEvent() {
  if (event_) CloseHandle(static_cast<HANDLE>(event_));
  if (closed_event_) CloseHandle(static_cast<HANDLE>(closed_event_));
}

void OsEvent::Set() { SetEvent(static_cast<HANDLE>(event_)); }

void OsEvent::Reset() { ResetEvent(static_cast<HANDLE>(event_)); }

bool OsEvent::TryConsume() {
  return !IsClosed() && WaitForSingleObject(static_cast<HANDLE>(event_), 0) == WAIT_OBJECT_0;
}

bool OsEvent::IsSignalled() const {
  // A look consumes an auto-reset event's signal: give it back.
  if (WaitForSingleObject(static_cast<HANDLE>(event_), 0) != WAIT_OBJECT_0) return false;
  SetEvent(static_cast<HANDLE>(event_));
  return true;
}

void OsEvent::Close() {
  closed_.store(true, std::memory_order_release);
  SetEvent(static_cast<HANDLE>(closed_event_));  // every wait wakes and sees the closed handle
}

bool OsEvent::Wait(std::optional<std::chrono::milliseconds> timeout) {
  if (IsClosed()) return false;
  HANDLE handles[] = {static_cast<HANDLE>(event_), static_cast<HANDLE>(closed_event_)};
  DWORD ms = INFINITE;
  if (timeout) ms = static_cast<DWORD>(std::clamp<long long>(timeout->count(), 0, INFINITE - 1));
  DWORD rc = WaitForMultipleObjects(2, handles, FALSE, ms);
  return rc == WAIT_OBJECT_0 && !IsClosed();
}

}  // namespace mx::com
