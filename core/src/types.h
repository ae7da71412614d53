// Shared helpers over document values: truthiness, implicit defaults and the
// condition validators every planner runs first.
#pragma once

#include <string_view>

#include "error.h"
#include "json/value.h"

namespace quorvel {

bool is_truthy(const Value& v);
// Implicit default of a field of the declared type name.
Value get_default(std::string_view type_name);
// Rejects server-side code operators and empty logical groups anywhere.
Status validate_condition(const Value& condition);

}  // namespace quorvel
