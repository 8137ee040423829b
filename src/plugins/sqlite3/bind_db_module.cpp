// morvex_trader.plugins.sqlite3.db: the SQLite persistence plug-in.
#include "plugins/sqlite3/bind_db.h"

PYBIND11_MODULE(db, m) {
  m.doc() = "SQLite store of balances, positions, orders and deals (morvex_trader.db).";
  namespace bind = mx::sqlite::bind;
  bind::init_values();
  bind::init_errors(m);
  bind::init_lock(m);
  bind::init_result_table(m);
  bind::init_database(m);
}
