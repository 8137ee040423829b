#include "plugins/sqlite3/result_table.h"

#include <limits>
#include <stdexcept>

namespace mx::sqlite {

void ResultTable::add_integer(std::int64_t value) {
  Cell& cell = cells_.emplace_back();
  cell.type = CellType::kInteger;
  cell.integer = value;
}

void ResultTable::add_real(double value) {
  Cell& cell = cells_.emplace_back();
  cell.type = CellType::kReal;
  cell.real = value;
}

void ResultTable::add_bytes(CellType type, std::string_view value) {
  if (arena_.size() + value.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("query result larger than 4 GiB of text");
  }
  Cell& cell = cells_.emplace_back();
  cell.type = type;
  cell.bytes.offset = static_cast<std::uint32_t>(arena_.size());
  cell.bytes.size = static_cast<std::uint32_t>(value.size());
  arena_.append(value);
}

}  // namespace mx::sqlite
