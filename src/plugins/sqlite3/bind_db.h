// The pieces of the Python module morvex_trader.plugins.sqlite3.db, one per area; the
// module file only calls them.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "plugins/sqlite3/database.h"
#include "plugins/sqlite3/result_table.h"
#include "plugins/sqlite3/sql_builder.h"

namespace mx::sqlite::bind {

namespace py = pybind11;

// Exceptions: SQLite failures as the standard library's sqlite3 classes.
void init_errors(py::module_& m);
// Raises sqlite3.<class_name>(message) (used outside the C++ exception path).
[[noreturn]] void raise_sqlite3_error(const char* class_name, const std::string& message);

// Python values to SQL values and parameters.
void init_values();
// `column` names the value in errors (empty: "a value").
SqlValue to_sql_value(py::handle value, std::string_view column = {});
// The text of an argument that must be a str (a table name, a statement): TypeError
// "<argument> must be str, not <type>" for anything else, bytes included, and
// UnicodeEncodeError naming it for text that UTF-8 cannot hold.
std::string identifier_of(py::handle name, const char* argument);
std::string type_name(py::handle value);
// A dict (or any mapping) or a sequence of (name, value) pairs; None gives no pairs. For
// conditions, the value of `condition_str` is taken as its text, str(value).
NamedValues to_named_values(py::handle pairs, bool conditions);
std::optional<std::vector<std::string>> to_column_list(py::handle columns);
// Parameters of execute(): None, a sequence (positional) or a mapping (named).
using BoundParameters = std::variant<std::monostate, PositionalParameters, NamedParameters>;
BoundParameters to_parameters(py::handle parameters);

void init_lock(py::module_& m);

void init_result_table(py::module_& m);
py::object wrap_result_table(ResultTable&& table);

void init_database(py::module_& m);

}  // namespace mx::sqlite::bind
