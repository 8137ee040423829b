// Python values to the SQL values of the record operations.
//
// Accepted: str; bool (1/0); int within 64 bits; float (NaN refused: SQL has no literal);
// datetime.datetime (to the second); objects with __index__ as integers and with
// __float__ as floats (numpy scalars, Decimal). Anything else, an int beyond 64 bits,
// None and NaN fail with "Data format is not support! type(<value>)=<type>".
#include "plugins/sqlite3/bind_db.h"  // Python.h first, as datetime.h needs it

#include <datetime.h>

#include <cmath>
#include <string_view>

#include "plugins/common/python_text.h"

namespace mx::sqlite::bind {
namespace {

[[noreturn]] void unsupported(py::handle value) {
  std::string message = "Data format is not support! type(";
  message += py::str(value).cast<std::string>();
  message += ")=";
  message += py::str(py::type::handle_of(value)).cast<std::string>();
  throw py::value_error(message);
}

std::int64_t to_int64(py::handle value, PyObject* number) {
  int overflow = 0;
  long long result = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (overflow != 0) unsupported(value);
  if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
  return result;
}

double to_finite_or_infinite(py::handle value, double number) {
  if (std::isnan(number)) unsupported(value);
  return number;
}

// numpy.bool_ has a deprecated __index__ (it warns); read it as a bool instead.
bool is_numpy_bool(PyObject* value) {
  static PyObject* numpy_bool = nullptr;  // kept for the life of the process
  if (numpy_bool == nullptr) {
    PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
    if (numpy == nullptr) return false;  // numpy not loaded: no numpy scalar can exist
    numpy_bool = PyObject_GetAttrString(numpy, "bool_");
    if (numpy_bool == nullptr) {
      PyErr_Clear();
      return false;
    }
  }
  return PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(numpy_bool)) != 0;
}

// The UTF-8 text of a str; text UTF-8 cannot hold raises UnicodeEncodeError naming it.
std::string text_of(PyObject* text, std::string_view what, std::string_view detail = {}) {
  return plugins::utf8_of(text, what, detail);
}

}  // namespace

std::string type_name(py::handle value) {
  return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

std::string identifier_of(py::handle name, const char* argument) {
  if (!PyUnicode_Check(name.ptr())) {
    throw py::type_error(std::string(argument) + " must be str, not " + type_name(name));
  }
  return text_of(name.ptr(), argument);
}

void init_values() {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw py::error_already_set();
}

SqlValue to_sql_value(py::handle value, std::string_view column) {
  PyObject* o = value.ptr();
  if (PyUnicode_Check(o)) {
    return column.empty() ? text_of(o, "a value") : text_of(o, "the value of ", column);
  }
  if (PyBool_Check(o)) return std::int64_t{o == Py_True ? 1 : 0};
  if (PyLong_Check(o)) return to_int64(value, o);
  if (PyFloat_Check(o)) return to_finite_or_infinite(value, PyFloat_AS_DOUBLE(o));
  if (PyDateTime_Check(o)) {
    return DateTime{PyDateTime_GET_YEAR(o),        PyDateTime_GET_MONTH(o),
                    PyDateTime_GET_DAY(o),         PyDateTime_DATE_GET_HOUR(o),
                    PyDateTime_DATE_GET_MINUTE(o), PyDateTime_DATE_GET_SECOND(o)};
  }
  if (is_numpy_bool(o)) return std::int64_t{PyObject_IsTrue(o) == 1 ? 1 : 0};
  if (PyIndex_Check(o)) {
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(o));
    if (!number) throw py::error_already_set();
    return to_int64(value, number.ptr());
  }
  PyNumberMethods* number_methods = Py_TYPE(o)->tp_as_number;
  if (number_methods != nullptr && number_methods->nb_float != nullptr) {
    double number = PyFloat_AsDouble(o);
    if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return to_finite_or_infinite(value, number);
  }
  unsupported(value);
}

namespace {

std::string name_of(py::handle name) {
  if (!PyUnicode_Check(name.ptr())) {
    throw py::type_error("column names must be str, not " + type_name(name));
  }
  return text_of(name.ptr(), "a column name");
}

void add_pair(NamedValues& out, py::handle name, py::handle value, bool conditions) {
  std::string key = name_of(name);
  if (conditions && key == kConditionStr) {
    out.push_back({std::move(key), text_of(py::str(value).ptr(), kConditionStr)});
  } else {
    SqlValue converted = to_sql_value(value, key);
    out.push_back({std::move(key), std::move(converted)});
  }
}

}  // namespace

NamedValues to_named_values(py::handle pairs, bool conditions) {
  NamedValues out;
  PyObject* o = pairs.ptr();
  if (o == Py_None) return out;
  if (PyDict_Check(o)) {
    out.reserve(static_cast<std::size_t>(PyDict_Size(o)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(o, &position, &key, &value)) {
      // Own the pair: converting a value may run Python code (__index__, __str__).
      py::object owned_key = py::reinterpret_borrow<py::object>(key);
      py::object owned_value = py::reinterpret_borrow<py::object>(value);
      add_pair(out, owned_key, owned_value, conditions);
    }
    return out;
  }
  if (PyUnicode_Check(o) || PyBytes_Check(o)) {
    throw py::type_error("expected a dict or a sequence of (name, value) pairs, not " +
                         py::str(py::type::handle_of(pairs).attr("__name__")).cast<std::string>());
  }
  py::object items = py::hasattr(pairs, "items") ? pairs.attr("items")()
                                                 : py::reinterpret_borrow<py::object>(pairs);
  for (py::handle item : py::iter(items)) {
    py::object pair = py::reinterpret_steal<py::object>(
        PySequence_Fast(item.ptr(), "expected (name, value) pairs"));
    if (!pair) throw py::error_already_set();
    if (PySequence_Fast_GET_SIZE(pair.ptr()) != 2) {
      throw py::type_error("expected (name, value) pairs, got an item of length " +
                           std::to_string(PySequence_Fast_GET_SIZE(pair.ptr())));
    }
    add_pair(out, PySequence_Fast_GET_ITEM(pair.ptr(), 0), PySequence_Fast_GET_ITEM(pair.ptr(), 1),
             conditions);
  }
  return out;
}

std::optional<std::vector<std::string>> to_column_list(py::handle columns) {
  if (columns.is_none()) return std::nullopt;
  if (PyUnicode_Check(columns.ptr()) || PyBytes_Check(columns.ptr())) {
    throw py::type_error("columns must be a sequence of column names, not a single str");
  }
  std::vector<std::string> names;
  for (py::handle name : py::iter(columns)) names.push_back(name_of(name));
  return names;
}

}  // namespace mx::sqlite::bind

namespace mx::sqlite::bind {
namespace {

// One value bound to a placeholder of execute(): like sqlite3's own binding (None, int,
// float, str, bytes-like), plus the values the record operations accept.
Parameter to_parameter(py::handle value, std::size_t index) {
  PyObject* o = value.ptr();
  if (o == Py_None) return std::monostate{};
  if (PyUnicode_Check(o)) return text_of(o, "parameter ", std::to_string(index + 1));
  if (PyLong_Check(o) && !PyBool_Check(o)) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) throw py::value_error("Python int too large to convert to SQLite INTEGER");
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    return std::int64_t{number};
  }
  if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);  // NaN binds as NULL, as in sqlite3
  if (PyObject_CheckBuffer(o)) {
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    Blob blob{std::string(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len))};
    PyBuffer_Release(&view);
    return blob;
  }
  if (PyDateTime_Check(o)) return format_date_time(std::get<DateTime>(to_sql_value(value)));
  try {
    SqlValue converted = to_sql_value(value);
    if (auto* number = std::get_if<std::int64_t>(&converted)) return *number;
    if (auto* number = std::get_if<double>(&converted)) return *number;
  } catch (const py::value_error&) {
  }
  raise_sqlite3_error("ProgrammingError",
                      "Error binding parameter " + std::to_string(index + 1) + ": type '" +
                          py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>() +
                          "' is not supported");
}

}  // namespace

BoundParameters to_parameters(py::handle parameters) {
  PyObject* o = parameters.ptr();
  if (o == Py_None) return std::monostate{};
  bool named = PyDict_Check(o) ||
               (!PySequence_Check(o) && PyMapping_Check(o) && py::hasattr(parameters, "keys"));
  if (named) {
    NamedParameters named;
    for (auto item : py::reinterpret_borrow<py::object>(parameters).attr("items")()) {
      auto pair = item.cast<py::tuple>();
      named.emplace_back(name_of(pair[0]), to_parameter(pair[1], named.size()));
    }
    return named;
  }
  if (PyUnicode_Check(o) || PyBytes_Check(o) || !PySequence_Check(o)) {
    raise_sqlite3_error("ProgrammingError", "parameters are of unsupported type");
  }
  py::object sequence = py::reinterpret_steal<py::object>(PySequence_Fast(o, "parameters"));
  if (!sequence) throw py::error_already_set();
  Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.ptr());
  PositionalParameters positional;
  positional.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    positional.push_back(
        to_parameter(PySequence_Fast_GET_ITEM(sequence.ptr(), i), static_cast<std::size_t>(i)));
  }
  return positional;
}

}  // namespace mx::sqlite::bind
