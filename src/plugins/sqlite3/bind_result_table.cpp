// The result of select_records: a light table of our own over the native rows.
//
// Rows become Python tuples (or dicts) only when asked for, straight from the native
// cells: integer, real, text, NULL and blob cells as int, float, str, None and bytes.
#include "plugins/sqlite3/bind_db.h"

namespace mx::sqlite::bind {
namespace {

using TablePtr = std::shared_ptr<ResultTable>;

PyObject* cell_object(const ResultTable& table, const Cell& cell) {
  switch (cell.type) {
    case CellType::kInteger:
      return PyLong_FromLongLong(cell.integer);
    case CellType::kReal:
      return PyFloat_FromDouble(cell.real);
    case CellType::kText: {
      std::string_view text = table.bytes(cell);
      return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    case CellType::kBlob: {
      std::string_view bytes = table.bytes(cell);
      return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    }
    default:
      Py_INCREF(Py_None);
      return Py_None;
  }
}

py::tuple row_tuple(const ResultTable& table, std::size_t row) {
  const std::size_t columns = table.column_count();
  py::tuple out(columns);
  for (std::size_t c = 0; c < columns; ++c) {
    PyObject* value = cell_object(table, table.cell(row, c));
    if (value == nullptr) throw py::error_already_set();
    PyTuple_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(c), value);
  }
  return out;
}

py::list column_names(const ResultTable& table) {
  py::list names(table.column_count());
  for (std::size_t c = 0; c < table.column_count(); ++c) {
    names[c] = py::str(table.columns()[c]);
  }
  return names;
}

py::list all_rows(const ResultTable& table) {
  const std::size_t rows = table.row_count();
  py::list out(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(r), row_tuple(table, r).release().ptr());
  }
  return out;
}

py::list all_dicts(const ResultTable& table) {
  const std::size_t rows = table.row_count();
  const std::size_t columns = table.column_count();
  py::list names = column_names(table);
  py::list out(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    py::dict row;
    for (std::size_t c = 0; c < columns; ++c) {
      py::object value = py::reinterpret_steal<py::object>(cell_object(table, table.cell(r, c)));
      if (!value) throw py::error_already_set();
      if (PyDict_SetItem(row.ptr(), names[c].ptr(), value.ptr()) != 0)
        throw py::error_already_set();
    }
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(r), row.release().ptr());
  }
  return out;
}

std::size_t checked_row(const ResultTable& table, Py_ssize_t index) {
  const auto rows = static_cast<Py_ssize_t>(table.row_count());
  if (index < 0) index += rows;
  if (index < 0 || index >= rows) throw py::index_error("row index out of range");
  return static_cast<std::size_t>(index);
}

// Iterates the rows as tuples; keeps the table alive.
struct RowIterator {
  TablePtr table;
  std::size_t next = 0;
};

}  // namespace

py::object wrap_result_table(ResultTable&& table) {
  return py::cast(std::make_shared<ResultTable>(std::move(table)));
}

void init_result_table(py::module_& m) {
  py::class_<RowIterator>(m, "_RowIterator")
      .def("__iter__", [](RowIterator& self) -> RowIterator& { return self; })
      .def("__next__", [](RowIterator& self) {
        if (self.next >= self.table->row_count()) throw py::stop_iteration();
        return row_tuple(*self.table, self.next++);
      });

  py::class_<ResultTable, TablePtr>(m, "ResultTable", R"doc(
Rows of a select_records call in SQLite's order, with the column names in result order.
Iterating or indexing gives rows as tuples; dicts() gives them as dicts.)doc")
      .def_property_readonly("columns", &column_names, "Column names in result order.")
      .def("__len__", &ResultTable::row_count)
      .def("__getitem__",
           [](const ResultTable& self, Py_ssize_t index) {
             return row_tuple(self, checked_row(self, index));
           })
      .def("__getitem__",
           [](const ResultTable& self, const py::slice& slice) {
             std::size_t start = 0, stop = 0, step = 0, length = 0;
             if (!slice.compute(self.row_count(), &start, &stop, &step, &length)) {
               throw py::error_already_set();
             }
             py::list out(length);
             for (std::size_t i = 0; i < length; ++i, start += step) {
               out[i] = row_tuple(self, start);
             }
             return out;
           })
      .def("__iter__", [](const TablePtr& self) { return RowIterator{self}; })
      .def("rows", &all_rows, "Every row as a tuple.")
      .def("dicts", &all_dicts, "Every row as a dict from column name to value.")
      .def(
          "to_pandas",
          [](const ResultTable& self) {
            py::module_ pandas = py::module_::import("pandas");
            return pandas.attr("DataFrame")(all_rows(self),
                                            py::arg("columns") = column_names(self));
          },
          "The rows as a pandas.DataFrame (needs pandas).")
      .def("__repr__", [](const ResultTable& self) {
        return "<ResultTable " + std::to_string(self.row_count()) + " rows x " +
               py::repr(column_names(self)).cast<std::string>() + ">";
      });
}

}  // namespace mx::sqlite::bind
