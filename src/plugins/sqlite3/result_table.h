// The rows and column names of one query, as SQLite returned them.
//
// Cells are stored row-major in one array; text and blob bytes live in one arena string,
// so a table of many rows costs a few allocations, not one per cell. Immutable once
// built; safe to read from several threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mx::sqlite {

enum class CellType : std::uint8_t { kNull, kInteger, kReal, kText, kBlob };

struct ByteSpan {
  std::uint32_t offset;  // into the table's byte arena
  std::uint32_t size;
};

struct Cell {
  CellType type = CellType::kNull;
  union {
    std::int64_t integer;
    double real;
    ByteSpan bytes;
  };
  Cell() : integer(0) {}
};

class ResultTable {
 public:
  ResultTable() = default;
  explicit ResultTable(std::vector<std::string> columns) : columns_(std::move(columns)) {}

  const std::vector<std::string>& columns() const { return columns_; }
  std::size_t column_count() const { return columns_.size(); }
  std::size_t row_count() const { return columns_.empty() ? 0 : cells_.size() / columns_.size(); }

  const Cell& cell(std::size_t row, std::size_t column) const {
    return cells_[row * columns_.size() + column];
  }
  // Bytes of a text or blob cell.
  std::string_view bytes(const Cell& cell) const {
    return std::string_view(arena_.data() + cell.bytes.offset, cell.bytes.size);
  }

  // Builders, used while fetching: append the cells of one row in column order.
  void add_null() { cells_.emplace_back(); }
  void add_integer(std::int64_t value);
  void add_real(double value);
  void add_text(std::string_view value) { add_bytes(CellType::kText, value); }
  void add_blob(std::string_view value) { add_bytes(CellType::kBlob, value); }

 private:
  void add_bytes(CellType type, std::string_view value);

  std::vector<std::string> columns_;
  std::vector<Cell> cells_;
  std::string arena_;
};

}  // namespace mx::sqlite
