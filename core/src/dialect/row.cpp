#include "dialect/row.h"

#include <charconv>
#include <string>

#include "dialect/row_restore.h"
#include "json/write.h"

namespace quorvel {

namespace {

Value to_value(const RNode& node, const Restored& restored, const RowSource& src, bool& failed) {
  switch (node.kind) {
    case RNode::Kind::Null: return Value();
    case RNode::Kind::Bool: return Value(node.flag);
    case RNode::Kind::Value: return *node.value;
    case RNode::Kind::Cell: {
      Value v;
      if (!src.value(node.cell.row, node.cell.col, v)) failed = true;
      return v;
    }
    case RNode::Kind::Object: {
      Object out;
      out.reserve(node.size);
      for (uint32_t i = 0; i < node.size; ++i) {
        const RMember& m = node.members[i];
        out.push_back_sorted(std::string(restored.keys[m.key]), to_value(m.node, restored, src, failed));
      }
      return out;
    }
    case RNode::Kind::Array: {
      Array out;
      out.reserve(node.size);
      for (uint32_t i = 0; i < node.size; ++i) out.push_back(to_value(node.items[i], restored, src, failed));
      return out;
    }
  }
  return Value();
}

}  // namespace

Restored::~Restored() {
  for (Value* v : values) v->~Value();
}

Result<Restored> restore(const RowShape& shape, const RowSource& rows, std::pmr::memory_resource* upstream) {
  return restore_from(shape, rows, upstream);
}

Result<Value> restored_to_value(const Restored& restored, const RowSource& rows) {
  bool failed = false;
  Array docs;
  docs.reserve(restored.documents.size());
  for (const RNode& doc : restored.documents) docs.push_back(to_value(doc, restored, rows, failed));
  if (failed) return Err("restore_rows: 无法读取行中的值");
  return Value(std::move(docs));
}

void identity_key(const Value& v, std::string& out) {
  if (const std::string* s = v.if_string()) {
    (out += 's') += *s;
  } else if (v.is_uint() || v.is_int()) {
    char buf[24];
    auto end = v.is_uint() ? std::to_chars(buf, buf + sizeof buf, v.as_uint()).ptr
                           : std::to_chars(buf, buf + sizeof buf, v.as_int()).ptr;
    (out += 'i').append(buf, end);
  } else {
    write_json(v, out);
  }
}

bool RowSource::key_text(size_t row, size_t col, std::string& out) const {
  Value v;
  if (!value(row, col, v)) return false;
  identity_key(v, out);
  return true;
}

ValueRows::ValueRows(const RowShape& shape, const Array& rows) : rows_(rows) {
  aliases_.reserve(shape.columns.size() + 1);
  for (const RowCol& c : shape.columns) aliases_.push_back(c.alias);
  if (shape.present) aliases_.push_back(*shape.present);
}

const Value* ValueRows::find(size_t row, size_t col) const { return rows_[row].get(aliases_[col]); }

RowSource::Cell ValueRows::cell(size_t row, size_t col) const {
  const Value* v = find(row, col);
  if (!v) return Cell::Missing;
  return v->is_null() ? Cell::Null : Cell::Present;
}

bool ValueRows::value(size_t row, size_t col, Value& out) const {
  const Value* v = find(row, col);
  out = v ? *v : Value();
  return true;
}

Result<Value> restore_rows(const RowShape& shape, const Array& rows) {
  ValueRows source(shape, rows);
  Result<Restored> restored = restore(shape, source);
  if (!restored) return restored.err();
  return restored_to_value(*restored, source);
}

Result<Value> restore_rows_json(const Value& shape, const Value& rows) {
  Result<RowShape> parsed = RowShape::from_value(shape);
  if (!parsed) return parsed.err();
  static const Array kNoRows;
  const Array* list = rows.if_array();
  return restore_rows(*parsed, list ? *list : kNoRows);
}

}  // namespace quorvel
