#include "permission.h"

#include <algorithm>

#include "types.h"

namespace quorvel {

namespace {

constexpr std::string_view kGuestRole = "guest";

bool contains(const std::vector<std::string>& list, std::string_view name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

// The roles list when it holds any role, else the single role ("" when none).
bool is_effective_role(const Context& ctx, std::string_view rule) {
  if (ctx.roles && !ctx.roles->empty()) return contains(*ctx.roles, rule);
  return rule == (ctx.role ? std::string_view(*ctx.role) : std::string_view());
}

bool has_user_id(const Context& ctx) { return ctx.user_id && !ctx.user_id->empty(); }

bool owns(const Context& ctx, const Value& document) {
  if (!has_user_id(ctx)) return false;
  const Value* owner = document.get(kOwnerField);
  return owner && owner->is_string() && owner->as_string() == *ctx.user_id;
}

bool allows(const Context* ctx, const std::optional<RuleList>& rules) {
  return !rules || evaluate(ctx, rules, OwnerCheck::assume_owner());
}

std::string_view path_root(std::string_view path) { return path.substr(0, path.find('.')); }

}  // namespace

bool Context::is_admin() const { return roles && (contains(*roles, "admin") || contains(*roles, "super_admin")); }

bool Context::has_role(std::string_view name) const { return roles && contains(*roles, name); }

std::optional<Context> context_from_value(const Value& v) {
  const Object* o = v.if_object();
  if (!o) return std::nullopt;
  Context ctx;
  if (const Value* id = o->find("userId"); id && id->is_string()) ctx.user_id = id->as_string();
  ctx.roles = read_rule_list(o->find("roles"));
  if (const Value* role = o->find("role"); role && role->is_string()) ctx.role = role->as_string();
  const Value* internal = o->find("internal");
  ctx.internal = internal && is_truthy(*internal);
  return ctx;
}

bool evaluate(const Context* ctx, const std::optional<RuleList>& rules, OwnerCheck owner) {
  if (!ctx || ctx->internal) return true;
  if (!rules || rules->empty()) return !ctx->has_role(kGuestRole);
  if (ctx->is_admin()) return true;
  for (const std::string& rule : *rules)
    if (is_effective_role(*ctx, rule)) return true;
  if (!contains(*rules, kCreatorRule)) return false;
  if (owner.document) return owns(*ctx, *owner.document);
  // Ownership is assumed only where the caller can enforce it, which takes a
  // user id: without one no owner condition narrows the read, and granting
  // the rule would hand out every document.
  return has_user_id(*ctx);
}

bool can_read_schema(const Schema& schema, const Context* ctx) {
  return evaluate(ctx, schema.read, OwnerCheck::assume_owner());
}

bool can_write_schema(const Schema& schema, const Context* ctx) {
  // A guest never writes, not even when marked internal.
  if (ctx && ctx->has_role(kGuestRole)) return false;
  // A present but empty write list reserves writing to administrators.
  if (ctx && !ctx->internal && schema.write && schema.write->empty()) return ctx->is_admin();
  return evaluate(ctx, schema.write, OwnerCheck::assume_owner());
}

std::optional<NameSet> get_readable_fields(const Schema& schema, const Context* ctx) {
  if (!ctx) return std::nullopt;
  NameSet out;
  for (const auto& [name, field] : schema.fields)
    if (allows(ctx, field.read)) out.insert(name);
  return out;
}

std::optional<NameSet> get_writable_fields(const Schema& schema, const Context* ctx) {
  if (!ctx) return std::nullopt;
  // A field without its own write list inherits the schema's answer.
  const bool schema_writable = can_write_schema(schema, ctx);
  NameSet out;
  for (const auto& [name, field] : schema.fields) {
    const bool writable =
        field.write ? evaluate(ctx, field.write, OwnerCheck::assume_owner()) : schema_writable;
    if (writable) out.insert(name);
  }
  return out;
}

std::optional<NameSet> get_readable_relations(const Schema& schema, const Context* ctx) {
  if (!ctx) return std::nullopt;
  NameSet out;
  for (const auto& [name, relation] : schema.relations)
    if (allows(ctx, relation.read)) out.insert(name);
  return out;
}

std::optional<NameSet> get_readable_computes(const Schema& schema, const Context* ctx) {
  if (!ctx) return std::nullopt;
  NameSet out;
  for (const auto& [name, compute] : schema.computes)
    if (allows(ctx, compute.read)) out.insert(name);
  return out;
}

bool is_field_readable(const Schema& schema, const Context* ctx, std::string_view path) {
  if (!ctx) return true;
  const FieldDef* field = schema.field(path_root(path));
  return !field || allows(ctx, field->read);
}

bool is_relation_readable(const Schema& schema, const Context* ctx, std::string_view name) {
  if (!ctx) return true;
  const RelationDef* relation = schema.relation(name);
  return relation && allows(ctx, relation->read);
}

bool should_inject_owner_condition(const Schema& schema, const Context* ctx) {
  if (!ctx || !has_user_id(*ctx) || ctx->internal || ctx->is_admin() || !schema.read) return false;
  bool creator_rule = false;
  for (const std::string& rule : *schema.read) {
    if (rule == kCreatorRule) creator_rule = true;
    // A user who reads by role sees every document.
    else if (is_effective_role(*ctx, rule)) return false;
  }
  return creator_rule;
}

Value merge_owner_condition(const Schema& schema, const Context* ctx, Value condition) {
  if (!should_inject_owner_condition(schema, ctx)) return condition;
  Object owner_member;
  owner_member.set(std::string(kOwnerField), Value(*ctx->user_id));
  Value owner(std::move(owner_member));
  if (!is_truthy(condition)) return owner;
  Array both;
  both.reserve(2);
  both.push_back(std::move(condition));
  both.push_back(std::move(owner));
  Object merged;
  merged.set("$and", Value(std::move(both)));
  return Value(std::move(merged));
}

Value filter_writable_data(const Schema& schema, const Context* ctx, Value data) {
  std::optional<NameSet> writable = get_writable_fields(schema, ctx);
  Object* members = data.if_object();
  if (!writable || !members) return data;
  Object kept;
  kept.reserve(members->size());
  for (auto& [key, value] : *members)
    if (key == "_id" || writable->contains(path_root(key))) kept.push_back_sorted(std::move(key), std::move(value));
  return Value(std::move(kept));
}

}  // namespace quorvel
