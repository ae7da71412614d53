// Scalar reads: counting the documents a condition matches, testing whether
// any exists, and a list query planned together with its total.
#pragma once

#include <string_view>

#include "error.h"
#include "json/value.h"
#include "permission.h"
#include "schema/registry.h"

namespace quorvel {

// `filter` null means none: every document the caller may see is counted.
Result<Value> plan_count(std::string_view model, Value filter, const Registry& registry, const Context* ctx);
// A findOne that fetches only "_id"; takes no context.
Result<Value> plan_exists(std::string_view model, Value condition, const Registry& registry);

}  // namespace quorvel
