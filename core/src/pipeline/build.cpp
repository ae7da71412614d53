#include "pipeline/build.h"

#include "pipeline/group.h"
#include "pipeline/lookup.h"
#include "pipeline/parse.h"
#include "pipeline/projection.h"
#include "pipeline/relation_filter.h"
#include "pipeline/util.h"
#include "types.h"

namespace quorvel {

namespace {

bool is_structured_object(const Schema& schema, std::string_view name) {
  const FieldDef* f = schema.field(name);
  return f && f->type == "object" && f->fields.has_value();
}

struct Directives {
  const Value* condition;
  const Value* group;
  const Value* having;
  const Value* sort;
  const Value* skip;
  const Value* limit;
};

Directives resolve(const DirectiveMap& d, const Object& params) {
  return {directive_value(d, "condition", params), directive_value(d, "group", params),
          directive_value(d, "having", params),    directive_value(d, "sort", params),
          directive_value(d, "skip", params),      directive_value(d, "limit", params)};
}

// Computes selected at the root: a field names the compute or a path below it.
StringSet selected_computes(const Schema& schema, const std::vector<std::string>& fields) {
  StringSet out;
  for (const std::string& f : fields) {
    std::string_view path(f);
    for (size_t dot = path.find('.'); dot != std::string_view::npos; dot = path.find('.', dot + 1))
      if (find_compute(schema, path.substr(0, dot))) out.emplace(path.substr(0, dot));
    if (find_compute(schema, path)) out.insert(f);
  }
  return out;
}

Result<Array> grouped_pipeline(const Schema& schema, const Ast& tree, const Directives& d, const Context* ctx) {
  Result<group::GroupSpec> spec = group::parse(schema, *d.group);
  if (!spec) return spec.err();
  if (Status s = group::validate_read_permission(schema, ctx, *spec); !s) return s.err();
  group::StageInputs in{tree.fields, tree.relations.empty(), d.condition, d.having, d.sort, d.skip, d.limit};
  return group::build_stages(*spec, in);
}

}  // namespace

void flatten_object_fields_impl(std::vector<std::string>& fields, RelationList& relations, const Schema& schema) {
  if (relations.empty() || schema.fields.empty()) return;
  RelationList kept;
  kept.reserve(relations.size());
  for (auto& [name, sub] : relations) {
    if (!is_structured_object(schema, name)) {
      kept.emplace_back(std::move(name), std::move(sub));
      continue;
    }
    for (const std::string& f : sub.fields) fields.push_back(name + "." + f);
  }
  relations = std::move(kept);
}

Status root_lookup_stages(const RelationList& relations, const Schema& schema, const Object& params, Array& stages,
                          const Registry& registry, const Context* ctx) {
  for (const auto& [name, sub] : relations) {
    const RelationDef* rel = schema.relation(name);
    if (!rel) return Err(undefined_relation(name, schema.name));
    Result<SchemaPtr> target = registry.get(rel->model);
    if (!target) return target.err();
    Result<Value> lookup = build_lookup(name, sub, params, *rel, **target, schema, 0, 0, registry, ctx);
    if (!lookup) return lookup.err();
    stages.push_back(std::move(lookup).value());
    if (rel->type == "one") stages.push_back(unwind_stage(name));
  }
  return ok();
}

Result<Array> build_pipeline(Ast& tree, const Object& params, const Registry& registry, const Context* ctx) {
  Result<SchemaPtr> found = registry.get(tree.model);
  if (!found) return found.err();
  const Schema& schema = **found;
  Directives d = resolve(tree.params, params);

  std::optional<relation_filter::RelationFilterPlan> filter;
  if (d.condition) {
    if (Status s = validate_condition_shape(schema, *d.condition); !s) return s.err();
    if (Status s = validate_condition(*d.condition); !s) return s.err();
    auto planned = relation_filter::plan(schema, registry, ctx, *d.condition);
    if (!planned) return planned.err();
    filter = std::move(planned).value();
    if (d.group && filter)
      return Err("$group 查询暂不支持关系聚合谓词（§9.6 属 $condition 段，与分组终结路径暂未互通）");
  }
  if (d.group) return grouped_pipeline(schema, tree, d, ctx);

  if (d.having) return Err("$having 需要与 $group 同时使用（无 $group 时没有分组结果可过滤）");
  if (d.sort)
    if (Status s = validate_sort_shape(schema, *d.sort); !s) return s.err();
  flatten_object_fields_impl(tree.fields, tree.relations, schema);

  Array stages;
  if (filter) {
    for (Value& stage : filter->stages) stages.push_back(std::move(stage));
    stages.push_back(one_member("$match", std::move(filter->condition)));
  } else if (d.condition) {
    stages.push_back(one_member("$match", *d.condition));
  }
  if (Status s = root_lookup_stages(tree.relations, schema, params, stages, registry, ctx); !s) return s.err();
  append_order(stages, d.sort, d.skip, d.limit);
  Result<Array> aggs = build_agg_stages(schema, registry, ctx, selected_computes(schema, tree.fields));
  if (!aggs) return aggs.err();
  for (Value& stage : *aggs) stages.push_back(std::move(stage));
  return stages;
}

Result<Value> build_pipeline_view(std::string_view gql, const Object& params, const Registry& registry,
                                  const Context* ctx) {
  std::vector<Token> tokens = tokenize(gql);
  Value tokens_json = tokens_to_value(tokens);
  Result<Ast> parsed = parse(std::move(tokens));
  if (!parsed) return parsed.err();
  Ast& tree = *parsed;
  Value ast_json = tree.to_value();
  Result<SchemaPtr> schema = registry.get(tree.model);
  if (!schema) return schema.err();
  Result<Array> pipeline = build_pipeline(tree, params, registry, ctx);
  if (!pipeline) return pipeline.err();
  std::optional<Object> projection = build_projection(tree, **schema, ctx);

  Object out;
  out.reserve(4);
  out.push_back_sorted("ast", std::move(ast_json));
  out.push_back_sorted("pipeline", Value(std::move(pipeline).value()));
  out.push_back_sorted("projection", projection ? Value(std::move(*projection)) : Value());
  out.push_back_sorted("tokens", std::move(tokens_json));
  return Value(std::move(out));
}

}  // namespace quorvel
