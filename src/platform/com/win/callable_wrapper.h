// The callable wrapper: one of the runtime's own objects (an Object<T>, a proxy, a Python
// object) served to COM clients as an IDispatch, so that it can be marshalled to other
// apartments, passed as an argument, or driven by any automation client.
//
// GetIDsOfNames gives each member name the object knows (exactly, else ignoring case, as
// automation clients such as VBScript expect) a DISPID of its own on first use; Invoke
// calls the object by name. DISPATCH_METHOD | DISPATCH_PROPERTYGET (how scripts read)
// is a Get for a property and a Method call otherwise. Omitted arguments arrive empty.
// A ComError becomes the call's exception (DISP_E_EXCEPTION, its code and description).
//
// Thread-safety: a wrapper calls its object on whichever thread COM calls it: the
// creating apartment's thread when it is reached through a marshalled interface.
#pragma once

#include "platform/com/dispatch.h"
#include "platform/com/win/com_ptr.h"

namespace mx::com::win {

// The one wrapper of `object` (the same COM identity each time), made on first use.
ComPtr<::IDispatch> CallableWrapperFor(const DispatchPtr& object);
// The object behind `d` when `d` is a wrapper this module made (not a proxy of one);
// nullptr otherwise.
DispatchPtr WrappedObject(::IDispatch* d);

}  // namespace mx::com::win
