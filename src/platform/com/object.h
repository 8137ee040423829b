// Object<T> and Members<T>: dispatch objects built from a member table.
//
// A class T derives from Object<T> and provides `static const Members<T>& Table()`, built
// once (a function-local static) from name -> getter / setter / method lambdas:
//
//   static const Members<Quote>& Table() {
//     static const auto table = Members<Quote>("Quote")
//         .Field("Price", &Quote::price_)                      // read and write
//         .Property("IsValid", [](Quote& q) { return Variant(q.valid_); })
//         .Method("Refresh", [](Quote& q, Args) { q.Refresh(); return Variant(); })
//         .Default([](Quote& q, Args a) { return q.Item(a); });  // called as q(...)
//     return table;
//   }
//
// A property that takes arguments (Summary.Balance(0)) is a Method: it is reached as
// Get or Method alike. Observe() sees every call that reaches a member (the simulator's
// journal hooks in there).
//
// Thread-safety: a table is immutable after construction and may be read from any thread;
// the object itself follows IDispatch's rule (its apartment's thread).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/com/com_error.h"
#include "platform/com/dispatch.h"

namespace mx::com {

// Variant -> C++ value, for Field setters.
template <class V>
V FromVariant(const Variant& v) {
  if constexpr (std::is_same_v<V, bool>)
    return v.ToBool();
  else if constexpr (std::is_same_v<V, int32_t>)
    return v.ToInt32();
  else if constexpr (std::is_same_v<V, int64_t>)
    return v.ToInt();
  else if constexpr (std::is_same_v<V, double>)
    return v.ToDouble();
  else if constexpr (std::is_same_v<V, std::string>)
    return v.Text();
  else if constexpr (std::is_same_v<V, DateTime>)
    return v.Date();
  else if constexpr (std::is_same_v<V, DispatchPtr>)
    return v.IsEmpty() ? nullptr : v.Dispatch();
  else if constexpr (std::is_same_v<V, Variant>)
    return v;
  else
    static_assert(sizeof(V) == 0, "unsupported field type");
}

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class T>
class Members {
 public:
  using Fn = std::function<Variant(T&, Args)>;
  using Getter = std::function<Variant(T&)>;
  using Setter = std::function<void(T&, const Variant&)>;
  using Enumerate = std::function<std::vector<Variant>(T&)>;

  struct Member {
    MemberKind kind = MemberKind::None;
    Fn call;     // property getter (no arguments) or method / property with arguments
    Setter put;  // property setter, or empty when read-only
  };

  explicit Members(std::string type_name) : type_name_(std::move(type_name)) {}

  Members& Property(std::string name, Getter get, Setter put = {}) {
    Member& m = members_[std::move(name)];
    m.kind = MemberKind::Property;
    m.call = [get = std::move(get)](T& self, Args) { return get(self); };
    m.put = std::move(put);
    return *this;
  }
  // Write-only or write-mostly property: a setter with a plain getter.
  template <class V>
  Members& Field(std::string name, V T::*field, bool writable = true) {
    Setter put;
    if (writable) put = [field](T& self, const Variant& v) { self.*field = FromVariant<V>(v); };
    return Property(
        std::move(name), [field](T& self) { return Variant(self.*field); }, std::move(put));
  }
  Members& Method(std::string name, Fn fn) {
    Member& m = members_[std::move(name)];
    m.kind = MemberKind::Method;
    m.call = std::move(fn);
    return *this;
  }
  // A property read with arguments, e.g. Balance(0); same as Method.
  Members& Indexed(std::string name, Fn fn) { return Method(std::move(name), std::move(fn)); }
  // The default member: what calling the object itself does.
  Members& Default(Fn fn) {
    default_ = std::move(fn);
    return *this;
  }
  Members& Enumerator(Enumerate fn) {
    enumerate_ = std::move(fn);
    return *this;
  }

  const Member* Find(std::string_view name) const {
    auto it = members_.find(name);
    return it == members_.end() ? nullptr : &it->second;
  }
  const std::string& type_name() const { return type_name_; }
  const Fn& default_member() const { return default_; }
  const Enumerate& enumerator() const { return enumerate_; }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& [name, m] : members_) out.push_back(name);
    return out;
  }

 private:
  std::string type_name_;
  std::unordered_map<std::string, Member, StringHash, std::equal_to<>> members_;
  Fn default_;
  Enumerate enumerate_;
};

template <class T>
class Object : public IDispatch {
 public:
  Variant Invoke(std::string_view name, CallKind kind, Args args) override {
    const Members<T>& table = T::Table();
    T& self = static_cast<T&>(*this);
    if (name.empty()) {
      Observe(name, kind, args);
      if (table.default_member()) return table.default_member()(self, args);
      return Invoke("Item", CallKind::Method, args);
    }
    const auto* m = table.Find(name);
    if (m == nullptr) throw ComError::UnknownName(table.type_name(), name);
    Observe(name, kind, args);
    if (kind == CallKind::Put) {
      if (!m->put) {
        throw ComError(hresult::kMemberNotFound,
                       table.type_name() + "." + std::string(name) + " cannot be written");
      }
      if (args.size() != 1) {
        throw ComError(hresult::kBadParamCount,
                       table.type_name() + "." + std::string(name) + " takes one value");
      }
      m->put(self, args[0]);
      return Variant();
    }
    if (m->kind == MemberKind::Property && !args.empty()) {
      throw ComError(hresult::kBadParamCount,
                     table.type_name() + "." + std::string(name) + " takes no arguments");
    }
    return m->call(self, args);
  }

  MemberKind Describe(std::string_view name) const override {
    const auto* m = T::Table().Find(name);
    return m == nullptr ? MemberKind::None : m->kind;
  }
  std::string_view TypeName() const override { return T::Table().type_name(); }
  std::vector<std::string> MemberNames() const override { return T::Table().Names(); }
  std::vector<Variant> Enumerate() override {
    const auto& fn = T::Table().enumerator();
    if (fn) return fn(static_cast<T&>(*this));
    return IDispatch::Enumerate();
  }

 protected:
  // Sees every call that reaches a member (name empty for the default member), before it
  // runs. Plain property reads come here too.
  virtual void Observe(std::string_view /*name*/, CallKind /*kind*/, Args /*args*/) {}
};

// Argument helpers for member lambdas.
inline const Variant& Arg(Args args, size_t i, std::string_view member) {
  if (i >= args.size()) {
    throw ComError(hresult::kBadParamCount,
                   std::string(member) + " needs argument " + std::to_string(i + 1));
  }
  return args[i];
}

}  // namespace mx::com
