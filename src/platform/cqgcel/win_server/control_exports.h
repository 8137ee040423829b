// The simulator's controls, exported by the server DLL for tests and tools in the same
// process (a program that created CQGCEL through COM reaches the very simulator COM
// loaded). Plain C: each returns S_OK or a failure code, whose text MxSimLastError
// gives (on the calling thread).
//
// They act as the portable simulator's control functions do: on the live simulator (the
// most recently created CQGCEL that still exists), on its home thread (they wait for it,
// so that thread must be pumping), except Reset and SetAnswer, which apply to the next
// simulator too.
#pragma once

#include "platform/com/win/windows_headers.h"

extern "C" {

// Answers back to their defaults, journal emptied.
HRESULT MxSimReset();
// How `request` ("Startup", "CreateObject", "GWLogon", ...) is answered from now on:
// mode "succeed", "fail" (error object `code`, `description`), "fail_without_error",
// "hold" or "raise"; `delay_ms` before the answer.
HRESULT MxSimSetAnswer(const char* request, const char* mode, int delay_ms, int code,
                       const char* description);
// Lets NewInstrument resolve `full_name` (and its last dotted piece).
HRESULT MxSimDefineSymbol(const char* full_name);
// Raises OnInstrumentChanged for the subscribed `symbol` with one quote.
HRESULT MxSimPushQuote(const char* symbol, int quote_type, double price);
// Books a fill of `quantity` at `price` on the order with this GUID.
HRESULT MxSimFillOrder(const char* guid, int quantity, double price);
// Posts a quit message (WM_QUIT with `exit_code`) to the simulator's home thread.
HRESULT MxSimPostQuit(int exit_code);
// Raises the event `name` that takes no arguments (OnIdle, OnCELStarted, ...) and waits
// until the sinks have had it.
HRESULT MxSimRaiseEvent(const char* name);
// The simulator's own value of a constant.
HRESULT MxSimConstant(const char* name, int* value);
// Copies the text of the calling thread's last failure (truncated to `size`); returns
// its full length.
int MxSimLastError(char* buffer, int size);

}  // extern "C"
