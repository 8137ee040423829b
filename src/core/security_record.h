// The security records' native layout and the slot functions the five types share.
//
// `Security` and its kinds `Stock`, `Currency`, `Commodity`, `Futures` are CPython heap
// types whose six fields are read-only member slots, so a field read is a plain slot
// load and construction, hashing and equality run without Python-level code.
//
// Thread-safety: every function here runs with the GIL held. The module state is
// written once while the module loads and only read afterwards.
// Ownership: a record owns one reference to each field value; the state owns one
// reference to each type, default and interned name for the life of the process.
#pragma once

#include <Python.h>

#include <vector>

namespace mx::security {

// Which type a record was built as. Python subclasses take the kind they derive from.
enum class Kind : int { kSecurity, kStock, kCurrency, kCommodity, kFutures };
inline constexpr int kKindCount = 5;

enum Field : int { kCode, kSecurityName, kLotSize, kExchange, kExpiryDate, kQuoteCurrency };
inline constexpr int kFieldCount = 6;
inline constexpr const char* kFieldNames[kFieldCount] = {
    "code", "security_name", "lot_size", "exchange", "expiry_date", "quote_currency"};

struct SecurityObject {
  PyObject_HEAD PyObject*
      fields[kFieldCount];  // owned; set for every record that construction returns
  Kind kind;
};

inline SecurityObject* as_record(PyObject* object) {
  return reinterpret_cast<SecurityObject*>(object);
}

struct ModuleState {
  PyTypeObject* types[kKindCount] = {};     // indexed by Kind
  PyObject* field_names[kFieldCount] = {};  // interned
  PyObject* default_lot_size[kKindCount] = {};
  PyObject* default_exchange[kKindCount] = {};
  PyObject* empty_text = nullptr;
  PyObject* post_init_name = nullptr;  // interned "__post_init__"
  // The host's Exchange members with their values and hashes, read once: the enum's
  // `value` property and `__hash__` are Python-level calls, and both are constant.
  struct ExchangeMember {
    PyObject* member;
    PyObject* value;
    Py_hash_t hash;
  };
  std::vector<ExchangeMember> exchange_members;
};

ModuleState& state();

// Index of the field called `name` (a str), or -1.
int field_index(PyObject* name);

// Construction (security_construct.cpp): the type call fast path and `__new__`.
vectorcallfunc construct_vectorcall(Kind kind);
newfunc construct_new(Kind kind);

// Equality and hashing (security_compare.cpp).
PyObject* security_richcompare(PyObject* self, PyObject* other, int op);
Py_hash_t security_hash(PyObject* self);

}  // namespace mx::security
