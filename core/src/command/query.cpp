#include "command/query.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bson.h"
#include "command/cmd.h"

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

Value project_stage(Value projection) { return Value(Object{{"$project", std::move(projection)}}); }

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
  phase2.push_back(Value(Object{
      {"$match", Value(Object{{"_id", Value(Object{{"$in", Value(std::string(kPhase1Ids))}})}})}}));
  for (size_t i = shape.first_lookup; i < n; ++i)
    if (!is_ordering(stages[i])) phase2.push_back(std::move(stages[i]));
  if (projection) phase2.push_back(project_stage(std::move(*projection)));

  plan.mode = PlanMode::TwoPhase;
  plan.commands.push_back(cmd_aggregate(schema, std::move(phase1)));
  plan.commands.push_back(cmd_aggregate(schema, std::move(phase2)));
}

}  // namespace

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
