// Grouped queries: parsing and checking the $group argument, and the stages
// of a grouped pipeline (group, default row, having, ordering, projection).
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "json/value.h"
#include "schema/definition.h"

namespace quorvel {

struct Context;

namespace group {

// One aggregate: an operator among $count/$sum/$avg/$min/$max and its field;
// no field only for "$count" over "*" (the documents themselves).
struct AggDef {
  std::string op;
  std::optional<std::string> of;
};

using AggList = std::vector<std::pair<std::string, AggDef>>;

struct GroupSpec {
  // Group keys in the order given; empty: one group over all documents.
  std::vector<std::string> by;
  // Aliases in key order.
  AggList aggs;
  // The by keys again, for lookups; kept in step with `by` by set_by.
  std::set<std::string, std::less<>> by_set;

  void set_by(std::vector<std::string> keys);

  bool is_by_key(std::string_view name) const;
  bool is_alias(std::string_view name) const;
};

// {"by": [keys], "agg": {alias: {op: field}}} checked against the schema.
Result<GroupSpec> parse(const Schema& schema, const Value& argument);
// The "agg" member alone: an alias map checked against the schema, aliases
// not allowed to repeat a by key. Shared with relation filters.
Result<AggList> parse_aggs(const Schema& schema, const Value& agg, const std::vector<std::string>& by);

// The having condition may name only by keys and aliases, combined with
// $and/$or/$nor.
Status validate_having(const Value& having, const GroupSpec& spec);
// With a context, every by key and aggregated field must be readable.
Status validate_read_permission(const Schema& schema, const Context* ctx, const GroupSpec& spec);

Value acc_expr(const AggDef& def);
// By keys renamed to their place in the group output ("_id" or "_id.<key>").
Value rewrite_having(const GroupSpec& spec, const Value& having);
// Stores `value` at the dotted `path` below `object`, creating intermediate
// objects. A prefix that already holds a non-object value is kept: grouping by
// a whole value already covers its sub-paths.
void insert_nested(Object& object, std::string_view path, Value value);

struct StageInputs {
  const std::vector<std::string>& fields;  // selection of the root level
  bool no_relations;                       // the root level selects no relation
  const Value* condition = nullptr;        // each: absent or null = not given
  const Value* having = nullptr;
  const Value* sort = nullptr;
  const Value* skip = nullptr;
  const Value* limit = nullptr;
};

Result<Array> build_stages(const GroupSpec& spec, const StageInputs& in);

}  // namespace group
}  // namespace quorvel
