// The class DB, the module function _db_path and the statement journal.
//
// Python values are turned into SQL text with the GIL held; the GIL is released before a
// statement waits for the statement lock and while SQLite works, and taken back only
// after the lock has been released.
#include "plugins/sqlite3/bind_db.h"

#include <pybind11/stl.h>

#include <cstdint>
#include <initializer_list>

#include "plugins/common/python_text.h"
#include "plugins/sqlite3/schema.h"
#include "plugins/sqlite3/statement_journal.h"

namespace mx::sqlite::bind {
namespace {

constexpr const char* kDbPathMessage =
    "`sqlite3` is activated, and its path must be specified in `DB` variable in "
    "morvex_trader_config";

constexpr const char* kFolderSetting = "DB[\"sqlite3\"]";

// The folder of the database file, read afresh from morvex_trader_config.DB["sqlite3"].
py::str db_path() {
  try {
    py::object config = py::module_::import("morvex_trader_config");
    py::object folder = config.attr("DB")[py::str("sqlite3")];
    if (!py::isinstance<py::str>(folder)) {
      PyErr_Format(PyExc_TypeError, "DB[\"sqlite3\"] must be a str, not %s",
                   Py_TYPE(folder.ptr())->tp_name);
      throw py::error_already_set();
    }
    return folder;
  } catch (py::error_already_set& failure) {
    // One error for every way the setting can be missing, with the failure as its cause.
    py::raise_from(failure, PyExc_ValueError, kDbPathMessage);
    throw py::error_already_set();
  }
}

// A DB object: owns one connection. The native Database is thread-safe by itself.
struct DbObject {
  std::unique_ptr<Database> database;

  void execute(std::string_view sql) {
    py::gil_scoped_release released;
    database->execute(sql);
  }

  std::int64_t insert(std::string_view sql) {
    py::gil_scoped_release released;
    return database->insert(sql);
  }

  // A table's creation statement, then its indexes (both leave what exists untouched).
  void create_table(std::string_view create, std::initializer_list<std::string_view> indexes) {
    execute(create);
    for (std::string_view index : indexes) execute(index);
  }

  void create_order_table() {
    create_table(schema::kCreateOrderTable, {schema::kCreateOrderBrokerIdIndex});
  }
  void create_deal_table() {
    create_table(schema::kCreateDealTable, {schema::kCreateDealBrokerIdIndex});
  }
};

void run_parameters(DbObject& self, py::handle statement, const py::object& parameters) {
  std::string sql = identifier_of(statement, "sql");
  BoundParameters bound = to_parameters(parameters);
  py::gil_scoped_release released;
  switch (bound.index()) {
    case 0:
      self.database->execute(sql);
      break;
    case 1:
      self.database->execute(sql, std::get<PositionalParameters>(bound));
      break;
    default:
      self.database->execute(sql, std::get<NamedParameters>(bound));
      break;
  }
}

// The path of the database file as the file system names it: the folder encoded as
// Python's own open() and sqlite3.connect() encode paths (undecodable bytes come back
// from their surrogate escapes), refusing a folder SQLite would read only in part.
std::string database_file_path() {
  py::str folder = db_path();
  py::object encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(folder.ptr()));
  if (!encoded) {
    plugins::name_in_unicode_error(kFolderSetting);
    throw py::error_already_set();
  }
  std::string path(PyBytes_AS_STRING(encoded.ptr()),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
  // The C library would stop at a NUL and open a file the setting never named.
  if (path.find('\0') != std::string::npos) {
    throw py::value_error(std::string("embedded null character in ") + kFolderSetting);
  }
  return path + "/" + std::string(schema::kDatabaseFileName);
}

std::unique_ptr<DbObject> open_db() {
  std::string path = database_file_path();
  auto self = std::make_unique<DbObject>();
  {
    py::gil_scoped_release released;
    self->database = std::make_unique<Database>(path);
  }
  self->execute(schema::kCreateBalanceTable);
  self->execute(schema::kCreatePositionTable);
  self->create_order_table();
  self->create_deal_table();
  return self;
}

}  // namespace

void init_database(py::module_& m) {
  m.def("_db_path", &db_path,
        "The folder of morvex_trader.db: morvex_trader_config.DB[\"sqlite3\"], read on each call.");

  m.def("start_journal", &journal::start,
        "Clears the statement journal and starts recording every SQL text sent to SQLite.");
  m.def("stop_journal", &journal::stop, "Stops recording and returns the recorded SQL texts.");
  m.def("journal", &journal::snapshot, "The SQL texts recorded so far.");

  py::class_<DbObject>(m, "DB", R"doc(
One connection to morvex_trader.db in the folder named by morvex_trader_config.DB["sqlite3"].
The constructor creates the file and the tables balance, position, trading_order and
trading_deal when they are missing, and the indexes on trading_order.broker_order_id and
trading_deal.broker_deal_id. Every statement runs under the module-wide `lock` and is
committed at once.)doc")
      .def(py::init(&open_db))
      .def("create_balance_table",
           [](DbObject& self) { self.execute(schema::kCreateBalanceTable); })
      .def("create_position_table",
           [](DbObject& self) { self.execute(schema::kCreatePositionTable); })
      .def("create_order_table", &DbObject::create_order_table)
      .def("create_deal_table", &DbObject::create_deal_table)
      .def("commit",
           [](DbObject& self) {
             py::gil_scoped_release released;
             self.database->commit();
           })
      .def("close",
           [](DbObject& self) {
             py::gil_scoped_release released;
             self.database->close();
           })
      .def(
          "delete_table",
          [](DbObject& self, py::handle table_name) {
            self.execute(build_drop_table(identifier_of(table_name, "table_name")));
          },
          py::arg("table_name"))
      .def("execute", &run_parameters, py::arg("sql"), py::arg("parameters") = py::none(),
           "Runs one statement (parameters bound to its placeholders when given) and commits.")
      .def(
          "_parse_sql_value",
          [](DbObject&, py::handle value) { return render_sql_value(to_sql_value(value)); },
          py::arg("value"))
      .def(
          "_parse_sql_where_condition",
          [](DbObject&, py::handle conditions) {
            return build_where_clause(to_named_values(conditions, true));
          },
          py::arg("conditions"))
      .def(
          "select_records",
          [](DbObject& self, py::handle table_name, py::handle columns, py::handle conditions) {
            std::string table_text = identifier_of(table_name, "table_name");
            auto column_list = to_column_list(columns);
            std::string sql =
                build_select(table_text, column_list, to_named_values(conditions, true));
            ResultTable table;
            {
              py::gil_scoped_release released;
              table = self.database->select(sql);
            }
            return wrap_result_table(std::move(table));
          },
          py::arg("table_name"), py::arg("columns") = py::none(),
          py::arg("conditions") = py::none())
      .def(
          "insert_records",
          [](DbObject& self, py::handle table_name, py::handle values) {
            std::string table = identifier_of(table_name, "table_name");
            self.execute(build_insert(table, to_named_values(values, false)));
          },
          py::arg("table_name"), py::arg("values"))
      .def(
          "insert_and_get_id",
          [](DbObject& self, py::handle table_name, py::handle values) {
            std::string table = identifier_of(table_name, "table_name");
            return self.insert(build_insert(table, to_named_values(values, false)));
          },
          py::arg("table_name"), py::arg("values"), R"doc(
Inserts one row exactly as insert_records does and returns its id (SQLite's last insert
rowid, read under the same hold of the module lock as the insert, so another thread's
insert cannot come in between).)doc")
      .def(
          "update_records",
          [](DbObject& self, py::handle table_name, py::handle columns, py::handle conditions) {
            std::string table = identifier_of(table_name, "table_name");
            NamedValues assignments = to_named_values(columns, false);
            NamedValues where = to_named_values(conditions, true);
            self.execute(build_update(table, assignments, where));
          },
          py::arg("table_name"), py::arg("columns"), py::arg("conditions") = py::none())
      .def(
          "delete_records",
          [](DbObject& self, py::handle table_name, py::handle conditions) {
            std::string table = identifier_of(table_name, "table_name");
            self.execute(build_delete(table, to_named_values(conditions, true)));
          },
          py::arg("table_name"), py::arg("conditions") = py::none());
}

}  // namespace mx::sqlite::bind
