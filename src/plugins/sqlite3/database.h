// One SQLite connection of the db plug-in and the statement runner on it.
//
// Every statement (execute, select) and close() runs under the process-wide statement
// lock, so statements of all databases in the process never interleave; a select runs its
// statement and fetches all its rows under one hold. Each statement that leaves a
// transaction open is committed at once. A per-connection mutex also guards the handle, so
// commit() (which takes no statement lock) can never meet a connection being closed.
//
// Thread-safe. None of these calls may be made by a thread that holds the statement lock
// (LockReentryError). Errors: SqliteError for every failure SQLite reports, UsageError
// for misuse (closed database, parameters that do not fit the statement, more than one
// statement in a text).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "plugins/sqlite3/result_table.h"
#include "plugins/sqlite3/sqlite_handles.h"

namespace mx::sqlite {

struct Blob {
  std::string bytes;
};
// A value bound to a placeholder: NULL, integer, real, text or blob.
using Parameter = std::variant<std::monostate, std::int64_t, double, std::string, Blob>;
using PositionalParameters = std::vector<Parameter>;
// Values for named placeholders (":name", "@name", "$name"), keyed by the name without
// its prefix character.
using NamedParameters = std::vector<std::pair<std::string, Parameter>>;

class Database {
 public:
  // How long a statement waits for a database file that another connection has locked
  // before it fails with "database is locked" (the same default as Python's sqlite3).
  static constexpr int kBusyTimeoutMs = 5000;

  // Opens the database file at `path`, creating it when missing. Takes no lock. Throws
  // std::invalid_argument for a path holding a NUL (SQLite would open a shorter one).
  explicit Database(const std::string& path);
  ~Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one statement to its end (a query stops at its first row) and commits.
  void execute(std::string_view sql);
  void execute(std::string_view sql, const PositionalParameters& parameters);
  void execute(std::string_view sql, const NamedParameters& parameters);

  // Runs one INSERT statement like execute() and returns the rowid of the last row it
  // inserted, read under the same hold of the statement lock as the statement itself, so
  // no other thread's insert can come in between. UsageError when the statement inserted
  // no row (the connection's last rowid would then belong to an earlier statement).
  std::int64_t insert(std::string_view sql);

  // Runs one query, fetches every row and the column names, and commits: all under one
  // hold of the statement lock.
  ResultTable select(std::string_view sql);

  // Commits an open transaction, if any. Takes no statement lock.
  void commit();

  // Closes the connection; later operations fail with UsageError. Closing twice is fine.
  void close();
  bool is_closed() const;

 private:
  // Runs the statement and commits; returns the connection's last insert rowid and
  // whether the statement changed any row, both read before the lock is released.
  struct RunResult {
    std::int64_t last_rowid;
    bool changed_rows;
  };
  template <class Bind>
  RunResult run(std::string_view sql, const Bind& bind);
  StatementHandle prepare(std::string_view sql);  // requires handle_mutex_
  void commit_open_transaction();                 // requires handle_mutex_
  void require_open() const;                      // requires handle_mutex_

  mutable std::mutex handle_mutex_;
  ConnectionHandle connection_;  // guarded by handle_mutex_
};

}  // namespace mx::sqlite
