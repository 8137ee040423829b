// Equality and hashing of security records.
//
// A record built as the base kind follows the base rule: code, security_name and the
// `value` of exchange decide equality (whichever side it is on), and its hash is the
// hash of the text "security_name|code|exchange value". Records of the four kinds are
// equal only to records of the same kind with all six fields equal, and hash like the
// tuple of their six fields. An absent exchange takes part as an absent value (None).

#include "hash_combine.h"
#include "security_record.h"

namespace mx::security {

namespace {

// New reference to the exchange's `value`: None for an absent exchange, the cached
// value for a member of the host's Exchange, else whatever `exchange.value` gives.
PyObject* exchange_value(PyObject* exchange) {
  if (exchange == Py_None) return Py_NewRef(Py_None);
  for (const auto& known : state().exchange_members) {
    if (exchange == known.member) return Py_NewRef(known.value);
  }
  return PyObject_GetAttrString(exchange, "value");
}

// 1 when equal, 0 when not, -1 on error; the fields' own comparisons decide.
int field_equal(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_EQ); }

int base_rule_equal(const SecurityObject* a, const SecurityObject* b) {
  int equal = field_equal(a->fields[kCode], b->fields[kCode]);
  if (equal != 1) return equal;
  equal = field_equal(a->fields[kSecurityName], b->fields[kSecurityName]);
  if (equal != 1) return equal;
  if (a->fields[kExchange] == b->fields[kExchange]) return 1;
  PyObject* value_a = exchange_value(a->fields[kExchange]);
  if (value_a == nullptr) return -1;
  PyObject* value_b = exchange_value(b->fields[kExchange]);
  if (value_b == nullptr) {
    Py_DECREF(value_a);
    return -1;
  }
  equal = field_equal(value_a, value_b);
  Py_DECREF(value_a);
  Py_DECREF(value_b);
  return equal;
}

int records_equal(const SecurityObject* a, const SecurityObject* b) {
  if (a == b) return 1;
  if (a->kind == Kind::kSecurity || b->kind == Kind::kSecurity) return base_rule_equal(a, b);
  if (a->kind != b->kind) return 0;
  for (int i = 0; i < kFieldCount; ++i) {
    const int equal = field_equal(a->fields[i], b->fields[i]);
    if (equal != 1) return equal;
  }
  return 1;
}

Py_hash_t base_rule_hash(const SecurityObject* record) {
  PyObject* value = exchange_value(record->fields[kExchange]);
  if (value == nullptr) return -1;
  PyObject* text =
      PyUnicode_FromFormat("%S|%S|%S", record->fields[kSecurityName], record->fields[kCode], value);
  Py_DECREF(value);
  if (text == nullptr) return -1;
  const Py_hash_t hash = PyObject_Hash(text);
  Py_DECREF(text);
  return hash;
}

// A field's hash; members of the host's Exchange come from the cache.
Py_hash_t field_hash(PyObject* field) {
  for (const auto& known : state().exchange_members) {
    if (field == known.member) return known.hash;
  }
  return PyObject_Hash(field);
}

}  // namespace

PyObject* security_richcompare(PyObject* self, PyObject* other, int op) {
  // No ordering is defined; anything that is not a security is left to the other
  // operand, and Python then falls back to "not equal".
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, state().types[0])) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const int equal = records_equal(as_record(self), as_record(other));
  if (equal < 0) return nullptr;
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

Py_hash_t security_hash(PyObject* self) {
  const SecurityObject* record = as_record(self);
  if (record->kind == Kind::kSecurity) return base_rule_hash(record);
  static_assert(sizeof(Py_uhash_t) == sizeof(std::uint64_t), "64-bit hashes expected");
  TupleHashCombiner combiner;
  for (PyObject* field : record->fields) {
    const Py_hash_t lane = field_hash(field);
    if (lane == -1) return -1;
    combiner.add(static_cast<std::uint64_t>(lane));
  }
  return static_cast<Py_hash_t>(combiner.finish());
}

}  // namespace mx::security
