// Bar repair: fills the invalid open, high, low, close and volume values of a sequence of
// the host's bars in place, from the nearest valid value of the same field (earlier bars
// first, then later ones), as the gateway does before it hands stored bars to the host.
//
// A value is invalid when it equals -2147483648 numerically: the integer and the float
// alike, and any other number type (numpy scalars, Decimal) by its own equality with the
// integer. A bool is never invalid (it is 0 or 1), nor is None, a NaN or a text.
//
// Speed: each value is read once, with interned field names, through the bar's own
// attribute protocol: for a plain dataclass that reads CPython's inline instance values
// directly (going through __dict__ instead would make CPython build a dict for every bar,
// which costs more here and slows the host's own attribute reads afterwards); slots,
// properties and custom __getattr__/__setattr__ work the same way. The forward pass runs
// while reading; the backward pass needs no second read. Repairs are written in the order
// the two passes would write them: forward, bar by bar, then backward.
//
// Thread-safety: GIL held. The caller keeps other writers of the sequence out (the
// gateway's bars lock). Python code that an unusual bar runs (a property, a custom
// __eq__) may let other threads run: the list is read through a snapshot and every value
// kept is owned.
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
