#include "plugins/sqlite3/database.h"

#include <climits>
#include <stdexcept>
#include <string>

#include "plugins/sqlite3/sqlite_error.h"
#include "plugins/sqlite3/statement_journal.h"
#include "plugins/sqlite3/statement_lock.h"

namespace mx::sqlite {
namespace {

// True when `tail` holds nothing but blanks, comments and semicolons.
bool is_empty_sql(const char* tail) {
  const char* p = tail;
  while (*p != '\0') {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == ';') {
      ++p;
    } else if (p[0] == '-' && p[1] == '-') {
      while (*p != '\0' && *p != '\n') ++p;
    } else if (p[0] == '/' && p[1] == '*') {
      p += 2;
      while (*p != '\0' && !(p[0] == '*' && p[1] == '/')) ++p;
      if (*p != '\0') p += 2;
    } else {
      return false;
    }
  }
  return true;
}

void bind_one(sqlite3* db, sqlite3_stmt* statement, int index, const Parameter& value) {
  int rc = SQLITE_OK;
  switch (value.index()) {
    case 0:
      rc = sqlite3_bind_null(statement, index);
      break;
    case 1:
      rc = sqlite3_bind_int64(statement, index, std::get<std::int64_t>(value));
      break;
    case 2:
      rc = sqlite3_bind_double(statement, index, std::get<double>(value));
      break;
    case 3: {
      // The parameters outlive the statement's steps, so SQLite need not copy them.
      const std::string& text = std::get<std::string>(value);
      rc = sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC,
                               SQLITE_UTF8);
      break;
    }
    default: {
      const std::string& bytes = std::get<Blob>(value).bytes;
      rc = sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_STATIC);
      break;
    }
  }
  check(rc, db);
}

struct BindNone {
  void operator()(sqlite3*, sqlite3_stmt*) const {}
};

struct BindPositional {
  const PositionalParameters& parameters;
  void operator()(sqlite3* db, sqlite3_stmt* statement) const {
    int wanted = sqlite3_bind_parameter_count(statement);
    if (static_cast<std::size_t>(wanted) != parameters.size()) {
      throw UsageError("Incorrect number of bindings supplied. The current statement uses " +
                       std::to_string(wanted) + ", and there are " +
                       std::to_string(parameters.size()) + " supplied.");
    }
    for (int i = 0; i < wanted; ++i) bind_one(db, statement, i + 1, parameters[i]);
  }
};

struct BindNamed {
  const NamedParameters& parameters;
  void operator()(sqlite3* db, sqlite3_stmt* statement) const {
    int wanted = sqlite3_bind_parameter_count(statement);
    for (int i = 1; i <= wanted; ++i) {
      const char* name = sqlite3_bind_parameter_name(statement, i);
      if (name == nullptr) {
        throw UsageError("Binding " + std::to_string(i) +
                         " has no name, but you supplied a dictionary (which has only names).");
      }
      const Parameter* found = nullptr;
      for (const auto& [key, value] : parameters) {
        if (key == name + 1) {
          found = &value;
          break;
        }
      }
      if (found == nullptr) {
        throw UsageError(std::string("You did not supply a value for binding parameter ") + name +
                         ".");
      }
      bind_one(db, statement, i, *found);
    }
  }
};

}  // namespace

Database::Database(const std::string& path) {
  // SQLite reads the path up to its first NUL: the file opened would be another one.
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument("embedded null character in the database path");
  }
  sqlite3* raw = nullptr;
  // The connection is used by one thread at a time (handle_mutex_), so SQLite's own
  // per-connection mutex is not needed.
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  ConnectionHandle handle(raw);  // sqlite3_open_v2 returns a handle to close even on failure
  check(rc, handle.get());
  check(sqlite3_busy_timeout(handle.get(), kBusyTimeoutMs), handle.get());
  connection_ = std::move(handle);
}

void Database::require_open() const {
  if (!connection_) throw UsageError(kClosedDatabaseMessage);
}

StatementHandle Database::prepare(std::string_view sql) {
  require_open();
  if (sql.find('\0') != std::string_view::npos) {
    throw UsageError("the query contains a null character");
  }
  if (sql.size() >= static_cast<std::size_t>(INT_MAX))
    throw UsageError("query string is too large");
  journal::record(sql);
  sqlite3* db = connection_.get();
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, &tail);
  StatementHandle statement(raw);
  check(rc, db);
  // The text need not be NUL-terminated, so only look at the tail when something is left.
  if (tail != nullptr && tail < sql.data() + sql.size() &&
      !is_empty_sql(std::string(tail, sql.data() + sql.size()).c_str())) {
    throw UsageError("You can only execute one statement at a time.");
  }
  return statement;
}

void Database::commit_open_transaction() {
  sqlite3* db = connection_.get();
  if (sqlite3_get_autocommit(db) != 0) return;  // nothing open: each statement committed itself
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
}

template <class Bind>
Database::RunResult Database::run(std::string_view sql, const Bind& bind) {
  StatementLockGuard hold(statement_lock());
  std::lock_guard guard(handle_mutex_);
  StatementHandle statement = prepare(sql);
  sqlite3* db = connection_.get();
  const std::int64_t changes_before = sqlite3_total_changes64(db);
  if (statement) {  // null for a text of blanks and comments only
    bind(db, statement.get());
    int rc = sqlite3_step(statement.get());
    // A query's rows are not wanted here; any other statement runs to its end.
    bool read_only = sqlite3_stmt_readonly(statement.get()) != 0;
    while (rc == SQLITE_ROW && !read_only) rc = sqlite3_step(statement.get());
    check(rc, db);
  }
  RunResult result{sqlite3_last_insert_rowid(db), sqlite3_total_changes64(db) != changes_before};
  commit_open_transaction();
  return result;
}

void Database::execute(std::string_view sql) { run(sql, BindNone{}); }

std::int64_t Database::insert(std::string_view sql) {
  RunResult result = run(sql, BindNone{});
  if (!result.changed_rows) throw UsageError("the statement inserted no row");
  return result.last_rowid;
}

void Database::execute(std::string_view sql, const PositionalParameters& parameters) {
  run(sql, BindPositional{parameters});
}

void Database::execute(std::string_view sql, const NamedParameters& parameters) {
  run(sql, BindNamed{parameters});
}

ResultTable Database::select(std::string_view sql) {
  StatementLockGuard hold(statement_lock());
  std::lock_guard guard(handle_mutex_);
  StatementHandle statement = prepare(sql);
  sqlite3* db = connection_.get();
  if (!statement) {
    commit_open_transaction();
    return ResultTable();
  }
  sqlite3_stmt* s = statement.get();
  const int columns = sqlite3_column_count(s);
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    const char* name = sqlite3_column_name(s, c);
    names.emplace_back(name != nullptr ? name : "");
  }
  ResultTable table(std::move(names));
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    for (int c = 0; c < columns; ++c) {
      switch (sqlite3_column_type(s, c)) {
        case SQLITE_INTEGER:
          table.add_integer(sqlite3_column_int64(s, c));
          break;
        case SQLITE_FLOAT:
          table.add_real(sqlite3_column_double(s, c));
          break;
        case SQLITE_TEXT: {
          auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
          table.add_text(
              std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(s, c))));
          break;
        }
        case SQLITE_BLOB: {
          auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, c));
          table.add_blob(
              std::string_view(bytes, static_cast<std::size_t>(sqlite3_column_bytes(s, c))));
          break;
        }
        default:
          table.add_null();
          break;
      }
    }
  }
  check(rc, db);
  statement.reset();
  commit_open_transaction();
  return table;
}

void Database::commit() {
  std::lock_guard guard(handle_mutex_);
  require_open();
  commit_open_transaction();
}

void Database::close() {
  StatementLockGuard hold(statement_lock());
  std::lock_guard guard(handle_mutex_);
  connection_.reset();
}

bool Database::is_closed() const {
  std::lock_guard guard(handle_mutex_);
  return !connection_;
}

}  // namespace mx::sqlite
