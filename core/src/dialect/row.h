// Rebuilds nested documents from the flat rows of a translated read, guided
// by the statement's row shape.
//
// The rows are read through RowSource, which exposes only the cells of the
// shape's columns, and the result refers back to those cells (CellRef) instead
// of copying them: a host can then reuse its own value objects and convert
// only the few cells restoration has to look into (identities, booleans,
// presence lists).
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "dialect/ir.h"
#include "error.h"
#include "json/value.h"

namespace quorvel {

class RowSource {
 public:
  enum class Cell : uint8_t { Missing, Null, Present };

  virtual ~RowSource() = default;
  virtual size_t size() const = 0;
  virtual bool is_object(size_t row) const = 0;
  // `col` indexes the shape's columns; the index one past them is the
  // presence column when the shape names one.
  virtual Cell cell(size_t row, size_t col) const = 0;
  // The value of a cell that is present. False when the host cannot read it;
  // the host keeps its own account of why.
  virtual bool value(size_t row, size_t col, Value& out) const = 0;
};

struct CellRef {
  uint32_t row;
  uint32_t col;
};

struct RNode;
// Members keyed by an index into Restored::keys; ascending index is
// ascending key text, so members stay sorted like an Object's.
using RMembers = std::vector<std::pair<uint32_t, RNode>>;
using RItems = std::vector<RNode>;

struct RNode {
  std::variant<Value, CellRef, RMembers, RItems> data;
};

struct Restored {
  // Every member name of the shape's paths, in ascending byte order; views
  // into the shape, which must outlive the result.
  std::vector<std::string_view> keys;
  RItems documents;
};

// The documents of `rows`; fails only when the shape is unusable or a cell
// cannot be read.
Result<Restored> restore(const RowShape& shape, const RowSource& rows);

// The restored documents as values, reading referenced cells from `rows`.
Result<Value> restored_to_value(Restored&& restored, const RowSource& rows);

// Plain value interfaces: rows are JSON objects keyed by result column name.
Result<Value> restore_rows(const RowShape& shape, const Array& rows);
// Reads the shape first (its errors are the result); rows that are not an
// array count as no rows.
Result<Value> restore_rows_json(const Value& shape, const Value& rows);

// A row source over JSON rows, for hosts that hold values already.
class ValueRows : public RowSource {
 public:
  ValueRows(const RowShape& shape, const Array& rows);
  size_t size() const override { return rows_.size(); }
  bool is_object(size_t row) const override { return rows_[row].is_object(); }
  Cell cell(size_t row, size_t col) const override;
  bool value(size_t row, size_t col, Value& out) const override;

 private:
  const Value* find(size_t row, size_t col) const;
  const Array& rows_;
  std::vector<std::string_view> aliases_;
};

}  // namespace quorvel
