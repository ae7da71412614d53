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
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
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
  // `col` indexes the shape's columns; the index one past them is the
  // presence column when the shape names one. Every cell of a row that is
  // not an object is Missing.
  virtual Cell cell(size_t row, size_t col) const = 0;
  // The value of a cell that is present. False when the host cannot read it;
  // the host keeps its own account of why.
  virtual bool value(size_t row, size_t col, Value& out) const = 0;
  // Appends the identity key of a present cell (identity_key of its value),
  // by which rows are grouped. Hosts may write it without building the value.
  virtual bool key_text(size_t row, size_t col, std::string& out) const;
};

// A text that is equal for equal values and differs otherwise: strings as
// "s" and their bytes, integers as "i" and their digits, anything else as
// its compact JSON text (which never starts with "s" or "i").
void identity_key(const Value& v, std::string& out);

struct CellRef {
  uint32_t row;
  uint32_t col;
};

struct RMember;

// A node of a restored document. Nodes are plain data: the storage of
// objects, arrays and made values lives in the result's arena, since a
// restoration makes one container per sub-document and frees them together.
struct RNode {
  enum class Kind : uint8_t { Null, Bool, Cell, Value, Object, Array };

  Kind kind = Kind::Null;
  bool flag = false;  // Bool: the value
  uint32_t size = 0;  // Object, Array: how many members or items
  union {
    CellRef cell;
    Value* value;
    RMember* members;  // ascending key index, so sorted like an Object
    RNode* items;
  };

  RNode() : value(nullptr) {}
};

struct RMember {
  uint32_t key;  // index into Restored::keys
  RNode node;
};

struct Restored {
  // `upstream` supplies the arena's blocks; a host that restores often can
  // hand in one that keeps them warm between calls.
  explicit Restored(std::pmr::memory_resource* upstream = std::pmr::get_default_resource())
      : arena(std::make_unique<std::pmr::monotonic_buffer_resource>(upstream)) {}
  Restored(Restored&&) = default;
  Restored& operator=(Restored&&) = default;
  ~Restored();

  std::unique_ptr<std::pmr::monotonic_buffer_resource> arena;
  // Values made in the arena; they own memory of their own.
  std::vector<Value*> values;
  // Every member name of the shape's paths, in ascending byte order; views
  // into the shape, which must outlive the result.
  std::vector<std::string_view> keys;
  std::vector<RNode> documents;
};

// The documents of `rows`; fails only when the shape is unusable or a cell
// cannot be read.
Result<Restored> restore(const RowShape& shape, const RowSource& rows,
                         std::pmr::memory_resource* upstream = std::pmr::get_default_resource());

// The restored documents as values, reading referenced cells from `rows`.
Result<Value> restored_to_value(const Restored& restored, const RowSource& rows);

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
  Cell cell(size_t row, size_t col) const override;
  bool value(size_t row, size_t col, Value& out) const override;

 private:
  const Value* find(size_t row, size_t col) const;
  const Array& rows_;
  std::vector<std::string_view> aliases_;
};

}  // namespace quorvel
