#include "command/query.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bson.h"
#include "command/cmd.h"
#include "pipeline/build.h"
#include "pipeline/parse.h"
#include "pipeline/projection.h"
#include "pipeline/util.h"

namespace quorvel {

namespace {

const char* mode_name(PlanMode mode) {
  switch (mode) {
    case PlanMode::Find: return "find";
    case PlanMode::TwoPhase: return "two_phase";
    case PlanMode::Aggregate: break;
  }
  return "aggregate";
}

bool has_key(const Value& stage, std::string_view key) {
  const Object* o = stage.if_object();
  return o && o->contains(key);
}

// Index of the first stage holding `key`, or stages.size().
size_t first_with(const Array& stages, std::string_view key) {
  for (size_t i = 0; i < stages.size(); ++i)
    if (has_key(stages[i], key)) return i;
  return stages.size();
}

// Lookups named "__rp..." join for relation filters; only the others fetch
// related documents for the result.
bool is_relation_lookup(const Value& stage) {
  const Value* lookup = stage.get("$lookup");
  if (!lookup) return false;
  const Value* as = lookup->get("as");
  return !(as && as->is_string() && as->as_string().starts_with("__rp"));
}

bool is_ordering(const Value& stage) {
  return has_key(stage, "$sort") || has_key(stage, "$skip") || has_key(stage, "$limit");
}

Value project_stage(Value projection) { return one_member("$project", std::move(projection)); }

struct TwoPhaseShape {
  size_t first_lookup;
  size_t sort, skip, limit;  // first stage holding each key, or stages.size()
};

// The two-phase shape when a paged, ungrouped pipeline joins relations and
// does not order by a joined field: paging then runs on root ids alone.
std::optional<TwoPhaseShape> two_phase_shape(const Array& stages) {
  const size_t n = stages.size();
  TwoPhaseShape shape{n, first_with(stages, "$sort"), first_with(stages, "$skip"), first_with(stages, "$limit")};
  if (shape.skip == n && shape.limit == n) return std::nullopt;
  if (first_with(stages, "$group") != n) return std::nullopt;
  for (size_t i = 0; i < n && shape.first_lookup == n; ++i)
    if (is_relation_lookup(stages[i])) shape.first_lookup = i;
  if (shape.first_lookup == n) return std::nullopt;
  if (shape.sort != n && sorts_by_relation(&stages[shape.sort])) return std::nullopt;
  return shape;
}

void plan_two_phase(QueryPlan& plan, const Schema& schema, Array stages, std::optional<Value>&& projection,
                    const TwoPhaseShape& shape) {
  const size_t n = stages.size();
  if (shape.sort != n) plan.sort = stages[shape.sort];

  // Ordering stages are copied before the prefix is moved: they may sit in it.
  Array ordering;
  for (size_t i : {shape.sort, shape.skip, shape.limit})
    if (i != n) ordering.push_back(stages[i]);
  Array phase1;
  phase1.reserve(shape.first_lookup + ordering.size() + 1);
  for (size_t i = 0; i < shape.first_lookup; ++i) phase1.push_back(std::move(stages[i]));
  for (Value& stage : ordering) phase1.push_back(std::move(stage));
  phase1.push_back(project_stage(Value(Object{{"_id", Value(1)}})));

  Array phase2;
  phase2.reserve(n - shape.first_lookup + 2);
  phase2.push_back(
      one_member("$match", one_member("_id", one_member("$in", Value(std::string(kPhase1Ids))))));
  for (size_t i = shape.first_lookup; i < n; ++i)
    if (!is_ordering(stages[i])) phase2.push_back(std::move(stages[i]));
  if (projection) phase2.push_back(project_stage(std::move(*projection)));

  plan.mode = PlanMode::TwoPhase;
  plan.commands.push_back(cmd_aggregate(schema, std::move(phase1)));
  plan.commands.push_back(cmd_aggregate(schema, std::move(phase2)));
}

constexpr std::string_view kNoReadAccess = "ERR_PERMISSION:无访问权限";

Status require_context_gate(const Registry& registry, const Context* ctx) {
  if (!ctx && registry.require_context()) return Err(std::string(kNoContextMessage));
  return ok();
}

// Narrows the tree's condition to the caller's own documents where the
// schema's read rule requires it.
void apply_owner_condition(Ast& tree, Object& params, const Schema& schema, const Context* ctx) {
  if (auto it = tree.params.find("condition"); it != tree.params.end()) {
    const std::string name(param_name(it->second));
    Value* current = params.find(name);
    Value merged = merge_owner_condition(schema, ctx, current ? std::move(*current) : Value());
    if (merged.is_null()) params.erase(name);
    else params.set(name, std::move(merged));
    return;
  }
  Value owner = merge_owner_condition(schema, ctx, Value());
  if (owner.is_null()) return;
  tree.params.insert_or_assign("condition", param_reference(kOwnerParam));
  params.set(std::string(kOwnerParam), std::move(owner));
}

bool any_stage_has(const Array& stages, std::string_view key) {
  return std::any_of(stages.begin(), stages.end(), [key](const Value& s) { return has_key(s, key); });
}

Value postprocess_value(const Ast& flat, const InjectInfo& record) {
  Object out;
  out.push_back_sorted("ast", flat.to_value());
  out.push_back_sorted("inject", record.empty() ? Value() : record.to_value());
  return Value(std::move(out));
}

}  // namespace

Result<QueryPlan> plan_query(std::string_view gql, Object params, const Registry& registry, const Context* ctx) {
  Result<Ast> tree = parse_gql(gql);
  if (!tree) return tree.err();
  return plan_query_ast_mut(*tree, params, registry, ctx);
}

Result<QueryPlan> plan_query_one(std::string_view gql, Object params, const Registry& registry,
                                 const Context* ctx) {
  Result<Ast> tree = parse_gql(gql);
  if (!tree) return tree.err();
  if (!tree->params.contains("limit")) {
    tree->params.emplace("limit", param_reference(kOneLimitParam));
    params.set(std::string(kOneLimitParam), Value(1));
  }
  return plan_query_ast_mut(*tree, params, registry, ctx);
}

Result<QueryPlan> plan_query_ast_mut(Ast& tree, Object& params, const Registry& registry, const Context* ctx) {
  if (Status s = require_context_gate(registry, ctx); !s) return s.err();
  Result<SchemaPtr> found = registry.get(tree.model);
  if (!found) return found.err();
  const Schema& schema = **found;
  if (ctx) {
    if (!can_read_schema(schema, ctx)) return Err(std::string(kNoReadAccess));
    apply_owner_condition(tree, params, schema, ctx);
  }
  Result<InjectInfo> record = merge_depends_into_ast(tree.relations, schema);
  if (!record) return record.err();
  record->fields = collect_field_deps(tree.fields, schema);

  Ast flat = tree;
  flatten_object_fields_impl(flat.fields, flat.relations, schema);
  return build_plan(tree, std::move(flat), *record, params, registry, ctx);
}

Result<QueryPlan> build_plan(Ast& tree, Ast flat, const InjectInfo& record, const Object& params,
                             const Registry& registry, const Context* ctx) {
  if (Status s = require_context_gate(registry, ctx); !s) return s.err();
  Result<SchemaPtr> found = registry.get(tree.model);
  if (!found) return found.err();
  const Schema& schema = **found;
  if (Status s = check_readable_relations(tree.relations, schema, registry, ctx); !s) return s.err();
  Result<Array> stages = build_pipeline(tree, params, registry, ctx);
  if (!stages) return stages.err();

  const bool grouped = any_stage_has(*stages, "$group");
  std::optional<Value> projection;
  if (!grouped)
    if (std::optional<Object> p = build_projection(tree, schema, ctx)) projection = Value(std::move(*p));
  QueryPlan plan = plan_commands(schema, std::move(*stages), std::move(projection));
  if (!grouped) plan.postprocess = postprocess_value(flat, record);
  return plan;
}

Status check_readable_relations(const RelationList& relations, const Schema& schema, const Registry& registry,
                                const Context* ctx) {
  if (!ctx || relations.empty() || schema.relations.empty()) return ok();
  for (const auto& [name, sub] : relations) {
    const RelationDef* def = schema.relation(name);
    if (!def || def->model.empty()) continue;
    if (!is_relation_readable(schema, ctx, name)) return Err(std::string(kNoReadAccess));
    Result<SchemaPtr> target = registry.get(def->model);
    if (!target) return target.err();
    if (!can_read_schema(**target, ctx)) return Err(std::string(kNoReadAccess));
    if (Status s = check_readable_relations(sub.relations, **target, registry, ctx); !s) return s;
  }
  return ok();
}

Page resolve_page(const Ast& tree, const Object& params) {
  if (params.contains("page") || params.contains("pageSize")) return page_from_params(params);
  if (tree.params.empty()) return Page{};
  return page_from_directives(directive_value(tree.params, "skip", params),
                              directive_value(tree.params, "limit", params));
}

QueryPlan plan_commands(const Schema& schema, Array stages, std::optional<Value> projection) {
  QueryPlan plan;
  plan.collection = schema.collection;
  plan.commands.reserve(2);
  if (stages.size() == 1 && has_key(stages[0], "$match")) {
    plan.mode = PlanMode::Find;
    Value filter = std::move(*stages[0].get("$match"));
    plan.commands.push_back(cmd_find(schema, std::move(filter), std::move(projection)));
    return plan;
  }
  if (auto shape = two_phase_shape(stages)) {
    plan_two_phase(plan, schema, std::move(stages), std::move(projection), *shape);
    return plan;
  }
  plan.mode = PlanMode::Aggregate;
  if (projection) stages.push_back(project_stage(std::move(*projection)));
  plan.commands.push_back(cmd_aggregate(schema, std::move(stages)));
  return plan;
}

Value QueryPlan::to_value() && {
  Object out;
  out.reserve(5);
  out.set("collection", Value(std::move(collection)));
  out.set("commands", Value(std::move(commands)));
  out.set("mode", Value(mode_name(mode)));
  out.set("postprocess", postprocess ? std::move(*postprocess) : Value());
  out.set("sort", sort ? std::move(*sort) : Value());
  return Value(std::move(out));
}

bool sorts_by_relation(const Value* stage) {
  if (!stage) return false;
  const Value* sort = stage->get("$sort");
  const Object* keys = sort ? sort->if_object() : nullptr;
  if (!keys) return false;
  return std::any_of(keys->begin(), keys->end(),
                     [](const Object::Member& m) { return m.first.find('.') != std::string::npos; });
}

Array restore_sort_order(Array items, const Array& ids, const Value* sort) {
  if (!sort || sort->is_null() || ids.size() < 2) return items;
  std::unordered_map<std::string, size_t> position;
  position.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) position.try_emplace(id_key(ids[i]), i);

  static const Value kNoId;
  std::vector<std::pair<size_t, size_t>> order;  // (position, input index)
  order.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const Value* id = items[i].get("_id");
    auto it = position.find(id_key(id ? *id : kNoId));
    order.emplace_back(it == position.end() ? ids.size() : it->second, i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  Array out;
  out.reserve(items.size());
  for (const auto& [pos, index] : order) out.push_back(std::move(items[index]));
  return out;
}

}  // namespace quorvel
