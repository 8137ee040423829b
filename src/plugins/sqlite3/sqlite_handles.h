// RAII owners of SQLite's connection and statement handles. Destructors never throw; a
// connection is closed with sqlite3_close_v2 so that a statement still alive cannot make
// the close fail.
#pragma once

#include <sqlite3.h>

#include <memory>

namespace mx::sqlite {

struct ConnectionCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};

using ConnectionHandle = std::unique_ptr<sqlite3, ConnectionCloser>;
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

}  // namespace mx::sqlite
