// Bar repair: fills the invalid open, high, low, close and volume values of a sequence of
// the host's bars in place, from the nearest valid value of the same field (earlier bars
// first, then later ones), as the gateway does before it hands stored bars to the host.
//
// A value is invalid when it equals -2147483648 numerically: the integer and the float
// alike, and any other number type (numpy scalars, Decimal) by its own equality with the
// integer. A bool is never invalid (it is 0 or 1), nor is None, a NaN or a text.
//
// Speed: each value is read once. A bar whose type keeps its attributes in the instance
// dict with the generic attribute protocol (a plain or frozen-free dataclass) is read and
// written through that dict with interned keys; any other bar (slots, properties, a
// custom __getattr__/__setattr__) through getattr/setattr. Repairs are written in the
// order the two passes would write them: forward, bar by bar, then backward.
//
// Thread-safety: GIL held. The caller keeps other writers of the sequence out (the
// gateway's bars lock); Python code that a slow-path bar runs may let other threads run.
#pragma once

#include <Python.h>

namespace mx::tradelink {

inline constexpr long long kInvalidValue = -2147483648LL;

// Repairs the bars of `bars` (a list) in place. Returns 1 when the newest bar is valid
// afterwards, 0 when one of its fields is still invalid (that field is invalid in every
// bar), -1 with a Python error set (a bar without one of the fields, a failed write,...).
// An empty list returns 1.
int RepairBars(PyObject* bars);

// 1 when `value` equals the invalid marker, 0 when not, -1 with a Python error set.
int IsInvalidValue(PyObject* value);

}  // namespace mx::tradelink
