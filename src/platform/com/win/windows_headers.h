// The Win32 and OLE headers the Windows backend uses, included first in its sources.
//
// objbase.h defines `interface` as a macro, which would rename EventSource::interface()
// in our headers; it is undefined once the system headers are in.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

#include <oaidl.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>
#include <windows.h>

#undef interface
