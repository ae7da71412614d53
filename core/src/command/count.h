// Scalar reads: counting the documents a condition matches, testing whether
// any exists, and a list query planned together with its total.
#pragma once

#include <string_view>

#include "command/page.h"
#include "command/query.h"
#include "error.h"
#include "json/value.h"
#include "permission.h"
#include "schema/registry.h"

namespace quorvel {

// `filter` null means none: every document the caller may see is counted.
Result<Value> plan_count(std::string_view model, Value filter, const Registry& registry, const Context* ctx);
// A findOne that fetches only "_id"; takes no context.
Result<Value> plan_exists(std::string_view model, Value condition, const Registry& registry);

inline constexpr std::string_view kPageSkipParam = "__core_page_skip__";
inline constexpr std::string_view kPageLimitParam = "__core_page_limit__";

// A list query with the count command behind its total.
struct CountQueryPlan {
  QueryPlan list;
  Value count_command;
  Page page;

  // The list plan's JSON form plus "countCommand".
  Value to_value() &&;
};

// Pages the list by "page"/"pageSize" when either parameter is given; the
// count carries the root condition (with the owner condition) and nothing
// else, so it counts every document behind every page.
Result<CountQueryPlan> plan_query_with_count(std::string_view gql, Object params, const Registry& registry,
                                             const Context* ctx);

}  // namespace quorvel
