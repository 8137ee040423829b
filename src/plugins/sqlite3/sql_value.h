// Values that the record operations write into SQL text, and the one rule that renders them.
//
// Text and date-time become single-quoted SQL literals with any single quote doubled, so a
// value can never be read as a column name or change the statement around it. Integers are
// plain decimal; doubles are written as Python's repr writes them (shortest text that reads
// back as the same double). Pure functions: safe from any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace mx::sqlite {

// Calendar date and time of day, to the second (fractions and time zones are not kept).
struct DateTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// A value the record operations can render: text, double, 64-bit integer or date-time.
using SqlValue = std::variant<std::string, double, std::int64_t, DateTime>;

// Bad input to the SQL builder: a name that is not a plain identifier, an empty list where
// one is needed, a value with no SQL literal. Raised before any SQL runs.
class SqlInputError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Appends the SQL literal of `value` to `out`. Throws SqlInputError for a NaN double
// (SQLite has no literal for it). Infinities render as 9.0e+999 / -9.0e+999, which SQLite
// reads back as infinities (the form SQLite's own quote() uses).
void append_sql_value(std::string& out, const SqlValue& value);
std::string render_sql_value(const SqlValue& value);

// `value` as Python's repr(float) writes it: "100000.0", "1e-05", "1e+16", "-0.0", "inf".
std::string format_double_repr(double value);

// "%Y-%m-%d %H:%M:%S" with the year zero-padded to four digits.
std::string format_date_time(const DateTime& value);

// True when `name` is letters, digits and underscores, not starting with a digit.
bool is_plain_identifier(std::string_view name);

// Throws SqlInputError naming `what` ("table name", "column name") unless the name is a
// plain identifier.
void require_plain_identifier(std::string_view name, std::string_view what);

}  // namespace mx::sqlite
