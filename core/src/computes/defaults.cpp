#include "computes/defaults.h"

#include <string>

#include "types.h"

namespace quorvel {

namespace {

std::optional<Value> type_default(std::string_view type_name) {
  Value d = get_default(type_name);
  if (d.is_null()) return std::nullopt;
  return d;
}

bool missing_or_null(const Object& o, std::string_view key) {
  const Value* v = o.find(key);
  return !v || v->is_null();
}

// The nested definitions of an object-typed nested definition, if any.
const Value* nested_object_fields(const Value& definition) {
  const Value* type = definition.get("type");
  if (!type || !type->is_string() || type->as_string() != "object") return nullptr;
  return definition.get("fields");
}

}  // namespace

std::optional<Value> field_default(const FieldDef& field) {
  if (field.default_value) return *field.default_value;
  return type_default(field.type);
}

std::optional<Value> raw_field_default(const Value& definition) {
  if (const std::string* type = definition.if_string()) return type_default(*type);
  if (!definition.is_object()) return std::nullopt;
  if (const Value* d = definition.get("default"); d && !d->is_null()) return *d;
  const Value* type = definition.get("type");
  return type_default(type && type->is_string() ? std::string_view(type->as_string()) : std::string_view());
}

// Recursion follows the schema's own nested definitions, which entered the
// core through the depth-capped conversion.
void fill_nested_defaults(Object& member, const Value& definitions) {
  const Object* defs = definitions.if_object();
  if (!defs) return;
  for (const auto& [sub, def] : *defs) {
    if (missing_or_null(member, sub))
      if (std::optional<Value> d = raw_field_default(def)) member.set(sub, std::move(*d));
    const Value* nested = nested_object_fields(def);
    if (!nested) continue;
    if (Value* child = member.find(sub); child && child->is_object())
      fill_nested_defaults(child->as_object(), *nested);
  }
}

Result<Value> apply_defaults_and_computes(const Value& document, const Schema& schema, FnRegistry* fns) {
  if (!document.is_object()) return document;
  return apply_defaults_and_computes(document, schema, ensure_cache(schema), fns);
}

Result<Value> apply_defaults_and_computes(Value document, const Schema& schema, const Cache& cache,
                                          FnRegistry* fns) {
  Object* doc = document.if_object();
  if (!doc) return document;
  for (const auto& [name, field] : schema.fields) {
    if (missing_or_null(*doc, name))
      if (std::optional<Value> d = field_default(field)) doc->set(name, std::move(*d));
    if (field.type != "object" || !field.fields || field.fields->is_null()) continue;
    if (Value* member = doc->find(name); member && member->is_object())
      fill_nested_defaults(member->as_object(), *field.fields);
  }
  if (!cache.sync_entries.empty() && !fns)
    return Err("计算列 " + cache.sync_entries.front().name + " 未注册同步实现");
  for (const ComputeEntry& entry : cache.sync_entries) {
    Result<Value> computed = fns->call_sync(entry.fn_ref, document);
    if (!computed) return computed;
    Object* current = document.if_object();
    if (!current) return Err("apply_defaults_and_computes：结果不是对象");
    current->set(entry.name, std::move(computed).value());
  }
  return document;
}

}  // namespace quorvel
