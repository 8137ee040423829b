// IDispatch: late binding by name, the one interface through which every object is used.
//
// A member is reached by name with a call kind: Get (property read, optionally with
// arguments, as in Summary.Balance(0)), Put (property write, the value as the single
// argument) or Method. The empty name is the object's default member (calling the object
// itself, as in Properties(opGUID)); objects that define none forward it to "Item".
// Collections are iterated with Enumerate() and counted with their "Count" property.
//
// Thread-safety: an object belongs to the apartment that created it; Invoke and
// Enumerate run on that apartment's thread (a proxy from CoGetInterfaceAndReleaseStream
// carries calls there). Describe, TypeName, MemberNames and Identity are callable from any
// thread (member sets are fixed per class).
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/variant.h"

namespace mx::com {

enum class CallKind { Get, Put, Method };
// Property: read as a value. Method: callable (methods and properties taking arguments).
enum class MemberKind { None, Property, Method };

class EventSource;
class TypeInfo;

class IDispatch : public std::enable_shared_from_this<IDispatch> {
 public:
  virtual ~IDispatch() = default;

  // Throws ComError: unknown member (DISP_E_UNKNOWNNAME), wrong kind or arguments, or any
  // error the member raises.
  virtual Variant Invoke(std::string_view name, CallKind kind, Args args) = 0;
  virtual MemberKind Describe(std::string_view name) const = 0;
  virtual std::string_view TypeName() const = 0;
  virtual std::vector<std::string> MemberNames() const { return {}; }
  // The members of a collection, in its order. Default: Item(i) for i < Count.
  virtual std::vector<Variant> Enumerate();
  // Same underlying object (a proxy answers its target's identity).
  virtual const void* Identity() const { return this; }
  // True for a proxy whose calls wait for another thread (callers drop locks first).
  virtual bool IsProxy() const { return false; }
  // The object's outgoing events, or nullptr when it raises none.
  virtual EventSource* Events() { return nullptr; }
  // The object's type information (its class in its type library), or nullptr when it
  // has none. Callable from any thread. Hosts use TypeLibraryOf and SourceEventsOf.
  virtual std::shared_ptr<const TypeInfo> GetTypeInfo() const { return nullptr; }

  // Conveniences over Invoke.
  Variant Get(std::string_view name) { return Invoke(name, CallKind::Get, {}); }
  Variant Get(std::string_view name, std::initializer_list<Variant> args) {
    return Invoke(name, CallKind::Get, Args(args.begin(), args.size()));
  }
  void Put(std::string_view name, const Variant& value) {
    Invoke(name, CallKind::Put, Args(&value, 1));
  }
  Variant Call(std::string_view name, std::initializer_list<Variant> args = {}) {
    return Invoke(name, CallKind::Method, Args(args.begin(), args.size()));
  }
  // Count of a collection.
  int64_t Count() { return Get("Count").ToInt(); }
};

}  // namespace mx::com
