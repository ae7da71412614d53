// Small helpers shared by the pipeline builders: one-member documents,
// directive resolution, the ordering stages of a level, and the aliases a
// having condition refers to.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "json/value.h"
#include "pipeline/ast.h"
#include "schema/definition.h"

namespace quorvel {

struct Context;

using StringSet = std::set<std::string, std::less<>>;

// {key: value}, the shape of every stage and of many operator documents.
Value one_member(std::string key, Value value);

// Refusal of a read the context may not make.
inline constexpr std::string_view kReadDenied = "ERR_PERMISSION:无访问权限";

// `关系 "{relation}" 未在 schema "{schema}" 中定义`
std::string undefined_relation(std::string_view relation, std::string_view schema);

// The name in double quotes, as messages show names.
std::string quoted(std::string_view name);

// "$" + name: a field reference inside an aggregation expression.
std::string field_ref(std::string_view name);

// The parameter a directive refers to: the directive text without its first
// character (none when that character is not ASCII). Null for a directive
// that is missing, empty, names a missing parameter or holds null — all of
// which mean "not given".
const Value* directive_value(const DirectiveMap& directives, std::string_view key, const Object& params);

// The computed field of that name (computes are kept in name order).
const ComputeDef* find_compute(const Schema& schema, std::string_view name);

// The owner condition a read of `target` must add for the context, if any.
std::optional<Value> owner_condition(const Schema& target, const Context* ctx);

// Dotted paths compared segment by segment ("." below every other byte): the
// paths below a path directly follow it, and among the paths that land in
// one nested object the keys come in ascending order.
bool path_less(std::string_view a, std::string_view b);

// Removes every path below another path of the set ("a.b" beside "a"): an
// inclusion projection may not name both, and the outer one covers the inner.
void drop_covered_paths(StringSet& paths);

// Appends {"$sort"}, {"$skip"}, {"$limit"} in that order, each only when its
// value is present and not null; values are copied unchanged.
void append_order(Array& stages, const Value* sort, const Value* skip, const Value* limit);

// Adds to `out` the keys of a having condition for which `accepts` holds,
// descending only into "$and"/"$or"/"$nor" arrays; other "$" keys are skipped
// and values below a plain key are not walked.
template <class Pred>
void collect_having_agg_refs(const Value& condition, const Pred& accepts, StringSet& out) {
  const Object* o = condition.if_object();
  if (!o) return;
  for (const auto& [key, value] : *o) {
    if (key == "$or" || key == "$and" || key == "$nor") {
      if (const Array* a = value.if_array())
        for (const Value& e : *a) collect_having_agg_refs(e, accepts, out);
    } else if (!key.starts_with('$') && accepts(std::string_view(key))) {
      out.insert(key);
    }
  }
}

}  // namespace quorvel
