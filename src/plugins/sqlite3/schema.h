// The four tables of morvex_trader.db. Their creation statements are the file format:
// column names, order, declared types and constraints must not change.
#pragma once

#include <string_view>

namespace mx::sqlite::schema {

extern const std::string_view kCreateBalanceTable;
extern const std::string_view kCreatePositionTable;
extern const std::string_view kCreateOrderTable;
extern const std::string_view kCreateDealTable;

// Indexes on the broker's ids, which the engine and reconciliation look rows up by; without
// them each look-up reads the whole table. They are additive: a file written before they
// existed gains them the next time it is opened (the tables themselves stay as written).
extern const std::string_view kCreateOrderBrokerIdIndex;
extern const std::string_view kCreateDealBrokerIdIndex;

// File name of the database inside the configured folder (joined with a "/").
inline constexpr std::string_view kDatabaseFileName = "morvex_trader.db";

}  // namespace mx::sqlite::schema
