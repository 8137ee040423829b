// SQL building of the db plug-in: value literals and the exact statement texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "plugins/sqlite3/sql_builder.h"
#include "plugins/sqlite3/sql_value.h"

namespace mx::sqlite {
namespace {

struct DoubleCase {
  double value;
  const char* repr;  // what Python's repr(float) gives
};

TEST(SqlValueTest, DoublesRenderAsPythonRepr) {
  const DoubleCase cases[] = {
      {100000.0, "100000.0"},
      {0.00001, "1e-05"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {9999999999999998.0, "9999999999999998.0"},
      {0.0001, "0.0001"},
      {0.00012345, "0.00012345"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {-2.5, "-2.5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {123.456, "123.456"},
      {1e22, "1e+22"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {1e100, "1e+100"},
      {-1.25e-7, "-1.25e-07"},
      {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const DoubleCase& c : cases) {
    EXPECT_EQ(format_double_repr(c.value), c.repr) << c.repr;
  }
}

TEST(SqlValueTest, LiteralsOfEachKind) {
  const struct {
    SqlValue value;
    const char* literal;
  } cases[] = {
      {SqlValue(std::string("FUTU2")), "'FUTU2'"},
      {SqlValue(std::string("O'Brien's")), "'O''Brien''s'"},
      {SqlValue(std::string("say \"hi\"")), "'say \"hi\"'"},
      {SqlValue(std::string("")), "''"},
      {SqlValue(std::int64_t{99000}), "99000"},
      {SqlValue(std::int64_t{-7}), "-7"},
      {SqlValue(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {SqlValue(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"},
      {SqlValue(100000.0), "100000.0"},
      {SqlValue(std::numeric_limits<double>::infinity()), "9.0e+999"},
      {SqlValue(-std::numeric_limits<double>::infinity()), "-9.0e+999"},
      {SqlValue(DateTime{2024, 3, 5, 9, 7, 1}), "'2024-03-05 09:07:01'"},
      {SqlValue(DateTime{987, 12, 31, 23, 59, 59}), "'0987-12-31 23:59:59'"},
  };
  for (const auto& c : cases) EXPECT_EQ(render_sql_value(c.value), c.literal);
  EXPECT_THROW(render_sql_value(SqlValue(std::nan(""))), SqlInputError);
}

TEST(SqlValueTest, PlainIdentifiers) {
  for (const char* good : {"balance", "_x", "a1", "trading_order", "Offset"}) {
    EXPECT_TRUE(is_plain_identifier(good)) << good;
  }
  for (const char* bad : {"", "1a", "a b", "a;DROP", "\"x\"", "a-b", "t.c", "é"}) {
    EXPECT_FALSE(is_plain_identifier(bad)) << bad;
  }
}

NamedValues pairs(std::initializer_list<NamedValue> list) { return NamedValues(list); }

TEST(SqlBuilderTest, StatementTexts) {
  const NamedValues none;
  const struct {
    const char* label;
    std::string built;
    const char* expected;
  } cases[] = {
      {"where of two",
       build_where_clause(pairs(
           {{"broker_account_id", std::int64_t{1}}, {"strategy_account_id", std::int64_t{1}}})),
       "WHERE broker_account_id=1 AND strategy_account_id=1 "},
      {"where of none", build_where_clause(none), ""},
      {"condition_str raw",
       build_where_clause(pairs(
           {{"condition_str", std::string("update_time>'2024-01-01'")}, {"id", std::int64_t{3}}})),
       "WHERE update_time>'2024-01-01' AND id=3 "},
      {"select all", build_select("balance", std::nullopt, none), "SELECT * FROM balance "},
      {"select columns",
       build_select("balance", std::vector<std::string>{"id", "cash"},
                    pairs({{"remark", std::string("remark")}})),
       "SELECT id,cash FROM balance WHERE remark='remark' "},
      {"select empty columns", build_select("balance", std::vector<std::string>{}, none),
       "SELECT  FROM balance "},
      {"insert",
       build_insert("balance",
                    pairs({{"cash", 100000.0}, {"available_cash", std::int64_t{99000}}})),
       "INSERT INTO balance (cash,available_cash) VALUES (100000.0,99000)"},
      {"update two",
       build_update(
           "balance",
           pairs({{"cash", std::int64_t{950000}}, {"available_cash", std::int64_t{950000}}}),
           pairs({{"id", std::int64_t{4}}})),
       "UPDATE balance SET cash=950000 ,available_cash=950000 WHERE id=4 "},
      {"update one",
       build_update("t", pairs({{"a", std::int64_t{1}}}), pairs({{"id", std::int64_t{2}}})),
       "UPDATE t SET a=1 WHERE id=2 "},
      {"update all rows", build_update("t", pairs({{"a", std::int64_t{1}}}), none),
       "UPDATE t SET a=1 "},
      {"delete all", build_delete("position", none), "DELETE FROM position "},
      {"delete where",
       build_delete("position", pairs({{"update_time", DateTime{2024, 1, 2, 3, 4, 5}}})),
       "DELETE FROM position WHERE update_time='2024-01-02 03:04:05' "},
      {"drop", build_drop_table("balance"), "DROP TABLE balance"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.built, c.expected) << c.label;
}

TEST(SqlBuilderTest, EmptyInputsFailWithTheirMessages) {
  try {
    build_insert("balance", {});
    FAIL() << "no error";
  } catch (const SqlInputError& e) {
    EXPECT_STREQ(e.what(), "Must provide columns and values when inserting!");
  }
  try {
    build_update("balance", {}, pairs({{"id", std::int64_t{1}}}));
    FAIL() << "no error";
  } catch (const SqlInputError& e) {
    EXPECT_STREQ(e.what(), "At least one column needs to be updated!");
  }
}

TEST(SqlBuilderTest, NamesThatAreNotPlainIdentifiersAreRefused) {
  const NamedValues one = pairs({{"a", std::int64_t{1}}});
  const NamedValues bad_name = pairs({{"a=1 OR 1", std::int64_t{1}}});
  EXPECT_THROW(build_select("balance; DROP TABLE balance", std::nullopt, {}), SqlInputError);
  EXPECT_THROW(build_select("balance", std::vector<std::string>{"*"}, {}), SqlInputError);
  EXPECT_THROW(build_select("balance", std::nullopt, bad_name), SqlInputError);
  EXPECT_THROW(build_insert("balance", bad_name), SqlInputError);
  EXPECT_THROW(build_insert("bal ance", one), SqlInputError);
  EXPECT_THROW(build_update("balance", bad_name, one), SqlInputError);
  EXPECT_THROW(build_update("balance", one, bad_name), SqlInputError);
  EXPECT_THROW(build_delete("position", bad_name), SqlInputError);
  EXPECT_THROW(build_drop_table("x y"), SqlInputError);
}

}  // namespace
}  // namespace mx::sqlite
