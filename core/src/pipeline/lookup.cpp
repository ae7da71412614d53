#include "pipeline/lookup.h"

#include "permission.h"
#include "types.h"

namespace quorvel {

namespace {

// The $lookup of a relation: the join variable holds the relation's local
// field of the source document.
Value relation_lookup(std::string_view as, const Schema& target, std::string_view var, const RelationDef& rel,
                      const Schema& source, Array pipeline) {
  return lookup_stage(as, target.collection, var,
                      rel_let_expr(rel.local_field, is_array_local_field(source, rel.local_field)),
                      std::move(pipeline));
}

Value join_predicate(const RelationDef& rel, std::string_view var, const Schema& source) {
  return rel_match_expr(rel.foreign_field, var, is_array_local_field(source, rel.local_field));
}

Value match_all(Array conditions) {
  if (conditions.size() == 1) return one_member("$match", std::move(conditions[0]));
  return one_member("$match", one_member("$and", Value(std::move(conditions))));
}

bool sorts_through_relation(const Value& sort) {
  const Object* o = sort.if_object();
  if (!o) return false;
  for (const auto& [key, _] : *o)
    if (key.find('.') != std::string::npos) return true;
  return false;
}

Value projection_stage(const RelAst& sub, const Schema& target) {
  StringSet paths{"_id"};
  for (const std::string& f : sub.fields) {
    paths.insert(f);
    if (const ComputeDef* c = find_compute(target, f); c && c->fn) paths.insert(c->depends.begin(), c->depends.end());
  }
  for (const auto& [name, _] : sub.relations) paths.insert(name);
  drop_covered_paths(paths);
  Object projection;
  projection.reserve(paths.size());
  for (const std::string& path : paths) projection.push_back_sorted(path, Value(1));
  return one_member("$project", Value(std::move(projection)));
}

Status append_nested_lookups(Array& stages, const RelAst& sub, const Object& params, const Schema& target,
                             int depth, int paged_levels, const Registry& registry, const Context* ctx) {
  for (const auto& [name, nested] : sub.relations) {
    const RelationDef* rel = target.relation(name);
    if (!rel) return Err(undefined_relation(name, target.name));
    Result<SchemaPtr> next = registry.get(rel->model);
    if (!next) return next.err();
    Result<Value> stage =
        build_lookup(name, nested, params, *rel, **next, target, depth + 1, paged_levels, registry, ctx);
    if (!stage) return stage.err();
    stages.push_back(std::move(stage).value());
    if (rel->type == "one") stages.push_back(unwind_stage(name));
  }
  return ok();
}

// The aggregate of an "agg" compute over the joined array "_<name>".
Result<Value> agg_value_expr(std::string_view compute, std::string_view op, std::string_view field) {
  std::string joined = "$_" + std::string(compute);
  Value all = one_member("$ifNull", Value(Array{Value(joined), Value(Array{})}));
  Value path(joined + "." + std::string(field));
  if (op == "$count") return one_member("$size", std::move(all));
  if (op == "$sum") {
    // An empty relation sums to null, not 0.
    Value empty = one_member("$eq", Value(Array{one_member("$size", std::move(all)), Value(0)}));
    return one_member("$cond", Value(Array{std::move(empty), Value(), one_member("$sum", std::move(path))}));
  }
  if (op == "$avg" || op == "$min" || op == "$max") return one_member(std::string(op), std::move(path));
  return Err("计算列 \"" + std::string(compute) + "\" 的 agg 算子 " + std::string(op) +
             " 不在白名单（$count/$sum/$avg/$min/$max）");
}

struct AggPath {
  std::string op;
  std::string relation;
  std::optional<std::string> field;
};

Result<AggPath> read_agg_path(std::string_view compute, const Value& agg) {
  const Object* o = agg.if_object();
  if (!o || o->empty())
    return Err("计算列 \"" + std::string(compute) + "\" 的 agg 定义非法（须为 {\"$op\": \"<关系路径>\"}）");
  const auto& [op, value] = *o->begin();
  std::string_view path = value.is_string() ? std::string_view(value.as_string()) : std::string_view();
  AggPath out{op, std::string(path.substr(0, path.find('.'))), std::nullopt};
  if (size_t dot = path.find('.'); dot != std::string_view::npos) out.field = std::string(path.substr(dot + 1));
  return out;
}

}  // namespace

bool is_array_local_field(const Schema& source, std::string_view field) {
  const FieldDef* f = source.field(field);
  return f && f->type == "array";
}

Value rel_let_expr(std::string_view local_field, bool is_array) {
  Value ref(field_ref(local_field));
  if (!is_array) return one_member("$ifNull", Value(Array{std::move(ref), Value()}));
  Value test = one_member("$isArray", ref);
  return one_member("$cond", Value(Array{std::move(test), std::move(ref), Value(Array{})}));
}

Value rel_match_expr(std::string_view foreign_field, std::string_view var, bool is_array) {
  Value operands(Array{Value(field_ref(foreign_field)), Value("$$" + std::string(var))});
  return one_member("$expr", one_member(is_array ? "$in" : "$eq", std::move(operands)));
}

Value unwind_stage(std::string_view relation) {
  Object body;
  body.push_back_sorted("path", Value(field_ref(relation)));
  body.push_back_sorted("preserveNullAndEmptyArrays", Value(true));
  return one_member("$unwind", Value(std::move(body)));
}

Value lookup_stage(std::string_view as, std::string_view from, std::string_view var, Value let_value,
                   Array pipeline) {
  Object body;
  body.reserve(4);
  body.push_back_sorted("as", Value(as));
  body.push_back_sorted("from", Value(from));
  body.push_back_sorted("let", one_member(std::string(var), std::move(let_value)));
  body.push_back_sorted("pipeline", Value(std::move(pipeline)));
  return one_member("$lookup", Value(std::move(body)));
}

Value build_empty_lookup(std::string_view as, const RelationDef& rel, const Schema& target, const Schema& source) {
  std::string var = "rel_" + rel.local_field;
  Array pipeline{one_member("$match", join_predicate(rel, var, source))};
  return relation_lookup(as, target, var, rel, source, std::move(pipeline));
}

Result<Value> build_lookup(std::string_view as, const RelAst& sub, const Object& params, const RelationDef& rel,
                           const Schema& target, const Schema& source, int depth, int paged_levels,
                           const Registry& registry, const Context* ctx) {
  std::string var = "rel_" + rel.local_field;
  const Value* condition = directive_value(sub.params, "condition", params);
  const Value* sort = directive_value(sub.params, "sort", params);
  const Value* skip = directive_value(sub.params, "skip", params);
  const Value* limit = directive_value(sub.params, "limit", params);

  bool paged = skip || limit;
  if (depth >= kMaxLookupDepth || (paged && paged_levels >= kMaxPagedLevels))
    return build_empty_lookup(as, rel, target, source);
  if (paged) ++paged_levels;

  Array conditions{join_predicate(rel, var, source)};
  if (condition) {
    if (Status s = validate_condition(*condition); !s) return s.err();
    if (Status s = validate_condition_shape(target, *condition); !s) return s.err();
    conditions.push_back(*condition);
  }
  if (std::optional<Value> owner = owner_condition(target, ctx))
    conditions.push_back(std::move(*owner));

  Array stages{match_all(std::move(conditions))};
  bool deferred = false;
  if (sort) {
    if (Status s = validate_sort_shape(target, *sort); !s) return s.err();
    // A sort on a nested relation's path must wait for that relation's join.
    deferred = sorts_through_relation(*sort);
  }
  if (!deferred) append_order(stages, sort, skip, limit);
  if (Status s = append_nested_lookups(stages, sub, params, target, depth, paged_levels, registry, ctx); !s)
    return s.err();
  if (deferred) append_order(stages, sort, skip, limit);
  if (!sub.fields.empty()) stages.push_back(projection_stage(sub, target));
  return relation_lookup(as, target, var, rel, source, std::move(stages));
}

Result<Array> build_agg_stages(const Schema& schema, const Registry& registry, const Context* ctx,
                               const StringSet& selected) {
  std::optional<NameSet> readable = get_readable_computes(schema, ctx);
  Array stages;
  std::vector<Object::Member> values;
  for (const auto& [name, compute] : schema.computes) {
    if (!selected.contains(name) || (readable && !readable->contains(name)) || !compute.agg) continue;
    Result<AggPath> path = read_agg_path(name, *compute.agg);
    if (!path) return path.err();
    const RelationDef* rel = schema.relation(path->relation);
    if (!rel)
      return Err("计算列 \"" + name + "\" 的 agg 引用的关系 \"" + path->relation + "\" 未在 schema 中定义");
    Result<SchemaPtr> target = registry.get(rel->model);
    if (!target) return target.err();
    if (ctx && ((path->field && !is_field_readable(**target, ctx, *path->field)) ||
                !is_relation_readable(schema, ctx, path->relation) ||
                !evaluate(ctx, (*target)->read, OwnerCheck::assume_owner())))
      return Err(std::string(kReadDenied));

    Value match = join_predicate(*rel, "aggv", schema);
    if (std::optional<Value> owner = owner_condition(**target, ctx))
      match = one_member("$and", Value(Array{std::move(match), std::move(*owner)}));
    stages.push_back(
        relation_lookup("_" + name, **target, "aggv", *rel, schema, Array{one_member("$match", std::move(match))}));

    Result<Value> expr = agg_value_expr(name, path->op, path->field ? *path->field : std::string());
    if (!expr) return expr.err();
    values.emplace_back(name, std::move(expr).value());
  }
  if (!values.empty()) stages.push_back(one_member("$addFields", Value(Object::from_entries(std::move(values)))));
  return stages;
}

}  // namespace quorvel
