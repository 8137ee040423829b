#include "platform/com/python/variant_py.h"

#include <datetime.h>

#include <limits>

#include "platform/com/com_error.h"
#include "platform/com/object.h"
#include "platform/com/python/interpreter.h"

namespace mx::com::py_glue {
namespace {

void EnsureDateTimeApi() {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  }
}

py::object& ComErrorTypeStorage() {
  static py::object* type = new py::object();  // never destroyed: outlives the interpreter
  return *type;
}

// A Python object seen through IDispatch: members by attribute name, under the GIL.
class PythonObjectDispatch final : public com::IDispatch {
 public:
  explicit PythonObjectDispatch(py::object object)
      : object_(std::move(object)), type_name_(py::str(py::type::of(object_).attr("__name__"))) {}

  ~PythonObjectDispatch() override { DropPythonReferences({&object_}); }

  com::Variant Invoke(std::string_view name, com::CallKind kind, com::Args args) override {
    py::gil_scoped_acquire gil;
    if (name.empty()) return FromPython(object_(*ArgsTuple(args)));
    py::str attr(name.data(), name.size());
    if (kind == com::CallKind::Put) {
      if (args.size() != 1) {
        throw com::ComError(com::hresult::kBadParamCount, "a property takes one value");
      }
      py::setattr(object_, attr, ToPython(args[0]));
      return com::Variant();
    }
    if (!py::hasattr(object_, attr)) throw com::ComError::UnknownName(type_name_, name);
    py::object member = object_.attr(attr);
    if (kind == com::CallKind::Get && args.empty() && !PyCallable_Check(member.ptr())) {
      return FromPython(member);
    }
    if (!PyCallable_Check(member.ptr())) {
      throw com::ComError(com::hresult::kMemberNotFound,
                          type_name_ + "." + std::string(name) + " cannot be called");
    }
    return FromPython(member(*ArgsTuple(args)));
  }

  com::MemberKind Describe(std::string_view name) const override {
    py::gil_scoped_acquire gil;
    py::str attr(name.data(), name.size());
    if (!py::hasattr(object_, attr)) return com::MemberKind::None;
    return PyCallable_Check(object_.attr(attr).ptr()) ? com::MemberKind::Method
                                                      : com::MemberKind::Property;
  }

  std::vector<com::Variant> Enumerate() override {
    py::gil_scoped_acquire gil;
    std::vector<com::Variant> items;
    for (py::handle item : object_) items.push_back(FromPython(item));
    return items;
  }

  std::string_view TypeName() const override { return type_name_; }
  const void* Identity() const override { return object_.ptr(); }
  const py::object& object() const { return object_; }

 private:
  static py::tuple ArgsTuple(com::Args args) {
    py::tuple t(args.size());
    for (size_t i = 0; i < args.size(); ++i) t[i] = ToPython(args[i]);
    return t;
  }

  py::object object_;
  std::string type_name_;
};

// A zone-aware datetime as the same instant on the wall clock of the server's zone
// (com::DateZone(); "" for the machine's local zone), still aware.
py::object ToServerWallTime(py::handle aware) {
  std::string zone = com::DateZone();
  py::object target = py::none();
  if (!zone.empty()) target = py::module_::import("zoneinfo").attr("ZoneInfo")(zone);
  return aware.attr("astimezone")(target);
}

}  // namespace

py::object ToPython(const com::Variant& value) {
  using T = com::Variant::Type;
  switch (value.type()) {
    case T::Empty:
      return py::none();
    case T::Bool:
      return py::bool_(value.ToBool());
    case T::Int32:
    case T::Int64:
      return py::int_(value.ToInt());
    case T::Double:
      return py::float_(value.ToDouble());
    case T::Text:
      return py::str(value.Text());
    case T::Date: {
      EnsureDateTimeApi();
      const auto& d = value.Date();
      PyObject* o = PyDateTime_FromDateAndTime(d.year, d.month, d.day, d.hour, d.minute, d.second,
                                               d.microsecond);
      if (o == nullptr) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(o);
    }
    case T::Dispatch: {
      const auto& ptr = value.Dispatch();
      if (auto* p = dynamic_cast<const PythonObjectDispatch*>(ptr.get())) return p->object();
      return py::cast(DispatchHandle{ptr});
    }
  }
  return py::none();
}

com::Variant FromPython(py::handle value) {
  PyObject* o = value.ptr();
  if (o == Py_None) return com::Variant();
  if (PyBool_Check(o)) return com::Variant(o == Py_True);
  if (PyLong_Check(o)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) throw py::value_error("integer does not fit in 64 bits");
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
      return com::Variant(static_cast<int32_t>(v));
    }
    return com::Variant(static_cast<int64_t>(v));
  }
  if (PyFloat_Check(o)) return com::Variant(PyFloat_AS_DOUBLE(o));
  if (PyUnicode_Check(o)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) throw py::error_already_set();
    return com::Variant(std::string(data, static_cast<size_t>(size)));
  }
  EnsureDateTimeApi();
  if (PyDateTime_Check(o)) {
    py::object wall;
    if (PyDateTime_DATE_GET_TZINFO(o) != Py_None) {
      wall = ToServerWallTime(value);
      o = wall.ptr();
    }
    return com::Variant(com::DateTime{PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o),
                                      PyDateTime_GET_DAY(o), PyDateTime_DATE_GET_HOUR(o),
                                      PyDateTime_DATE_GET_MINUTE(o), PyDateTime_DATE_GET_SECOND(o),
                                      PyDateTime_DATE_GET_MICROSECOND(o)});
  }
  if (PyDate_Check(o)) {
    return com::Variant(com::DateTime{PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o),
                                      PyDateTime_GET_DAY(o), 0, 0, 0, 0});
  }
  if (py::isinstance<DispatchHandle>(value)) return com::Variant(value.cast<DispatchHandle&>().ptr);
  if (PyIndex_Check(o)) return FromPython(py::reinterpret_steal<py::object>(PyNumber_Index(o)));
  if (Py_TYPE(o)->tp_as_number != nullptr && Py_TYPE(o)->tp_as_number->nb_float != nullptr) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return com::Variant(d);
  }
  return com::Variant(WrapPythonObject(py::reinterpret_borrow<py::object>(value)));
}

std::vector<com::Variant> FromPythonArgs(const py::args& args, size_t first) {
  std::vector<com::Variant> out;
  out.reserve(args.size() > first ? args.size() - first : 0);
  for (size_t i = first; i < args.size(); ++i) out.push_back(FromPython(args[i]));
  return out;
}

com::DispatchPtr WrapPythonObject(py::object object) {
  return std::make_shared<PythonObjectDispatch>(std::move(object));
}

std::string DescribePythonError(const py::error_already_set& error) {
  std::string type = py::str(error.type().attr("__name__"));
  std::string text = py::str(error.value());
  return text.empty() ? type : type + ": " + text;
}

void SetComErrorType(py::object type) { ComErrorTypeStorage() = std::move(type); }

py::handle ComErrorType() { return ComErrorTypeStorage(); }

com::Variant InvokeReleasingGil(const com::DispatchPtr& object, std::string_view name,
                                com::CallKind kind, const std::vector<com::Variant>& args) {
  if (object->IsProxy()) {
    py::gil_scoped_release release;
    return object->Invoke(name, kind, args);
  }
  return object->Invoke(name, kind, args);
}

}  // namespace mx::com::py_glue
