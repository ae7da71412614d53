#include "computes/run/sync.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "computes/defaults.h"
#include "pipeline/build.h"
#include "pipeline/util.h"

namespace quorvel {

namespace {

constexpr std::string_view kId = "_id";

bool missing_or_null(const Object& o, std::string_view key) {
  const Value* v = o.find(key);
  return !v || v->is_null();
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool sorted_contains(const std::vector<std::string>& names, std::string_view name) {
  return std::binary_search(names.begin(), names.end(), name, std::less<>());
}

// The selected fields, then every dependency of a synchronous compute that
// the selection lacks.
std::vector<std::string> needed_names(const std::vector<std::string>& fields, const Cache& cache) {
  std::vector<std::string> needed = fields;
  std::unordered_set<std::string_view> seen(fields.begin(), fields.end());
  for (const ComputeEntry& entry : cache.sync_entries)
    for (const std::string& dep : entry.depends)
      if (seen.insert(dep).second) needed.push_back(dep);
  return needed;
}

// Dotted names grouped by their first part, groups in order of first appearance.
std::vector<std::pair<std::string, std::vector<std::string>>> group_dotted(const std::vector<std::string>& names) {
  std::vector<std::pair<std::string, std::vector<std::string>>> groups;
  for (const std::string& name : names) {
    size_t dot = name.find('.');
    if (dot == std::string::npos) continue;
    std::string_view prefix(name.data(), dot);
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == prefix; });
    if (it == groups.end()) it = groups.insert(groups.end(), {std::string(prefix), {}});
    it->second.push_back(name.substr(dot + 1));
  }
  return groups;
}

}  // namespace

Status run_computes(Value& document, const Cache& cache, FnRegistry* fns) {
  if (cache.sync_entries.empty()) return ok();
  if (!fns) return Err("计算列 " + cache.sync_entries.front().name + " 未注册同步实现");
  for (const ComputeEntry& entry : cache.sync_entries) {
    Result<Value> computed = fns->call_sync(entry.fn_ref, document);
    if (!computed) return std::move(computed).error();
    if (Object* o = document.if_object()) o->set(entry.name, std::move(computed).value());
  }
  Object* o = document.if_object();
  if (!o) return ok();
  // A typed computed field never comes back empty: null takes the type default.
  for (const ComputeEntry& entry : cache.sync_entries) {
    const Value* d = cache.compute_defaults.find(entry.name);
    if (!d) continue;
    Value& member = (*o)[entry.name];
    if (member.is_null()) member = *d;
  }
  return ok();
}

// ---- ReadPlan ------------------------------------------------------------

struct ReadPlan::NestedDefault {
  std::string prefix;
  std::string sub;
  Value value;
};

struct ReadPlan::RelationStep {
  std::string name;
  // A lookup failure is kept and reported by the first document that gets
  // this far, as processing that document step by step would.
  Result<SchemaPtr> target;
  bool keep_id = false;
  std::unique_ptr<ReadPlan> sub;
};

// A name the projection keeps, with the read rules that can still remove it
// from one document.
struct ReadPlan::Keep {
  std::string name;
  // Held as the schema's optionals, so evaluating them copies no list.
  std::vector<const std::optional<RuleList>*> rules;
};

ReadPlan::ReadPlan(ReadPlan&&) noexcept = default;
ReadPlan::~ReadPlan() = default;

ReadPlan::ReadPlan(std::vector<std::string> fields, RelationList relations, const Schema& schema,
                   const Registry& registry, const Context* ctx)
    : ctx_(ctx), cache_(ensure_cache(schema)) {
  flatten_object_fields_impl(fields, relations, schema);
  std::vector<std::string> needed = needed_names(fields, cache_);
  groups_ = group_dotted(needed);
  plan_defaults(needed, schema);

  std::vector<std::string> kept = std::move(fields);
  for (const auto& [prefix, subs] : groups_) kept.push_back(prefix);
  for (const auto& [name, sub] : relations) kept.push_back(name);
  kept.emplace_back(kId);
  plan_relations(relations, schema, registry);
  plan_projection(std::move(kept), schema);
}

// Only explicit defaults at the top level; nested members take their
// definition's default, one level below a needed dotted name.
void ReadPlan::plan_defaults(const std::vector<std::string>& needed, const Schema& schema) {
  auto add_top_default = [&](const std::string& name) {
    if (const Value* d = cache_.field_defaults.find(name)) top_defaults_.emplace_back(name, *d);
  };
  for (const std::string& name : needed) add_top_default(name);
  for (const auto& [prefix, subs] : groups_) add_top_default(prefix);
  for (const std::string& name : needed) {
    size_t dot = name.find('.');
    if (dot == std::string::npos) continue;
    std::string_view prefix(name.data(), dot), sub = std::string_view(name).substr(dot + 1);
    const FieldDef* field = schema.field(prefix);
    if (!field || field->type != "object" || !field->fields) continue;
    const Value* def = field->fields->get(sub);
    if (!def) continue;
    if (std::optional<Value> d = raw_field_default(*def))
      nested_defaults_.push_back({std::string(prefix), std::string(sub), std::move(*d)});
  }
}

// The relations this context may follow, each with the plan of its
// sub-selection (moved out of `relations`).
void ReadPlan::plan_relations(RelationList& relations, const Schema& schema, const Registry& registry) {
  std::optional<NameSet> readable = get_readable_relations(schema, ctx_);
  for (auto& [name, sub] : relations) {
    if (readable && !readable->contains(name)) continue;
    const RelationDef* def = schema.relation(name);
    if (!def) continue;
    RelationStep step{name, registry.get(def->model), contains(sub.fields, kId), nullptr};
    if (step.target)
      step.sub = std::make_unique<ReadPlan>(std::move(sub.fields), std::move(sub.relations), **step.target,
                                            registry, ctx_);
    relations_.push_back(std::move(step));
  }
}

// The names to keep, each with the read rules that may still remove it from
// one document; "_id" always stays.
void ReadPlan::plan_projection(std::vector<std::string> kept, const Schema& schema) {
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  keep_.reserve(kept.size());
  for (std::string& name : kept) {
    Keep k{std::move(name), {}};
    if (ctx_ && k.name != kId) {
      // A dotted name belongs to its root field.
      std::string_view root = std::string_view(k.name).substr(0, k.name.find('.'));
      if (const FieldDef* f = schema.field(root); f && f->read) k.rules.push_back(&f->read);
      if (const ComputeDef* c = find_compute(schema, k.name); c && c->read) k.rules.push_back(&c->read);
      if (const RelationDef* r = schema.relation(k.name); r && r->read) k.rules.push_back(&r->read);
    }
    keep_.push_back(std::move(k));
  }
  for (auto& [prefix, subs] : groups_) {
    std::sort(subs.begin(), subs.end());
    subs.erase(std::unique(subs.begin(), subs.end()), subs.end());
  }
}

void ReadPlan::fill_defaults(Object& doc) const {
  for (const auto& [name, value] : top_defaults_)
    if (missing_or_null(doc, name)) doc.set(name, value);
  for (const NestedDefault& d : nested_defaults_) {
    Value* member = doc.find(d.prefix);
    if (member && member->is_object() && missing_or_null(member->as_object(), d.sub))
      member->as_object().set(d.sub, d.value);
  }
}

Status ReadPlan::descend(Value& document, const RelationStep& step, FnRegistry* fns) const {
  Value* member = document.get(step.name);
  if (!member) return ok();
  auto process = [&](Value& related) -> Status {
    if (Status s = step.sub->apply(related, fns); !s) return s;
    if (!step.keep_id)
      if (Object* o = related.if_object()) o->erase(kId);
    return ok();
  };
  if (Array* elements = member->if_array()) {
    for (Value& e : *elements)
      if (Status s = process(e); !s) return s;
    return ok();
  }
  if (member->is_object()) return process(*member);
  return ok();
}

void ReadPlan::project(Value& document) const {
  // Decide every name against the untouched document: the owner check reads
  // its "createdBy" member.
  OwnerCheck owner = OwnerCheck::of_document(document);
  std::vector<bool> allowed(keep_.size(), true);
  for (size_t i = 0; ctx_ && i < keep_.size(); ++i)
    for (const std::optional<RuleList>* rules : keep_[i].rules)
      if (!evaluate(ctx_, *rules, owner)) allowed[i] = false;

  Object& doc = document.as_object();
  Object kept;
  kept.reserve(std::min(doc.size(), keep_.size()));
  for (auto& [key, value] : doc) {
    auto it = std::lower_bound(keep_.begin(), keep_.end(), key,
                               [](const Keep& k, const std::string& n) { return k.name < n; });
    if (it != keep_.end() && it->name == key && allowed[static_cast<size_t>(it - keep_.begin())])
      kept.push_back_sorted(std::move(key), std::move(value));
  }
  for (const auto& [prefix, subs] : groups_) {
    Value* member = kept.find(prefix);
    if (!member || !member->is_object()) continue;
    Object inner;
    for (auto& [key, value] : member->as_object())
      if (sorted_contains(subs, key)) inner.push_back_sorted(std::move(key), std::move(value));
    *member = Value(std::move(inner));
  }
  doc = std::move(kept);
}

Status ReadPlan::apply(Value& document, FnRegistry* fns) const {
  if (document.is_null()) return ok();
  if (Object* o = document.if_object()) fill_defaults(*o);
  if (Status s = run_computes(document, cache_, fns); !s) return s;
  for (const RelationStep& step : relations_) {
    if (!step.target) return step.target.err();
    if (Status s = descend(document, step, fns); !s) return s;
  }
  if (document.is_object()) project(document);
  return ok();
}

Status process_node(Value& document, const std::vector<std::string>& fields, const RelationList& relations,
                    const Schema& schema, const Context* ctx, const Registry& registry, FnRegistry* fns) {
  if (document.is_null()) return ok();
  return ReadPlan(fields, relations, schema, registry, ctx).apply(document, fns);
}

}  // namespace quorvel
