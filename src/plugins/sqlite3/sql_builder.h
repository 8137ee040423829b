// Builds the SQL text of the record operations from a table name and name/value pairs.
//
// Blanks and commas sit exactly where the statements below show them (hosts and tests
// compare the texts). Every table and column name must be a plain identifier and is
// checked before any text is built; the value of the condition named `condition_str` is
// raw SQL and is inserted unchanged. Pure functions: safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plugins/sqlite3/sql_value.h"

namespace mx::sqlite {

// Name of the condition whose value is raw SQL condition text.
inline constexpr std::string_view kConditionStr = "condition_str";

// One (column name, value) pair: a condition, an inserted value or an assignment. For
// `condition_str` the value is expected to hold the raw text.
struct NamedValue {
  std::string name;
  SqlValue value;
};
using NamedValues = std::vector<NamedValue>;

// "" for no conditions, else "WHERE a=1 AND b='x' " (every condition ends in a blank).
std::string build_where_clause(const NamedValues& conditions);

// "SELECT " + (columns joined by "," or "*") + " FROM " + table + " " + where clause.
std::string build_select(std::string_view table_name,
                         const std::optional<std::vector<std::string>>& columns,
                         const NamedValues& conditions);

// "INSERT INTO t (a,b) VALUES (1,'x')". Throws SqlInputError
// "Must provide columns and values when inserting!" for no values.
std::string build_insert(std::string_view table_name, const NamedValues& values);

// "UPDATE t SET a=1 ,b=2 WHERE id=4 ". Throws SqlInputError
// "At least one column needs to be updated!" for no assignments.
std::string build_update(std::string_view table_name, const NamedValues& assignments,
                         const NamedValues& conditions);

// "DELETE FROM t " + where clause (no conditions: every row).
std::string build_delete(std::string_view table_name, const NamedValues& conditions);

// "DROP TABLE t".
std::string build_drop_table(std::string_view table_name);

}  // namespace mx::sqlite
