// Conditions on aggregates of related documents ("has more than five
// published posts", and their negations): each predicate becomes a proxy
// $lookup that yields a non-empty array exactly when it holds, and the
// condition tests the proxy's first element instead.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "json/value.h"
#include "pipeline/group.h"
#include "schema/definition.h"
#include "schema/registry.h"

namespace quorvel {

struct Context;

namespace relation_filter {

struct RelPredicate {
  std::string relation;
  std::string proxy;  // "__rp" + index + "__" + relation
  std::string model;
  std::string local_field;
  std::string foreign_field;
  std::optional<Value> filter;
  group::AggList aggregates;
  Value having;
  bool negated = false;
};

struct RelationFilterPlan {
  Array stages;     // one $lookup per predicate, in predicate order
  Value condition;  // the condition with every predicate replaced
};

// No plan when the condition holds no relation aggregate predicate.
Result<std::optional<RelationFilterPlan>> plan(const Schema& schema, const Registry& registry, const Context* ctx,
                                               const Value& condition);

// The relation of a proxy lookup's output name ("__rp0__posts" → "posts").
std::optional<std::string> rel_name_from_as(std::string_view as);

}  // namespace relation_filter
}  // namespace quorvel
