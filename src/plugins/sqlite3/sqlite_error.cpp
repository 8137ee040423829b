#include "plugins/sqlite3/sqlite_error.h"

#include <sqlite3.h>

namespace mx::sqlite {

void check(int rc, sqlite3* db) {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  if (db != nullptr) {
    // sqlite3_errmsg describes the most recent failure of this connection, which is rc.
    throw SqliteError(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
  }
  throw SqliteError(rc, sqlite3_errstr(rc));
}

}  // namespace mx::sqlite
