#include "types.h"

#include <array>

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

}  // namespace quorvel
