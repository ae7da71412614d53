// $lookup stages for the relations a query selects, and the stages that
// compute aggregate computed fields ("agg" computes).
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "json/value.h"
#include "pipeline/ast.h"
#include "pipeline/util.h"
#include "schema/definition.h"
#include "schema/registry.h"

namespace quorvel {

struct Context;

// Nesting limits: beyond them a relation still joins, without its
// sub-selection, which bounds the size of the generated pipeline.
inline constexpr int kMaxLookupDepth = 10;
inline constexpr int kMaxPagedLevels = 4;

// The schema declares `field` with type exactly "array".
bool is_array_local_field(const Schema& source, std::string_view field);
// Value bound to the join variable: {"$ifNull": ["$L", null]}, or for an array
// local field {"$cond": [{"$isArray": "$L"}, "$L", []]}.
Value rel_let_expr(std::string_view local_field, bool is_array);
// Join predicate of the inner pipeline: {"$expr": {"$eq"|"$in": ["$F", "$$V"]}}.
Value rel_match_expr(std::string_view foreign_field, std::string_view var, bool is_array);

// {"$lookup": {"as", "from", "let": {var: let_value}, "pipeline"}}.
Value lookup_stage(std::string_view as, std::string_view from, std::string_view var, Value let_value,
                   Array pipeline);

// The join alone: {"$lookup": {"as", "from", "let", "pipeline": [{"$match": J}]}}.
Value build_empty_lookup(std::string_view as, const RelationDef& rel, const Schema& target, const Schema& source);

// {"$unwind": {"path": "$<relation>", "preserveNullAndEmptyArrays": true}},
// placed after the $lookup of a to-one relation.
Value unwind_stage(std::string_view relation);

// `depth` is 0 for a relation selected at the root; `paged_levels` counts the
// enclosing levels that carried a skip or limit.
Result<Value> build_lookup(std::string_view as, const RelAst& sub, const Object& params, const RelationDef& rel,
                           const Schema& target, const Schema& source, int depth, int paged_levels,
                           const Registry& registry, const Context* ctx);

// One $lookup per selected, readable "agg" compute, then one $addFields with
// every value. `selected` holds the compute names selected at the root.
Result<Array> build_agg_stages(const Schema& schema, const Registry& registry, const Context* ctx,
                               const StringSet& selected);

}  // namespace quorvel
