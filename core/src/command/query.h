// Query planning: a query tree, the host's parameters and the permission
// context become the commands to run and what post-processing needs.
#pragma once

#include <optional>
#include <string>

#include "command/page.h"
#include "computes/inject.h"
#include "error.h"
#include "json/value.h"
#include "permission.h"
#include "pipeline/ast.h"
#include "schema/definition.h"
#include "schema/registry.h"

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

// Reserved parameters and directive references the planner adds.
inline constexpr std::string_view kOneLimitParam = "__core_one_limit__";
inline constexpr std::string_view kOwnerParam = "__core_owner__";

// Parses the query text and plans it; `params` is the planner's own copy.
Result<QueryPlan> plan_query(std::string_view gql, Object params, const Registry& registry, const Context* ctx);
// As plan_query, limited to one document unless the query sets a limit.
Result<QueryPlan> plan_query_one(std::string_view gql, Object params, const Registry& registry,
                                 const Context* ctx);
// The context gate, read permission, owner condition and dependency
// injection, applied to the tree and the parameters in place; then build_plan.
Result<QueryPlan> plan_query_ast_mut(Ast& tree, Object& params, const Registry& registry, const Context* ctx);
// `flat` is the tree's copy with object-field selections flattened: the
// selection post-processing will read.
Result<QueryPlan> build_plan(Ast& tree, Ast flat, const InjectInfo& record, const Object& params,
                             const Registry& registry, const Context* ctx);
// Refuses a selection that follows a relation the context may not read, or
// reaches a schema it may not read, at any depth.
Status check_readable_relations(const RelationList& relations, const Schema& schema, const Registry& registry,
                                const Context* ctx);

// The page and page size a list query runs with: from "page"/"pageSize"
// parameters when given, else from its skip and limit directives.
Page resolve_page(const Ast& tree, const Object& params);

// Chooses how a built pipeline runs (a find, two phases, or one aggregate)
// and builds its commands; `plan.postprocess` is left to the caller.
QueryPlan plan_commands(const Schema& schema, Array stages, std::optional<Value> projection);

// Whether a $sort stage orders by a dotted path (a field of a joined relation).
bool sorts_by_relation(const Value* stage);

// Re-orders the second phase's items to follow the first phase's ids.
// Items whose _id is not among the ids keep their input order at the end.
Array restore_sort_order(Array items, const Array& ids, const Value* sort);

}  // namespace quorvel
