// Serving the simulator's objects to COM clients: each object is an IDispatch whose
// members are those of its dispatch interface in the server's type library
// (cqgcel.idl), found by the object's type name ("CQGOrder" -> ICQGOrder).
//
// GetIDsOfNames answers from the interface's type info (any case, as automation clients
// expect), and Invoke names the member by the DISPID the type info gives it, then calls
// the object by that name. A property read with arguments is read first and its value's
// default member called with them (Order.Properties(opGUID)). Omitted trailing
// arguments are dropped, so the object sees only what the caller passed. Objects in
// results are served the same way (one wrapper per object, so COM identity holds), and
// served objects that come back as arguments are the simulator's own objects again. An
// error the object raises is the call's exception (DISP_E_EXCEPTION with its code and
// description).
//
// Thread-safety: a served object is called on its apartment's thread, as COM does for
// apartment-threaded classes; the wrapper registry may be used from any thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/com/dispatch.h"
#include "platform/com/win/com_ptr.h"
#include "platform/com/win/windows_headers.h"

namespace mx::cqgcel::win_server {

using com::win::ComPtr;

// The type library embedded in this DLL, loaded once.
class ServerLibrary {
 public:
  static const ServerLibrary& Instance();

  // S_OK, or why the library could not be loaded (then nothing else is available).
  HRESULT status() const { return status_; }
  const std::wstring& path() const { return path_; }
  // The dispatch interface "I" + type_name, or null.
  ITypeInfo* InterfaceFor(std::string_view type_name) const;
  ITypeInfo* ClassInfo() const { return class_info_.get(); }
  ITypeInfo* EventInfo() const { return event_info_.get(); }
  const IID& EventIid() const { return event_iid_; }
  // The DISPID of an event in the library, or DISPID_UNKNOWN.
  DISPID EventId(std::string_view name) const;

 private:
  ServerLibrary();

  HRESULT status_ = S_OK;
  std::wstring path_;
  ComPtr<ITypeLib> library_;
  std::unordered_map<std::string, ComPtr<ITypeInfo>> interfaces_;  // by type name
  ComPtr<ITypeInfo> class_info_;
  ComPtr<ITypeInfo> event_info_;
  IID event_iid_{};
  std::unordered_map<std::string, DISPID> event_ids_;
};

class ServedObject : public ::IDispatch {
 public:
  // The IDispatch a client gets for `object`: its served wrapper when the library has an
  // interface for its type, the runtime's callable wrapper otherwise, and a COM object's
  // own interface for a COM object.
  static ComPtr<::IDispatch> For(const com::DispatchPtr& object);
  // The simulator object behind `d` when `d` is a wrapper of this module, else null.
  static com::DispatchPtr Native(::IDispatch* d);
  // Wrappers alive (DllCanUnloadNow).
  static long LiveCount();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* arg_error) override;

  const com::DispatchPtr& object() const { return object_; }
  // Held while a wrapper is made or leaves.
  static std::mutex& RegistryLock();

 protected:
  // Registers the wrapper as `object`'s (the caller holds the registry lock).
  ServedObject(com::DispatchPtr object, ITypeInfo* info);
  virtual ~ServedObject();
  // Further interfaces of a subclass (already AddRef'ed), or null.
  virtual void* QueryMore(REFIID) { return nullptr; }

 private:
  // The object's name of member `id` (from the type info), or "" when the info has none.
  std::string MemberName(DISPID id);
  com::Variant Call(const std::string& name, WORD flags, DISPPARAMS* params);
  HRESULT Raise(EXCEPINFO* info, int32_t code, std::string_view description) const;

  com::DispatchPtr object_;
  ComPtr<ITypeInfo> info_;
  std::atomic<ULONG> refs_{0};
  std::unordered_map<DISPID, std::string> names_;  // apartment thread only
};

// A value for a client: objects served as above, everything else as the runtime converts.
void ToClientVariant(const com::Variant& value, VARIANT* out);
// A client's value for the simulator: served objects become the simulator's own again.
com::Variant FromClientVariant(const VARIANT& value);

}  // namespace mx::cqgcel::win_server
