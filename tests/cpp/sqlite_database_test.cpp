// The statement runner of the db plug-in: results, errors, the statement lock and threads.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "plugins/sqlite3/database.h"
#include "plugins/sqlite3/schema.h"
#include "plugins/sqlite3/sql_builder.h"
#include "plugins/sqlite3/sqlite_error.h"
#include "plugins/sqlite3/statement_journal.h"
#include "plugins/sqlite3/statement_lock.h"

namespace mx::sqlite {
namespace {

namespace fs = std::filesystem;

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("mx_sqlite_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    path_ = (folder_ / "morvex_trader.db").string();
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path folder_;
  std::string path_;
};

TEST_F(DatabaseTest, APathWithANulIsRefusedAndOpensNothing) {
  // SQLite would read only the part before the NUL and open that file instead.
  std::string path = (folder_ / "victim").string() + std::string(1, '\0') + "/morvex_trader.db";
  EXPECT_THROW(Database{path}, std::invalid_argument);
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(DatabaseTest, SelectReturnsColumnsAndCellsOfEveryKind) {
  Database db(path_);
  db.execute("CREATE TABLE t (i INTEGER, r DOUBLE, s VARCHAR(5), n INTEGER, b BLOB)");
  db.execute("INSERT INTO t VALUES (-9223372036854775808, 2.5, 'héllo', NULL, x'00ff')");
  db.execute("INSERT INTO t VALUES (7, 9.0e+999, '', NULL, NULL)");
  ResultTable table = db.select("SELECT i, r AS real_value, s, n, b FROM t");
  ASSERT_EQ(table.columns(), (std::vector<std::string>{"i", "real_value", "s", "n", "b"}));
  ASSERT_EQ(table.row_count(), 2u);
  EXPECT_EQ(table.cell(0, 0).integer, INT64_MIN);
  EXPECT_EQ(table.cell(0, 1).real, 2.5);
  EXPECT_EQ(table.bytes(table.cell(0, 2)), "héllo");
  EXPECT_EQ(table.cell(0, 3).type, CellType::kNull);
  EXPECT_EQ(table.cell(0, 4).type, CellType::kBlob);
  EXPECT_EQ(table.bytes(table.cell(0, 4)), std::string("\0\xff", 2));
  EXPECT_TRUE(std::isinf(table.cell(1, 1).real));
  EXPECT_EQ(table.cell(1, 2).type, CellType::kText);
  EXPECT_EQ(table.bytes(table.cell(1, 2)), "");

  ResultTable empty = db.select("SELECT i, s FROM t WHERE i = 0");
  EXPECT_EQ(empty.columns().size(), 2u);
  EXPECT_EQ(empty.row_count(), 0u);
}

TEST_F(DatabaseTest, SqliteFailuresCarryCodeAndMessage) {
  Database db(path_);
  db.execute(schema::kCreateBalanceTable);
  const struct {
    const char* sql;
    int code;
    int extended_code;
    const char* message;
  } cases[] = {
      {"DROP TABLE nothing_here", SQLITE_ERROR, SQLITE_ERROR, "no such table: nothing_here"},
      {"SELEC 1", SQLITE_ERROR, SQLITE_ERROR, "near \"SELEC\": syntax error"},
      {"INSERT INTO balance (cash) VALUES (1.0)", SQLITE_CONSTRAINT, SQLITE_CONSTRAINT_NOTNULL,
       "NOT NULL constraint failed: balance.broker_name"},
  };
  for (const auto& c : cases) {
    try {
      db.execute(c.sql);
      ADD_FAILURE() << "no error for " << c.sql;
    } catch (const SqliteError& e) {
      EXPECT_EQ(e.code(), c.code) << c.sql;
      EXPECT_EQ(e.extended_code(), c.extended_code) << c.sql;
      EXPECT_STREQ(e.what(), c.message) << c.sql;
    }
  }
  // A failed statement leaves no transaction open and the lock free.
  EXPECT_FALSE(statement_lock().locked());
  EXPECT_EQ(db.select("SELECT count(*) FROM balance").cell(0, 0).integer, 0);
}

TEST_F(DatabaseTest, OpeningAFileInAMissingFolderFails) {
  try {
    Database db((folder_ / "missing" / "x.db").string());
    FAIL() << "opened";
  } catch (const SqliteError& e) {
    EXPECT_EQ(e.code(), SQLITE_CANTOPEN);
    EXPECT_STREQ(e.what(), "unable to open database file");
  }
}

TEST_F(DatabaseTest, MisuseIsRefused) {
  Database db(path_);
  db.execute("CREATE TABLE t (a, b)");
  EXPECT_THROW(db.execute("INSERT INTO t VALUES (1, 2); DROP TABLE t"), UsageError);
  EXPECT_THROW(db.execute(std::string_view("INSERT INTO t VALUES ('a\0', 1)", 30)), UsageError);
  EXPECT_THROW(db.execute("INSERT INTO t VALUES (?, ?)", PositionalParameters{std::int64_t{1}}),
               UsageError);
  EXPECT_THROW(db.execute("INSERT INTO t VALUES (:a, :b)", NamedParameters{{"a", 1.0}}),
               UsageError);
  db.execute("INSERT INTO t VALUES (1, 2); -- a comment\n ;");
  db.execute("  /* nothing */ ");
  EXPECT_EQ(db.select("SELECT count(*) FROM t").cell(0, 0).integer, 1);

  db.close();
  db.close();
  EXPECT_TRUE(db.is_closed());
  for (auto operation :
       {+[](Database& d) { d.execute("SELECT 1"); }, +[](Database& d) { d.select("SELECT 1"); },
        +[](Database& d) { d.commit(); }}) {
    try {
      operation(db);
      ADD_FAILURE() << "worked after close";
    } catch (const UsageError& e) {
      EXPECT_STREQ(e.what(), kClosedDatabaseMessage);
    }
  }
}

TEST_F(DatabaseTest, BoundParametersKeepTheirValues) {
  Database db(path_);
  db.execute("CREATE TABLE t (a, b, c, d, e)");
  db.execute("INSERT INTO t VALUES (?, ?, ?, ?, ?)",
             PositionalParameters{std::monostate{}, std::int64_t{42}, 0.5,
                                  std::string("it's \"quoted\""), Blob{std::string("\0x", 2)}});
  db.execute("UPDATE t SET a = :value WHERE b = $key",
             NamedParameters{{"key", std::int64_t{42}}, {"value", std::string("set")}});
  ResultTable row = db.select("SELECT * FROM t");
  ASSERT_EQ(row.row_count(), 1u);
  EXPECT_EQ(row.bytes(row.cell(0, 0)), "set");
  EXPECT_EQ(row.cell(0, 1).integer, 42);
  EXPECT_EQ(row.cell(0, 2).real, 0.5);
  EXPECT_EQ(row.bytes(row.cell(0, 3)), "it's \"quoted\"");
  EXPECT_EQ(row.bytes(row.cell(0, 4)), std::string("\0x", 2));
}

TEST_F(DatabaseTest, AnOpenTransactionIsCommittedByTheStatement) {
  Database db(path_);
  db.execute("CREATE TABLE t (a)");
  db.execute("BEGIN");  // committed again at once, as every statement is
  db.execute("INSERT INTO t VALUES (1)");
  Database other(path_);
  EXPECT_EQ(other.select("SELECT count(*) FROM t").cell(0, 0).integer, 1);
}

TEST_F(DatabaseTest, JournalRecordsTheTextsSentToSqlite) {
  Database db(path_);
  db.execute("CREATE TABLE t (a)");  // not recorded: journal off
  journal::start();
  db.execute(build_insert("t", {{"a", std::string("x'y")}}));
  db.select(build_select("t", std::nullopt, {{"a", std::string("x'y")}}));
  EXPECT_THROW(db.execute("DROP TABLE nope"), SqliteError);
  std::vector<std::string> texts = journal::stop();
  EXPECT_EQ(texts,
            (std::vector<std::string>{"INSERT INTO t (a) VALUES ('x''y')",
                                      "SELECT * FROM t WHERE a='x''y' ", "DROP TABLE nope"}));
  db.execute("DELETE FROM t ");
  EXPECT_TRUE(journal::snapshot().empty());
}

TEST(StatementLockTest, ReentryFailsInsteadOfHanging) {
  StatementLock lock;
  lock.acquire();
  EXPECT_TRUE(lock.held_by_this_thread());
  EXPECT_THROW(lock.acquire(), LockReentryError);
  EXPECT_THROW(lock.wait_until_free(std::nullopt), LockReentryError);
  EXPECT_FALSE(lock.try_acquire());
  EXPECT_FALSE(lock.wait_until_free(std::chrono::milliseconds(5)));
  // Like threading.Lock, another thread may release it.
  std::thread([&] { EXPECT_TRUE(lock.release()); }).join();
  EXPECT_FALSE(lock.locked());
  EXPECT_FALSE(lock.release());
}

TEST(StatementLockTest, WaitersOfBothKindsWakeWhenReleased) {
  StatementLock lock;
  lock.acquire();
  std::atomic<int> done{0};
  std::thread taker([&] {
    lock.acquire();
    lock.release();
    ++done;
  });
  std::thread watcher([&] {
    while (!lock.wait_until_free(std::chrono::seconds(10))) {
    }
    ++done;
  });
  lock.release();
  taker.join();
  watcher.join();
  EXPECT_EQ(done.load(), 2);
}

TEST_F(DatabaseTest, DatabaseCallsFromAThreadHoldingTheLockFail) {
  Database db(path_);
  StatementLockGuard hold(statement_lock());
  EXPECT_THROW(db.execute("SELECT 1"), LockReentryError);
  EXPECT_THROW(db.close(), LockReentryError);
  EXPECT_NO_THROW(db.commit());  // commit takes no statement lock
}

TEST_F(DatabaseTest, FourThreadsInsertAndSelectWithNothingLost) {
  Database shared(path_);
  shared.execute(schema::kCreatePositionTable);
  constexpr int kThreads = 4;
  constexpr int kRowsEach = 200;
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Two threads share one connection, two open their own.
      Database own(path_);
      Database& db = t % 2 == 0 ? shared : own;
      try {
        for (int i = 0; i < kRowsEach; ++i) {
          db.execute(build_insert("position", {{"balance_id", std::int64_t{t}},
                                               {"security_name", std::string("S")},
                                               {"security_code", std::string("C")},
                                               {"direction", std::string("LONG")},
                                               {"holding_price", 1.5},
                                               {"quantity", std::int64_t{i}},
                                               {"update_time", DateTime{2024, 1, 2, 3, 4, 5}}}));
          ResultTable mine = db.select(build_select(
              "position", std::vector<std::string>{"quantity"}, {{"balance_id", std::int64_t{t}}}));
          if (mine.row_count() != static_cast<std::size_t>(i + 1) ||
              mine.cell(static_cast<std::size_t>(i), 0).integer != i) {
            failed = true;
          }
        }
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        failed = true;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(failed.load());
  ResultTable counts = shared.select(
      "SELECT balance_id, count(*), count(DISTINCT id) FROM position GROUP BY balance_id");
  ASSERT_EQ(counts.row_count(), static_cast<std::size_t>(kThreads));
  for (std::size_t r = 0; r < counts.row_count(); ++r) {
    EXPECT_EQ(counts.cell(r, 1).integer, kRowsEach);
    EXPECT_EQ(counts.cell(r, 2).integer, kRowsEach);
  }
}

TEST_F(DatabaseTest, InsertReturnsTheRowIdOfItsOwnRow) {
  Database db(path_);
  db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, v INTEGER)");
  EXPECT_EQ(db.insert("INSERT INTO t (v) VALUES (10)"), 1);
  EXPECT_EQ(db.insert("INSERT INTO t (v) VALUES (20)"), 2);
  db.execute("DELETE FROM t WHERE id = 2");
  EXPECT_EQ(db.insert("INSERT INTO t (v) VALUES (30)"), 3);  // ids are never reused
  // A statement that inserts nothing must not hand back the previous statement's id.
  EXPECT_THROW(db.insert("INSERT INTO t (v) SELECT v FROM t WHERE 0"), UsageError);
  EXPECT_THROW(db.insert("UPDATE t SET v = 1 WHERE 0"), UsageError);
  EXPECT_THROW(db.insert("INSERT INTO missing (v) VALUES (1)"), SqliteError);
  ResultTable rows = db.select("SELECT id, v FROM t ORDER BY id");
  ASSERT_EQ(rows.row_count(), 2u);
  EXPECT_EQ(rows.cell(1, 1).integer, 30);
}

// Threads sharing one connection: each id returned must be the id of the row that thread
// inserted, which holds only when the id is read under the same lock hold as the insert.
TEST_F(DatabaseTest, InsertIdsStayWithTheirRowsAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kRowsEach = 200;
  Database shared(path_);
  shared.execute("PRAGMA synchronous=OFF");  // no wait for the disk: more contention
  shared.execute("CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, owner INTEGER, n INTEGER)");
  std::vector<std::vector<std::int64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRowsEach; ++i) {
        std::string values = std::to_string(t) + ", " + std::to_string(i);
        ids[t].push_back(shared.insert("INSERT INTO t (owner, n) VALUES (" + values + ")"));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  int mismatched = 0;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(ids[t].size(), static_cast<std::size_t>(kRowsEach));
    for (int i = 0; i < kRowsEach; ++i) {
      ResultTable row =
          shared.select("SELECT owner, n FROM t WHERE id = " + std::to_string(ids[t][i]));
      if (row.row_count() != 1 || row.cell(0, 0).integer != t || row.cell(0, 1).integer != i) {
        ++mismatched;
      }
    }
  }
  EXPECT_EQ(mismatched, 0);
}

}  // namespace
}  // namespace mx::sqlite
