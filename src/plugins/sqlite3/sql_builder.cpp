#include "plugins/sqlite3/sql_builder.h"

namespace mx::sqlite {
namespace {

void check_table(std::string_view table_name) {
  require_plain_identifier(table_name, "table name");
}

void check_names(const NamedValues& pairs, bool allow_condition_str) {
  for (const NamedValue& pair : pairs) {
    if (allow_condition_str && pair.name == kConditionStr) continue;
    require_plain_identifier(pair.name, "column name");
  }
}

// The raw text of a `condition_str` value (the binding passes it as text already).
void append_raw(std::string& out, const SqlValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    out += *text;
  } else if (const auto* when = std::get_if<DateTime>(&value)) {
    out += format_date_time(*when);
  } else {
    append_sql_value(out, value);
  }
}

// Appends the where clause; names must have been checked.
void append_where(std::string& out, const NamedValues& conditions) {
  if (conditions.empty()) return;
  out += "WHERE ";
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    if (i != 0) out += "AND ";
    const NamedValue& condition = conditions[i];
    if (condition.name == kConditionStr) {
      append_raw(out, condition.value);
    } else {
      out += condition.name;
      out.push_back('=');
      append_sql_value(out, condition.value);
    }
    out.push_back(' ');
  }
}

}  // namespace

std::string build_where_clause(const NamedValues& conditions) {
  check_names(conditions, true);
  std::string out;
  append_where(out, conditions);
  return out;
}

std::string build_select(std::string_view table_name,
                         const std::optional<std::vector<std::string>>& columns,
                         const NamedValues& conditions) {
  check_table(table_name);
  if (columns) {
    for (const std::string& column : *columns) require_plain_identifier(column, "column name");
  }
  check_names(conditions, true);
  std::string out = "SELECT ";
  if (!columns) {
    out.push_back('*');
  } else {
    for (std::size_t i = 0; i < columns->size(); ++i) {
      if (i != 0) out.push_back(',');
      out += (*columns)[i];
    }
  }
  out += " FROM ";
  out += table_name;
  out.push_back(' ');
  append_where(out, conditions);
  return out;
}

std::string build_insert(std::string_view table_name, const NamedValues& values) {
  if (values.empty()) throw SqlInputError("Must provide columns and values when inserting!");
  check_table(table_name);
  check_names(values, false);
  std::string out;
  out.reserve(32 + table_name.size() + values.size() * 32);
  out += "INSERT INTO ";
  out += table_name;
  out += " (";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out.push_back(',');
    out += values[i].name;
  }
  out += ") VALUES (";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out.push_back(',');
    append_sql_value(out, values[i].value);
  }
  out.push_back(')');
  return out;
}

std::string build_update(std::string_view table_name, const NamedValues& assignments,
                         const NamedValues& conditions) {
  if (assignments.empty()) throw SqlInputError("At least one column needs to be updated!");
  check_table(table_name);
  check_names(assignments, false);
  check_names(conditions, true);
  std::string out = "UPDATE ";
  out += table_name;
  out.push_back(' ');
  for (std::size_t i = 0; i < assignments.size(); ++i) {
    if (i == 0) out += "SET ";
    out += assignments[i].name;
    out.push_back('=');
    append_sql_value(out, assignments[i].value);
    out.push_back(' ');
    if (i + 1 != assignments.size()) out.push_back(',');
  }
  append_where(out, conditions);
  return out;
}

std::string build_delete(std::string_view table_name, const NamedValues& conditions) {
  check_table(table_name);
  check_names(conditions, true);
  std::string out = "DELETE FROM ";
  out += table_name;
  out.push_back(' ');
  append_where(out, conditions);
  return out;
}

std::string build_drop_table(std::string_view table_name) {
  check_table(table_name);
  return "DROP TABLE " + std::string(table_name);
}

}  // namespace mx::sqlite
