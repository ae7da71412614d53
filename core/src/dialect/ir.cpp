#include "dialect/ir.h"

#include <utility>

namespace quorvel {

namespace {

Array string_array(const std::vector<std::string>& items) {
  Array out;
  out.reserve(items.size());
  for (const std::string& s : items) out.emplace_back(s);
  return out;
}

Array string_array(std::vector<std::string>&& items) {
  Array out;
  out.reserve(items.size());
  for (std::string& s : items) out.emplace_back(std::move(s));
  return out;
}

bool is_true(const Value* v) { return v && v->is_bool() && v->as_bool(); }

std::vector<std::string> string_path(const Value* v) {
  std::vector<std::string> out;
  const Array* items = v ? v->if_array() : nullptr;
  if (!items) return out;
  out.reserve(items->size());
  for (const Value& item : *items) {
    // A path with a non-string element is unusable as a whole.
    if (!item.is_string()) return {};
    out.push_back(item.as_string());
  }
  return out;
}

Result<RowCol> col_from_value(const Value& v) {
  const Value* alias = v.get("alias");
  if (!alias || !alias->is_string()) return Err("列缺 alias");
  RowCol col;
  col.alias = alias->as_string();
  col.path = string_path(v.get("path"));
  col.is_array = is_true(v.get("isArray"));
  col.one = is_true(v.get("one"));
  col.always = is_true(v.get("always"));
  col.boolean = is_true(v.get("bool"));
  if (const Value* ones = v.get("ones"); ones && ones->is_array()) {
    col.ones.reserve(ones->as_array().size());
    for (const Value& o : ones->as_array()) col.ones.push_back(o.is_bool() && o.as_bool());
  } else if (col.is_array) {
    col.ones.push_back(col.one);
  }
  if (const Value* sub = v.get("subShape"); sub && !sub->is_null()) {
    Result<RowShape> shape = RowShape::from_value(*sub);
    if (!shape) return shape.err();
    col.sub_shape = std::make_unique<RowShape>(std::move(shape).value());
  }
  return col;
}

}  // namespace

RowCol::RowCol(const RowCol& other)
    : alias(other.alias),
      path(other.path),
      ones(other.ones),
      sub_shape(other.sub_shape ? std::make_unique<RowShape>(*other.sub_shape) : nullptr),
      is_array(other.is_array),
      one(other.one),
      always(other.always),
      boolean(other.boolean) {}

RowCol& RowCol::operator=(const RowCol& other) {
  if (this != &other) *this = RowCol(other);
  return *this;
}

RowCol::~RowCol() = default;

RowCol RowCol::scalar(std::string alias, std::vector<std::string> path, bool boolean) {
  RowCol col;
  col.alias = std::move(alias);
  col.path = std::move(path);
  col.boolean = boolean;
  return col;
}

Value RowCol::to_value() const {
  Array ones_out;
  ones_out.reserve(ones.size());
  for (bool o : ones) ones_out.emplace_back(o);
  Object out;
  out.reserve(8);
  out.push_back_sorted("alias", alias);
  out.push_back_sorted("always", always);
  out.push_back_sorted("bool", boolean);
  out.push_back_sorted("isArray", is_array);
  out.push_back_sorted("one", one);
  out.push_back_sorted("ones", std::move(ones_out));
  out.push_back_sorted("path", string_array(path));
  out.push_back_sorted("subShape", sub_shape ? sub_shape->to_value() : Value());
  return out;
}

Value RowShape::to_value() const {
  Array cols;
  cols.reserve(columns.size());
  for (const RowCol& c : columns) cols.push_back(c.to_value());
  Object out;
  out.push_back_sorted("columns", std::move(cols));
  out.push_back_sorted("present", present.value_or(std::string()));
  return out;
}

Result<RowShape> RowShape::from_value(const Value& v) {
  const Value* columns = v.get("columns");
  if (!columns || !columns->is_array()) return Err("rowShape 缺少 columns");
  RowShape shape;
  shape.columns.reserve(columns->as_array().size());
  for (const Value& c : columns->as_array()) {
    Result<RowCol> col = col_from_value(c);
    if (!col) return col.err();
    shape.columns.push_back(std::move(col).value());
  }
  if (const Value* present = v.get("present"); present && present->is_string() && !present->as_string().empty())
    shape.present = present->as_string();
  return shape;
}

Value SqlStmt::to_value() && {
  Object out;
  out.reserve(5);
  out.push_back_sorted("isWrite", is_write);
  out.push_back_sorted("params", std::move(params));
  out.push_back_sorted("returning", string_array(std::move(returning)));
  out.push_back_sorted("rowShape", row_shape ? row_shape->to_value() : Value());
  out.push_back_sorted("text", std::move(text));
  return out;
}

Value Translation::to_value(Backend backend) && {
  Array out;
  out.reserve(stmts.size());
  for (SqlStmt& s : stmts) out.push_back(std::move(s).to_value());
  Object result;
  result.reserve(4);
  result.push_back_sorted("backend", std::string(backend.name()));
  result.push_back_sorted("stmt", std::move(out));
  result.push_back_sorted("unsupported", std::move(unsupported));
  result.push_back_sorted("warnings", string_array(std::move(warnings)));
  return result;
}

}  // namespace quorvel
