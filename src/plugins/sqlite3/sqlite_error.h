// Errors of the statement runner.
//
// SqliteError carries a failure reported by the SQLite library: its result code (primary
// and extended) and SQLite's own message. UsageError is a misuse of the runner itself (an
// operation on a closed database, a wrong number of bound parameters, more than one
// statement in a text). LockReentryError is raised instead of deadlocking when a thread
// that holds the statement lock asks for it again.
#pragma once

#include <stdexcept>
#include <string>

struct sqlite3;

namespace mx::sqlite {

class SqliteError : public std::runtime_error {
 public:
  SqliteError(int extended_code, const std::string& message)
      : std::runtime_error(message), extended_code_(extended_code) {}

  int code() const { return extended_code_ & 0xff; }
  int extended_code() const { return extended_code_; }

 private:
  int extended_code_;
};

class UsageError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class LockReentryError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// The one place where SQLite result codes become exceptions: returns when `rc` is
// SQLITE_OK, SQLITE_ROW or SQLITE_DONE, else throws SqliteError with the connection's
// extended code and message (or the code's generic text when there is no connection).
void check(int rc, sqlite3* db);

// The name of a primary or extended result code, e.g. "SQLITE_CONSTRAINT_NOTNULL".
const char* error_code_name(int code);

// Message of a closed database, as Python's sqlite3 words it.
inline constexpr const char* kClosedDatabaseMessage = "Cannot operate on a closed database.";

}  // namespace mx::sqlite
