#include "computes/inject.h"

#include <algorithm>
#include <string_view>

#include "computes/cache.h"
#include "pipeline/parse.h"

namespace quorvel {

namespace {

constexpr std::string_view kAll = "__all__";

Value string_array(const std::vector<std::string>& names) {
  Array out;
  out.reserve(names.size());
  for (const std::string& n : names) out.emplace_back(n);
  return Value(std::move(out));
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string_view trim(std::string_view s) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  size_t start = s.find_first_not_of(kSpace);
  if (start == std::string_view::npos) return {};
  return s.substr(start, s.find_last_not_of(kSpace) - start + 1);
}

Injected injected_from(const Value& v, bool& present) {
  present = true;
  if (const Array* a = v.if_array()) {
    Injected out;
    out.fields.reserve(a->size());
    for (const Value& e : *a) out.fields.push_back(e.is_string() ? e.as_string() : std::string());
    return out;
  }
  if (v.is_string() && v.as_string() == kAll) return Injected::whole();
  present = false;
  return {};
}

void strip_keys(Value& target, const std::vector<std::string>& keys) {
  if (Object* o = target.if_object())
    for (const std::string& k : keys) o->erase(k);
}

void strip_item(Object& item, const InjectInfo& record) {
  for (const std::string& f : record.fields) item.erase(f);
  for (const auto& [name, injected] : record.relations) {
    if (injected.all) {
      item.erase(name);
      continue;
    }
    Value* member = item.find(name);
    if (!member) continue;
    if (Array* elements = member->if_array()) {
      for (Value& e : *elements) strip_keys(e, injected.fields);
    } else {
      strip_keys(*member, injected.fields);
    }
  }
}

}  // namespace

Value RelDep::to_value() const { return Value(Object{{"fields", string_array(fields)}, {"name", Value(name)}}); }

Value Injected::to_value() const { return all ? Value(kAll) : string_array(fields); }

Value InjectInfo::to_value() const {
  Object inner;
  if (!fields.empty()) inner.set("fields", string_array(fields));
  if (!relations.empty()) {
    std::vector<Object::Member> entries;
    entries.reserve(relations.size());
    for (const auto& [name, injected] : relations) entries.emplace_back(name, injected.to_value());
    inner.set("relations", Value(Object::from_entries(std::move(entries))));
  }
  return Value(Object{{"inject", Value(std::move(inner))}});
}

InjectInfo InjectInfo::from_value(const Value& v) {
  const Value* wrapped = v.get("inject");
  const Object* inner = (wrapped ? *wrapped : v).if_object();
  InjectInfo record;
  if (!inner) return record;
  if (const Value* rels = inner->find("relations"); rels && rels->is_object()) {
    for (const auto& [name, value] : rels->as_object()) {
      bool present = false;
      Injected injected = injected_from(value, present);
      if (present) record.relations.emplace_back(name, std::move(injected));
    }
  }
  if (const Value* fields = inner->find("fields"); fields && fields->is_array()) {
    for (const Value& f : fields->as_array())
      if (f.is_string()) record.fields.push_back(f.as_string());
  }
  return record;
}

RelDep& dep_slot(std::vector<RelDep>& deps, std::string_view name) {
  for (RelDep& d : deps)
    if (d.name == name) return d;
  deps.push_back(RelDep{std::string(name), {}});
  return deps.back();
}

Result<std::vector<RelDep>> collect_rel_deps(const Schema& schema) {
  std::vector<RelDep> deps;
  for (const ComputeEntry& entry : ensure_cache(schema).async_entries) {
    for (const std::string& text : entry.depends) {
      std::string_view dep = trim(text);
      if (dep.empty() || dep == "_id") continue;
      if (dep.find('{') == std::string_view::npos) {
        if (schema.relation(dep)) dep_slot(deps, dep);
        continue;
      }
      Result<Ast> parsed = parse_gql(dep);
      if (!parsed) return std::move(parsed).error();
      if (!schema.relation(parsed->model)) continue;
      RelDep& slot = dep_slot(deps, parsed->model);
      for (std::string& f : parsed->fields)
        if (f != "_id" && !contains(slot.fields, f)) slot.fields.push_back(std::move(f));
    }
  }
  return deps;
}

InjectInfo inject_into_ast(RelationList& relations, const std::vector<RelDep>& deps) {
  InjectInfo record;
  for (const RelDep& dep : deps) {
    auto selected = std::find_if(relations.begin(), relations.end(), [&](const auto& r) { return r.first == dep.name; });
    if (selected == relations.end()) {
      RelAst whole;
      whole.fields = dep.fields;
      relations.emplace_back(dep.name, std::move(whole));
      record.relations.emplace_back(dep.name, Injected::whole());
      continue;
    }
    std::vector<std::string>& fields = selected->second.fields;
    Injected added;
    for (const std::string& f : dep.fields) {
      if (contains(fields, f)) continue;
      fields.push_back(f);
      added.fields.push_back(f);
    }
    if (!added.fields.empty()) record.relations.emplace_back(dep.name, std::move(added));
  }
  return record;
}

Result<InjectInfo> merge_depends_into_ast(RelationList& relations, const Schema& schema) {
  bool has_async = std::any_of(schema.computes.begin(), schema.computes.end(),
                               [](const auto& c) { return c.second.async_fn; });
  if (!has_async) return InjectInfo{};
  Result<std::vector<RelDep>> deps = collect_rel_deps(schema);
  if (!deps) return std::move(deps).error();
  if (deps->empty()) return InjectInfo{};
  return inject_into_ast(relations, *deps);
}

std::vector<std::string> collect_field_deps(std::vector<std::string>& fields, const Schema& schema) {
  std::vector<std::string> added;
  for (const ComputeEntry& entry : ensure_cache(schema).async_entries) {
    for (const std::string& text : entry.depends) {
      std::string_view dep = trim(text);
      if (dep.empty() || dep == "_id" || dep.find('{') != std::string_view::npos) continue;
      if (schema.relation(dep) || contains(fields, dep)) continue;
      fields.emplace_back(dep);
      added.emplace_back(dep);
    }
  }
  return added;
}

void strip_dep_injected(Array& items, const InjectInfo& record) {
  if (record.empty()) return;
  for (Value& item : items)
    if (Object* o = item.if_object()) strip_item(*o, record);
}

}  // namespace quorvel
