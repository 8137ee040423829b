// Floors for the benchmarks: the least work a task needs, done from C++ in a plain loop,
// so that a ratio to it shows what our code adds on top.
//
// - read_bar_values: reads open, high, low, close and volume of every bar once, through
//   the bar's attribute protocol with interned names (the reads bar repair cannot skip);
//   write_values: the writes a repair makes, through the same protocol.
// - sqlite_commit_loop: runs SQL texts one at a time through SQLite's C API on a
//   connection opened as the db plug-in opens its own, each committed on its own
//   (autocommit), and returns the seconds the loop took.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sqlite3.h>

#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr std::array<const char*, 5> kBarFields = {"open", "high", "low", "close", "volume"};

// The number of values read (5 per bar); every read is checked, as the repair checks it.
Py_ssize_t ReadBarValues(const py::list& bars) {
  static const auto names = [] {
    std::array<PyObject*, kBarFields.size()> n{};
    for (size_t k = 0; k < n.size(); ++k) n[k] = PyUnicode_InternFromString(kBarFields[k]);
    return n;
  }();
  Py_ssize_t read = 0;
  const Py_ssize_t count = PyList_GET_SIZE(bars.ptr());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* bar = PyList_GET_ITEM(bars.ptr(), i);
    for (PyObject* name : names) {
      PyObject* value = PyObject_GetAttr(bar, name);
      if (value == nullptr) throw py::error_already_set();
      Py_DECREF(value);
      ++read;
    }
  }
  return read;
}

// Writes value to the attribute name of object, for each (object, name, value) of
// `writes`, through the same attribute protocol; returns the seconds the writes took.
double WriteValues(const py::list& writes) {
  std::vector<std::array<PyObject*, 3>> plan;
  plan.reserve(static_cast<size_t>(PyList_GET_SIZE(writes.ptr())));
  for (py::handle item : writes) {
    auto triple = item.cast<py::tuple>();
    if (triple.size() != 3) throw py::value_error("each write is (object, name, value)");
    PyObject* name = triple[1].ptr();
    if (!PyUnicode_Check(name)) throw py::type_error("attribute names are str");
    plan.push_back({triple[0].ptr(), name, triple[2].ptr()});  // borrowed: `writes` holds them
  }
  const auto start = std::chrono::steady_clock::now();
  for (const auto& [target, name, value] : plan) {
    if (PyObject_SetAttr(target, name, value) < 0) throw py::error_already_set();
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Closer {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};

double SqliteCommitLoop(const std::string& path, const std::vector<std::string>& texts) {
  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<sqlite3, Closer> db(raw);
  if (rc != SQLITE_OK) throw std::runtime_error(sqlite3_errstr(rc));
  sqlite3_busy_timeout(db.get(), 5000);
  py::gil_scoped_release release;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& text : texts) {
    char* error = nullptr;
    if (sqlite3_exec(db.get(), text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error != nullptr ? error : "sqlite3_exec failed";
      sqlite3_free(error);
      throw std::runtime_error(message);
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

PYBIND11_MODULE(mx_bench_floors, m) {
  m.doc() = "Floors measured from C++ for the benchmarks.";
  m.def("read_bar_values", &ReadBarValues, py::arg("bars"),
        "Reads the five bar values of every bar once; returns how many were read.");
  m.def("write_values", &WriteValues, py::arg("writes"),
        "Sets each (object, name, value) of writes; returns the seconds the writes took.");
  m.def("sqlite_commit_loop", &SqliteCommitLoop, py::arg("path"), py::arg("texts"),
        "Runs each SQL text on its own, committed on its own; returns the seconds taken.");
}
