// Shared helpers over document values: truthiness, implicit defaults and the
// condition validators every planner runs first.
#pragma once

#include <optional>
#include <string_view>

#include "error.h"
#include "json/value.h"

namespace quorvel {

struct Schema;

bool is_truthy(const Value& v);
// Implicit default of a field of the declared type name.
Value get_default(std::string_view type_name);
// Rejects server-side code operators and empty logical groups anywhere.
Status validate_condition(const Value& condition);

// Declared type of the field named by the path up to its first ".".
std::optional<std::string_view> root_field_type(const Schema& schema, std::string_view path);
// Rejects conditions on object and array fields, at the top level and inside
// logical groups; relation predicates are left to the relation filters.
Status validate_condition_shape(const Schema& schema, const Value& condition);
// Rejects sorting by a dotted path into an object field.
Status validate_sort_shape(const Schema& schema, const Value& sort);
// Whether the condition tests a relation of the schema, at the top level or
// inside logical groups and $not.
bool has_relation_predicate(const Schema& schema, const Value& condition);

}  // namespace quorvel
