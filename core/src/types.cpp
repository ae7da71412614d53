#include "types.h"

#include <array>

#include "schema/definition.h"

namespace quorvel {

bool is_truthy(const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return false;
    case Kind::Bool: return v.as_bool();
    case Kind::UInt:
    case Kind::Int:
    case Kind::Double: return v.to_double() != 0.0;
    case Kind::String: return !v.as_string().empty();
    case Kind::Array:
    case Kind::Object: return true;
  }
  return false;
}

Value get_default(std::string_view type_name) {
  if (type_name == "int" || type_name == "long" || type_name == "float" || type_name == "double")
    return Value(0u);
  if (type_name == "string") return Value(std::string());
  if (type_name == "boolean") return Value(false);
  if (type_name == "array") return Value(Array{});
  if (type_name == "object") return Value(Object{});
  return Value();
}

namespace {

constexpr std::array<std::string_view, 3> kDeniedOperators = {"$accumulator", "$function", "$where"};
constexpr std::array<std::string_view, 3> kLogicalGroups = {"$and", "$nor", "$or"};

bool is_one_of(std::string_view key, const auto& names) {
  for (std::string_view n : names)
    if (key == n) return true;
  return false;
}

}  // namespace

Status validate_condition(const Value& condition) {
  if (const Array* a = condition.if_array()) {
    for (const Value& e : *a)
      if (Status s = validate_condition(e); !s) return s;
    return ok();
  }
  const Object* o = condition.if_object();
  if (!o) return ok();
  for (const auto& [key, value] : *o) {
    if (is_one_of(key, kDeniedOperators))
      return Err("条件包含被拒绝的操作符 " + key + "（服务端执行类，命中拒绝名单）：请改用结构化条件");
    if (is_one_of(key, kLogicalGroups) && value.is_array() && value.as_array().empty())
      return Err(key + " 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）");
    if (Status s = validate_condition(value); !s) return s;
  }
  return ok();
}

std::optional<std::string_view> root_field_type(const Schema& schema, std::string_view path) {
  const FieldDef* f = schema.field(path.substr(0, path.find('.')));
  return f ? std::optional<std::string_view>(f->type) : std::nullopt;
}

Status validate_condition_shape(const Schema& schema, const Value& condition) {
  const Object* o = condition.if_object();
  if (!o) return ok();
  for (const auto& [key, value] : *o) {
    if (is_one_of(key, kLogicalGroups)) {
      if (const Array* branches = value.if_array())
        for (const Value& branch : *branches)
          if (Status s = validate_condition_shape(schema, branch); !s) return s;
      continue;
    }
    if (key.starts_with('$') || schema.relation(key)) continue;
    const std::optional<std::string_view> type = root_field_type(schema, key);
    const bool dotted = key.find('.') != std::string::npos;
    if (type == "object" && dotted)
      return Err("对象点号路径 \"" + key + "\" 不支持过滤条件（U3/D2：所有后端含 Mongo 统一显式拒绝）");
    if (type == "object") return Err("对象字段 \"" + key + "\" 不支持过滤条件（U2/D2：所有后端含 Mongo 统一显式拒绝）");
    if (type == "array") return Err("数组字段 \"" + key + "\" 不支持过滤条件（U1/D2：所有后端含 Mongo 统一显式拒绝）");
  }
  return ok();
}

Status validate_sort_shape(const Schema& schema, const Value& sort) {
  const Object* o = sort.if_object();
  if (!o) return ok();
  for (const auto& [key, value] : *o) {
    if (key.find('.') == std::string::npos || schema.relation(key)) continue;
    if (root_field_type(schema, key) == "object")
      return Err("对象点号路径 \"" + key + "\" 不支持排序（U4/D2：所有后端含 Mongo 统一显式拒绝）");
  }
  return ok();
}

bool has_relation_predicate(const Schema& schema, const Value& condition) {
  const Object* o = condition.if_object();
  if (!o) return false;
  for (const auto& [key, value] : *o) {
    if (is_one_of(key, kLogicalGroups)) {
      if (const Array* branches = value.if_array())
        for (const Value& branch : *branches)
          if (has_relation_predicate(schema, branch)) return true;
    } else if (key == "$not") {
      if (has_relation_predicate(schema, value)) return true;
    } else if (schema.relation(key)) {
      return true;
    }
  }
  return false;
}

}  // namespace quorvel
