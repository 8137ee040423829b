// Building records: argument binding like a Python function with the signature
// (code, security_name, lot_size=<kind default>, exchange=<kind default>,
//  expiry_date=None, quote_currency=''), then the kind's post-construction step.

#include <cstring>

#include "security_record.h"

namespace mx::security {

int field_index(PyObject* name) {
  const ModuleState& st = state();
  // Keyword names written in source code are interned, so identity usually decides.
  for (int i = 0; i < kFieldCount; ++i) {
    if (name == st.field_names[i]) return i;
  }
  for (int i = 0; i < kFieldCount; ++i) {
    if (PyUnicode_Compare(name, st.field_names[i]) == 0) return i;
  }
  return -1;
}

namespace {

// The name a Python user sees in messages: "Stock", or a subclass's own name.
const char* short_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot != nullptr ? dot + 1 : type->tp_name;
}

// Arguments bound to fields, borrowed from the caller; null means "not given".
struct Bound {
  PyObject* values[kFieldCount] = {};
};

bool bind_positional(PyTypeObject* type, PyObject* const* args, Py_ssize_t count, Bound& bound) {
  if (count > kFieldCount) {
    PyErr_Format(PyExc_TypeError, "%s() takes from 2 to %d positional arguments but %zd were given",
                 short_name(type), kFieldCount, count);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) bound.values[i] = args[i];
  return true;
}

bool bind_keyword(PyTypeObject* type, PyObject* name, PyObject* value, Bound& bound) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", short_name(type));
    return false;
  }
  const int index = field_index(name);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", short_name(type),
                 name);
    return false;
  }
  if (bound.values[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", short_name(type),
                 name);
    return false;
  }
  bound.values[index] = value;
  return true;
}

bool check_required(PyTypeObject* type, const Bound& bound) {
  const bool no_code = bound.values[kCode] == nullptr;
  const bool no_name = bound.values[kSecurityName] == nullptr;
  if (no_code && no_name) {
    PyErr_Format(PyExc_TypeError,
                 "%s() missing 2 required positional arguments: 'code' and 'security_name'",
                 short_name(type));
  } else if (no_code || no_name) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                 short_name(type), no_code ? "code" : "security_name");
  }
  return !(no_code || no_name);
}

// Builds the record from bound arguments; the kind's defaults fill the gaps.
PyObject* build(PyTypeObject* type, Kind kind, const Bound& bound) {
  if (!check_required(type, bound)) return nullptr;
  const ModuleState& st = state();
  const int k = static_cast<int>(kind);
  PyObject* const defaults[kFieldCount] = {
      nullptr, nullptr, st.default_lot_size[k], st.default_exchange[k], Py_None, st.empty_text};

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  SecurityObject* record = as_record(self);
  for (int i = 0; i < kFieldCount; ++i) {
    PyObject* value = bound.values[i] != nullptr ? bound.values[i] : defaults[i];
    Py_INCREF(value);
    record->fields[i] = value;
  }
  record->kind = kind;

  // The four kinds' own post-construction step does nothing and their types are
  // immutable, so it only needs calling when a Python subclass may have replaced it.
  if (kind != Kind::kSecurity && type != st.types[k]) {
    PyObject* result = PyObject_CallMethodNoArgs(self, st.post_init_name);
    if (result == nullptr) {
      Py_DECREF(self);
      return nullptr;
    }
    Py_DECREF(result);
  }
  return self;
}

// Type call fast path: `Stock(...)` binds the arguments straight from the call's
// argument vector. CPython never inherits a type's vectorcall, so Python subclasses
// go through `tp_new` (and their own `__init__`, if any) instead.
template <Kind K>
PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                     PyObject* kwnames) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(callable);
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  Bound bound;
  if (!bind_positional(type, args, positional, bound)) return nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(type, PyTuple_GET_ITEM(kwnames, i), args[positional + i], bound)) {
        return nullptr;
      }
    }
  }
  return build(type, K, bound);
}

template <Kind K>
PyObject* new_record(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Bound bound;
  PyObject* const* items = reinterpret_cast<PyTupleObject*>(args)->ob_item;
  if (!bind_positional(type, items, PyTuple_GET_SIZE(args), bound)) return nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(type, name, value, bound)) return nullptr;
    }
  }
  return build(type, K, bound);
}

}  // namespace

vectorcallfunc construct_vectorcall(Kind kind) {
  switch (kind) {
    case Kind::kSecurity:
      return vectorcall<Kind::kSecurity>;
    case Kind::kStock:
      return vectorcall<Kind::kStock>;
    case Kind::kCurrency:
      return vectorcall<Kind::kCurrency>;
    case Kind::kCommodity:
      return vectorcall<Kind::kCommodity>;
    case Kind::kFutures:
      return vectorcall<Kind::kFutures>;
  }
  return nullptr;
}

newfunc construct_new(Kind kind) {
  switch (kind) {
    case Kind::kSecurity:
      return new_record<Kind::kSecurity>;
    case Kind::kStock:
      return new_record<Kind::kStock>;
    case Kind::kCurrency:
      return new_record<Kind::kCurrency>;
    case Kind::kCommodity:
      return new_record<Kind::kCommodity>;
    case Kind::kFutures:
      return new_record<Kind::kFutures>;
  }
  return nullptr;
}

}  // namespace mx::security
