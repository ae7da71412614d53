// Query planning: a query tree, the host's parameters and the permission
// context become the commands to run and what post-processing needs.
#pragma once

#include <optional>
#include <string>

#include "command/page.h"
#include "json/value.h"
#include "schema/definition.h"

namespace quorvel {

enum class PlanMode { Find, TwoPhase, Aggregate };

struct QueryPlan {
  std::string collection;
  PlanMode mode = PlanMode::Aggregate;
  Array commands;
  std::optional<Value> postprocess;  // absent for grouped queries
  std::optional<Value> sort;         // the first $sort stage, two-phase only

  Value to_value() &&;
};

// Placeholder in the second command of a two-phase plan for the _id list the
// first command returned.
inline constexpr std::string_view kPhase1Ids = "{{phase1.ids}}";

// Chooses how a built pipeline runs (a find, two phases, or one aggregate)
// and builds its commands; `plan.postprocess` is left to the caller.
QueryPlan plan_commands(const Schema& schema, Array stages, std::optional<Value> projection);

// Whether a $sort stage orders by a dotted path (a field of a joined relation).
bool sorts_by_relation(const Value* stage);

// Re-orders the second phase's items to follow the first phase's ids.
// Items whose _id is not among the ids keep their input order at the end.
Array restore_sort_order(Array items, const Array& ids, const Value* sort);

}  // namespace quorvel
