#include "gateways/cqg/wrapper/tradelink/bar_repair.h"

#include <array>

namespace mx::tradelink {
namespace {

constexpr size_t kFields = 5;
constexpr double kInvalidDouble = -2147483648.0;

// The repaired fields, in their order, as interned strings (created once, never freed).
const std::array<PyObject*, kFields>& FieldNames() {
  static const std::array<PyObject*, kFields> names = [] {
    std::array<PyObject*, kFields> n{};
    const char* texts[kFields] = {"open", "high", "low", "close", "volume"};
    for (size_t k = 0; k < kFields; ++k) n[k] = PyUnicode_InternFromString(texts[k]);
    return n;
  }();
  return names;
}

PyObject* InvalidInteger() {
  static PyObject* value = PyLong_FromLongLong(kInvalidValue);  // never freed
  return value;
}

// A strong reference, released when replaced or destroyed.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }
  void reset(PyObject* o) {
    PyObject* old = o_;
    o_ = o;
    Py_XDECREF(old);
  }
  PyObject* get() const { return o_; }

 private:
  PyObject* o_ = nullptr;
};

}  // namespace

int IsInvalidValue(PyObject* v) {
  if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) == kInvalidDouble;
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) return -1;
    return overflow == 0 && x == kInvalidValue;
  }
  if (v == Py_None || PyBool_Check(v) || PyUnicode_Check(v)) return 0;
  if (PyFloat_Check(v)) {
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return -1;
    return d == kInvalidDouble;
  }
  if (PyLong_Check(v)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) return -1;
    return overflow == 0 && x == kInvalidValue;
  }
  // Other number types compare by their own numeric equality.
  PyObject* equal = PyObject_RichCompare(v, InvalidInteger(), Py_EQ);
  if (equal == nullptr) return -1;
  int truth = PyObject_IsTrue(equal);
  Py_DECREF(equal);
  return truth;
}

namespace {

// IsInvalidValue with the common cases inline: a float, and an int that fits in one
// internal digit (|x| < 2**30, so never the marker).
inline int IsInvalidFast(PyObject* v) {
  if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) == kInvalidDouble;
#if PY_VERSION_HEX >= 0x030C0000
  if (PyLong_CheckExact(v) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
    return 0;
  }
#else
  if (PyLong_CheckExact(v) && Py_SIZE(v) >= -1 && Py_SIZE(v) <= 1) return 0;
#endif
  return IsInvalidValue(v);
}

}  // namespace

int RepairBars(PyObject* bars) {
  if (!PyList_Check(bars)) {
    PyErr_SetString(PyExc_TypeError, "bars must be a list");
    return -1;
  }
  // A snapshot of the list: a getattr or setattr of an unusual bar may run Python code
  // that changes the list.
  Ref snapshot(PyList_GetSlice(bars, 0, PyList_GET_SIZE(bars)));
  if (snapshot.get() == nullptr) return -1;
  const Py_ssize_t n = PyList_GET_SIZE(snapshot.get());
  if (n == 0) return 1;
  const auto& names = FieldNames();

  // Forward pass, while reading each value once: an invalid value after a valid one
  // takes the last valid value of its field.
  std::array<Ref, kFields> last_valid;
  std::array<Ref, kFields> first_valid;
  std::array<Py_ssize_t, kFields> first_valid_at;
  first_valid_at.fill(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* bar = PyList_GET_ITEM(snapshot.get(), i);
    for (size_t k = 0; k < kFields; ++k) {
      PyObject* value = PyObject_GetAttr(bar, names[k]);
      if (value == nullptr) return -1;
      int bad = IsInvalidFast(value);
      if (bad == 0) {
        if (first_valid_at[k] == n) {
          first_valid_at[k] = i;
          Py_INCREF(value);
          first_valid[k].reset(value);
        }
        last_valid[k].reset(value);  // takes the read's reference
        continue;
      }
      Py_DECREF(value);
      if (bad < 0) return -1;
      if (last_valid[k].get() != nullptr &&
          PyObject_SetAttr(bar, names[k], last_valid[k].get()) < 0) {
        return -1;
      }
    }
  }
  // Backward pass: the invalid values before a field's first valid one take that one,
  // newest first. A field with no valid value at all stays as it is.
  Py_ssize_t prefix = 0;
  for (size_t k = 0; k < kFields; ++k) {
    if (first_valid_at[k] != n && first_valid_at[k] > prefix) prefix = first_valid_at[k];
  }
  for (Py_ssize_t i = prefix; i-- > 0;) {
    PyObject* bar = PyList_GET_ITEM(snapshot.get(), i);
    for (size_t k = 0; k < kFields; ++k) {
      if (first_valid_at[k] == n || i >= first_valid_at[k]) continue;
      if (PyObject_SetAttr(bar, names[k], first_valid[k].get()) < 0) return -1;
    }
  }
  for (size_t k = 0; k < kFields; ++k) {
    if (first_valid_at[k] == n) return 0;
  }
  return 1;
}

}  // namespace mx::tradelink
