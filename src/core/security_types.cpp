// The five record types: their slots, text form, pickling support and creation.

#include "security_types.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "security_record.h"

namespace py = pybind11;

namespace mx::security {

ModuleState& state() {
  static ModuleState module_state;
  return module_state;
}

namespace {

// dataclass-like text: Stock(code='700', security_name='Tencent', lot_size=1, ...).
PyObject* security_repr(PyObject* self) {
  const int entered = Py_ReprEnter(self);
  if (entered != 0) return entered > 0 ? PyUnicode_FromString("...") : nullptr;
  PyObject* text = nullptr;
  if (PyObject* name = PyType_GetQualName(Py_TYPE(self))) {
    PyObject* const* f = as_record(self)->fields;
    text = PyUnicode_FromFormat(
        "%U(code=%R, security_name=%R, lot_size=%R, exchange=%R, expiry_date=%R, "
        "quote_currency=%R)",
        name, f[kCode], f[kSecurityName], f[kLotSize], f[kExchange], f[kExpiryDate],
        f[kQuoteCurrency]);
    Py_DECREF(name);
  }
  Py_ReprLeave(self);
  return text;
}

// Assigning or deleting a field is refused before anything changes; other names go
// the usual way (so a Python subclass with a __dict__ keeps its own attributes).
int security_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (PyUnicode_Check(name) && field_index(name) >= 0) {
    PyErr_Format(PyExc_AttributeError,
                 value != nullptr ? "cannot assign to field '%U'" : "cannot delete field '%U'",
                 name);
    return -1;
  }
  return PyObject_GenericSetAttr(self, name, value);
}

int security_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (PyObject* field : as_record(self)->fields) Py_VISIT(field);
  return 0;
}

// No tp_clear: a record cannot change after it is built, so any reference cycle
// through it also runs through a mutable object, whose clearing breaks the cycle.
void security_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, security_dealloc) for (PyObject*& field : as_record(self)->fields)
      Py_CLEAR(field);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // heap type instances own a reference to their type
  Py_TRASHCAN_END
}

// (type(self), (six fields)) and, for a subclass instance with attributes of its
// own, that instance's __dict__ as state. Serves pickle, copy and deepcopy.
PyObject* security_reduce(PyObject* self, PyObject* /*unused*/) {
  PyObject* const* f = as_record(self)->fields;
  PyObject* args = PyTuple_Pack(kFieldCount, f[0], f[1], f[2], f[3], f[4], f[5]);
  if (args == nullptr) return nullptr;
  PyTypeObject* type = Py_TYPE(self);
  if (type == state().types[static_cast<int>(as_record(self)->kind)]) {
    return Py_BuildValue("(ON)", type, args);
  }
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (dict == nullptr) {  // a subclass with __slots__ and no __dict__
    PyErr_Clear();
    return Py_BuildValue("(ON)", type, args);
  }
  if (PyDict_GET_SIZE(dict) == 0) {
    Py_DECREF(dict);
    return Py_BuildValue("(ON)", type, args);
  }
  return Py_BuildValue("(ONN)", type, args, dict);
}

PyObject* security_post_init(PyObject* /*self*/, PyObject* /*unused*/) { Py_RETURN_NONE; }

#define MX_FIELD(index, doc)                                                                     \
  PyMemberDef {                                                                                  \
    kFieldNames[index], T_OBJECT_EX,                                                             \
        static_cast<Py_ssize_t>(offsetof(SecurityObject, fields) + (index) * sizeof(PyObject*)), \
        READONLY, doc                                                                            \
  }

PyMemberDef field_members[] = {
    MX_FIELD(kCode, "The instrument's code (symbol) on its exchange."),
    MX_FIELD(kSecurityName, "The instrument's display name."),
    MX_FIELD(kLotSize, "Units per lot, or None."),
    MX_FIELD(kExchange, "Where it trades: a member of Exchange, or None."),
    MX_FIELD(kExpiryDate, "Expiry of a dated instrument, or None."),
    MX_FIELD(kQuoteCurrency, "Currency of the instrument's quotes."),
    {nullptr, 0, 0, 0, nullptr},
};
#undef MX_FIELD

PyMethodDef base_methods[] = {
    {"__reduce__", security_reduce, METH_NOARGS, "Pickling support: rebuilt from its six fields."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kind_methods[] = {
    {"__post_init__", security_post_init, METH_NOARGS,
     "Post-construction step of the kind; does nothing."},
    {nullptr, nullptr, 0, nullptr},
};

struct KindInfo {
  Kind kind;
  const char* qualified_name;
  const char* doc;
};

// The docs open with the call signature (as plain text: inspect cannot read enum defaults).
constexpr KindInfo kKinds[kKindCount] = {
    {Kind::kSecurity, "morvex_trader.core.security.Security",
     "Security(code, security_name, lot_size=None, exchange=None, expiry_date=None, "
     "quote_currency='')\n\nBase class for different asset types."},
    {Kind::kStock, "morvex_trader.core.security.Stock",
     "Stock(code, security_name, lot_size=1, exchange=Exchange.SEHK, expiry_date=None, "
     "quote_currency='')\n\nCash equity."},
    {Kind::kCurrency, "morvex_trader.core.security.Currency",
     "Currency(code, security_name, lot_size=1000, exchange=Exchange.IDEALPRO, "
     "expiry_date=None, quote_currency='')\n\nForeign exchange."},
    {Kind::kCommodity, "morvex_trader.core.security.Commodity",
     "Commodity(code, security_name, lot_size=1000, exchange=Exchange.IDEALPRO, "
     "expiry_date=None, quote_currency='')\n\nCommodity."},
    {Kind::kFutures, "morvex_trader.core.security.Futures",
     "Futures(code, security_name, lot_size=1000, exchange=Exchange.SMART, "
     "expiry_date=None, quote_currency='')\n\nFutures contract."},
};

PyObject* make_type(const KindInfo& info, PyObject* base) {
  const bool is_base = info.kind == Kind::kSecurity;
  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(info.doc)},
      {Py_tp_new, reinterpret_cast<void*>(construct_new(info.kind))},
      {Py_tp_dealloc, reinterpret_cast<void*>(security_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(security_traverse)},
      {Py_tp_repr, reinterpret_cast<void*>(security_repr)},
      {Py_tp_setattro, reinterpret_cast<void*>(security_setattro)},
      {Py_tp_hash, reinterpret_cast<void*>(security_hash)},
      {Py_tp_richcompare, reinterpret_cast<void*>(security_richcompare)},
      {Py_tp_methods, is_base ? base_methods : kind_methods},
  };
  // The fields are declared once, on the base; the kinds inherit them.
  if (is_base) slots.push_back({Py_tp_members, field_members});
  slots.push_back({0, nullptr});
  PyType_Spec spec{
      info.qualified_name,
      static_cast<int>(sizeof(SecurityObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
      slots.data(),
  };
  PyObject* type = base == nullptr ? PyType_FromSpec(&spec) : PyType_FromSpecWithBases(&spec, base);
  if (type == nullptr) return nullptr;
  // Calling the type goes straight to the argument binder (no tuple, no dict).
  reinterpret_cast<PyTypeObject*>(type)->tp_vectorcall = construct_vectorcall(info.kind);
  return type;
}

py::object check(PyObject* object) {
  if (object == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(object);
}

// Keeps `object` for the life of the process in a state slot.
PyObject* keep(const py::object& object) { return object.inc_ref().ptr(); }

}  // namespace

void init_security(py::module_& module, const py::object& exchange) {
  ModuleState& st = state();
  for (int i = 0; i < kFieldCount; ++i) {
    st.field_names[i] = keep(check(PyUnicode_InternFromString(kFieldNames[i])));
  }
  st.post_init_name = keep(check(PyUnicode_InternFromString("__post_init__")));
  st.empty_text = keep(check(PyUnicode_FromString("")));

  const py::object sehk = exchange.attr("SEHK");
  const py::object smart = exchange.attr("SMART");
  const py::object idealpro = exchange.attr("IDEALPRO");
  const py::int_ one(1);
  const py::int_ thousand(1000);
  const py::object lot_sizes[kKindCount] = {py::none(), one, thousand, thousand, thousand};
  const py::object exchanges[kKindCount] = {py::none(), sehk, idealpro, idealpro, smart};
  for (int k = 0; k < kKindCount; ++k) {
    st.default_lot_size[k] = keep(lot_sizes[k]);
    st.default_exchange[k] = keep(exchanges[k]);
  }
  for (const py::handle member : exchange) {
    const Py_hash_t hash = PyObject_Hash(member.ptr());
    if (hash == -1) throw py::error_already_set();
    st.exchange_members.push_back(
        {keep(py::reinterpret_borrow<py::object>(member)), keep(member.attr("value")), hash});
  }

  const py::tuple field_tuple =
      check(PyTuple_Pack(kFieldCount, st.field_names[0], st.field_names[1], st.field_names[2],
                         st.field_names[3], st.field_names[4], st.field_names[5]));
  py::list all;
  for (const KindInfo& info : kKinds) {
    PyObject* base =
        info.kind == Kind::kSecurity ? nullptr : reinterpret_cast<PyObject*>(st.types[0]);
    const py::object type = check(make_type(info, base));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.ptr());
    if (info.kind == Kind::kSecurity) {
      // The types are immutable to Python code; class attributes go in before use.
      if (PyDict_SetItemString(type_object->tp_dict, "__match_args__", field_tuple.ptr()) < 0 ||
          PyDict_SetItemString(type_object->tp_dict, "_fields", field_tuple.ptr()) < 0) {
        throw py::error_already_set();
      }
      PyType_Modified(type_object);
    }
    st.types[static_cast<int>(info.kind)] = type_object;
    keep(type);
    const char* name = std::strrchr(info.qualified_name, '.') + 1;
    module.add_object(name, type);
    all.append(name);
  }
  module.attr("__all__") = all;
}

}  // namespace mx::security
