#include "plugins/sqlite3/schema.h"

namespace mx::sqlite::schema {

// Every table starts with an id that SQLite assigns and never reuses (AUTOINCREMENT);
// rows refer to each other by these ids, without foreign-key constraints.

const std::string_view kCreateBalanceTable =
    "CREATE TABLE IF NOT EXISTS balance ("
    "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "broker_name VARCHAR(20) NOT NULL, "
    "broker_environment VARCHAR(20) NOT NULL, "
    "broker_account_id INTEGER NOT NULL, "
    "broker_account VARCHAR(20) NOT NULL, "
    "strategy_account_id INTEGER NOT NULL, "
    "strategy_account VARCHAR(20) NOT NULL, "
    "strategy_version VARCHAR(20) NOT NULL, "
    "strategy_version_desc VARCHAR(300), "
    "strategy_status VARCHAR(15), "
    "cash DOUBLE NOT NULL, "
    "cash_by_currency VARCHAR(50), "
    "available_cash DOUBLE NOT NULL, "
    "max_power_short DOUBLE, "
    "net_cash_power DOUBLE, "
    "maintenance_margin DOUBLE, "
    "unrealized_pnl DOUBLE, "
    "realized_pnl DOUBLE, "
    "update_time DATETIME NOT NULL, "
    "remark VARCHAR(300))";

const std::string_view kCreatePositionTable =
    "CREATE TABLE IF NOT EXISTS position ("
    "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "balance_id INTEGER NOT NULL, "
    "security_name VARCHAR(20) NOT NULL, "
    "security_code VARCHAR(20) NOT NULL, "
    "direction VARCHAR(20) NOT NULL, "
    "holding_price DOUBLE NOT NULL, "
    "quantity INTEGER NOT NULL, "
    "update_time DATETIME NOT NULL, "
    "remark VARCHAR(300))";

const std::string_view kCreateOrderTable =
    "CREATE TABLE IF NOT EXISTS trading_order ("
    "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "broker_order_id VARCHAR(50) NOT NULL, "
    "balance_id INTEGER NOT NULL, "
    "security_name VARCHAR(20) NOT NULL, "
    "security_code VARCHAR(20) NOT NULL, "
    "price DOUBLE NOT NULL, "
    "quantity INTEGER NOT NULL, "
    "direction VARCHAR(20) NOT NULL, "
    "offset VARCHAR(20) NOT NULL, "
    "order_type VARCHAR(20) NOT NULL, "
    "create_time DATETIME NOT NULL, "
    "update_time DATETIME NOT NULL, "
    "filled_avg_price DOUBLE NOT NULL, "
    "filled_quantity INTEGER NOT NULL, "
    "status VARCHAR(20) NOT NULL, "
    "remark VARCHAR(300))";

const std::string_view kCreateDealTable =
    "CREATE TABLE IF NOT EXISTS trading_deal ("
    "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "broker_deal_id VARCHAR(50) NOT NULL, "
    "broker_order_id VARCHAR(50) NOT NULL, "
    "order_id INTEGER NOT NULL, "
    "balance_id INTEGER NOT NULL, "
    "security_name VARCHAR(20) NOT NULL, "
    "security_code VARCHAR(20) NOT NULL, "
    "direction VARCHAR(20) NOT NULL, "
    "offset VARCHAR(20) NOT NULL, "
    "order_type VARCHAR(20) NOT NULL, "
    "update_time DATETIME NOT NULL, "
    "filled_avg_price DOUBLE NOT NULL, "
    "filled_quantity INTEGER NOT NULL, "
    "remark VARCHAR(300))";

const std::string_view kCreateOrderBrokerIdIndex =
    "CREATE INDEX IF NOT EXISTS trading_order_broker_order_id ON trading_order (broker_order_id)";

const std::string_view kCreateDealBrokerIdIndex =
    "CREATE INDEX IF NOT EXISTS trading_deal_broker_deal_id ON trading_deal (broker_deal_id)";

}  // namespace mx::sqlite::schema
