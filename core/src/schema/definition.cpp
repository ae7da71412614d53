#include "schema/definition.h"

#include <array>

#include "bson.h"
#include "types.h"

namespace quorvel {

namespace {

// A non-empty string member, else absent: the reading of every optional
// text key of a definition.
const std::string* nonempty_string(const Value* v) {
  const std::string* s = v ? v->if_string() : nullptr;
  return s && !s->empty() ? s : nullptr;
}

std::string string_or(const Value* v, std::string_view fallback) {
  const std::string* s = nonempty_string(v);
  return s ? *s : std::string(fallback);
}

std::optional<std::string> optional_string(const Value* v) {
  const std::string* s = nonempty_string(v);
  return s ? std::optional<std::string>(*s) : std::nullopt;
}

const Object* object_member(const Object& o, std::string_view key) {
  const Value* v = o.find(key);
  return v ? v->if_object() : nullptr;
}

bool truthy_member(const Object& o, std::string_view key) {
  const Value* v = o.find(key);
  return v && is_truthy(*v);
}

Result<bool> read_timestamps(const Value* v) {
  if (!v || v->is_null()) return true;
  if (const bool* b = v->if_bool()) return *b;
  if (const std::string* s = v->if_string(); s && (*s == "ms" || *s == "s")) return true;
  std::string shown = v->is_string() ? "\"" + v->as_string() + "\"" : dump(*v);
  return Err("timestamps 仅支持 true/false/'ms'/'s'，实际 " + shown);
}

FieldDef read_field_object(const Object& o) {
  FieldDef f;
  if (const Value* t = o.find("type"); t && t->is_string()) f.type = t->as_string();
  if (const Value* r = o.find("required"); r && r->is_bool()) f.required = r->as_bool();
  // An explicit null is kept: the write path writes it instead of the type
  // default, while every reader of defaults that needs a value skips it.
  if (const Value* d = o.find("default")) f.default_value = *d;
  f.read = read_rule_list(o.find("read"));
  f.write = read_rule_list(o.find("write"));
  if (const Value* nested = o.find("fields"); nested && is_truthy(*nested)) f.fields = *nested;
  return f;
}

FieldDef timestamp_field() {
  FieldDef f;
  f.type = "number";
  return f;
}

RelationDef read_relation(const std::string& name, const Value& v) {
  static const Object kNoMembers;
  const Object& o = v.is_object() ? v.as_object() : kNoMembers;
  RelationDef r;
  r.model = string_or(o.find("model"), "");
  r.type = string_or(o.find("type"), "many");
  r.local_field = string_or(o.find("localField"), "_id");
  r.foreign_field = string_or(o.find("foreignField"), name);
  r.read = read_rule_list(o.find("read"));
  return r;
}

constexpr std::array<std::string_view, 5> kAggOperators = {"$avg", "$count", "$max", "$min", "$sum"};

bool is_agg_operator(std::string_view op) {
  for (std::string_view known : kAggOperators)
    if (op == known) return true;
  return false;
}

// Checks an "agg" declaration in the order that decides which message a
// definition with several faults gets.
Status validate_agg(const std::string& name, const Object& compute, const Value& agg,
                    const std::map<std::string, RelationDef, std::less<>>& relations) {
  const std::string quoted = "计算列 \"" + name + "\" ";
  if (truthy_member(compute, "fn") || truthy_member(compute, "asyncFn"))
    return Err(quoted + "不能同时声明 agg 与 fn/asyncFn（二选一）");
  const Object* spec = agg.if_object();
  if (!spec) return Err(quoted + "的 agg 必须是对象，如 {\"$count\": \"lessons\"}");
  if (spec->size() != 1) return Err(quoted + "的 agg 必须且只能声明一个算子键");
  const auto& [op, target] = *spec->begin();
  if (!is_agg_operator(op)) return Err(quoted + "的 agg 算子 " + op + " 不在白名单（$count/$sum/$avg/$min/$max）");
  const std::string* path = target.if_string();
  if (!path || path->empty() || *path == "*")
    return Err(quoted + "的 agg 取值必须是关系路径字符串（如 \"lessons\" / \"lessons.duration\"）");

  const size_t dot = path->find('.');
  const std::string relation = path->substr(0, dot);
  if (!relations.contains(relation)) return Err(quoted + "的 agg 引用的关系 \"" + relation + "\" 未在 schema 中定义");
  if (dot != std::string::npos && path->find('.', dot + 1) != std::string::npos)
    return Err(quoted + "的 agg 关系路径 \"" + *path + "\" 非法：仅支持单级「关系.字段」（二级路径首批不支持）");
  if (op == "$count") {
    if (dot != std::string::npos)
      return Err(quoted + "的 $count 仅支持关系整行计数（如 \"lessons\"），按字段计数待 P5");
  } else if (dot == std::string::npos || dot + 1 == path->size()) {
    // A trailing "." names no field, so it is as bare as no dot at all.
    return Err(quoted + "的 agg 算子 " + op + " 必须引用关系字段（如 \"lessons.duration\"）");
  }
  return ok();
}

Result<ComputeDef> read_compute(const std::string& name, const Value& v,
                                const std::map<std::string, RelationDef, std::less<>>& relations) {
  ComputeDef c;
  const Object* o = v.if_object();
  if (!o) return c;
  c.type = string_or(o->find("type"), "any");
  // A valid agg excludes fn and asyncFn, so the flags stay false with one.
  c.fn = truthy_member(*o, "fn");
  c.async_fn = truthy_member(*o, "asyncFn");
  if (const Value* agg = o->find("agg"); agg && is_truthy(*agg)) {
    if (Status s = validate_agg(name, *o, *agg, relations); !s) return s.err();
    c.agg = *agg;
  }
  c.fn_ref = optional_string(o->find("fnRef"));
  if (auto depends = read_rule_list(o->find("depends"))) c.depends = std::move(*depends);
  c.read = read_rule_list(o->find("read"));
  return c;
}

}  // namespace

std::optional<RuleList> read_rule_list(const Value* v) {
  const Array* a = v ? v->if_array() : nullptr;
  if (!a) return std::nullopt;
  RuleList out;
  out.reserve(a->size());
  for (const Value& e : *a)
    if (const std::string* s = e.if_string()) out.push_back(*s);
  return out;
}

Result<FieldMap> normalize_fields(const Value& fields) {
  FieldMap out;
  const Object* o = fields.if_object();
  if (!o) return out;
  // Entries arrive in key order, so each insert lands at the end.
  for (const auto& [name, def] : *o) {
    if (const std::string* type = def.if_string()) {
      FieldDef f;
      f.type = *type;
      out.emplace_hint(out.end(), name, std::move(f));
    } else if (const Object* fo = def.if_object()) {
      out.emplace_hint(out.end(), name, read_field_object(*fo));
    } else {
      return Err("字段 " + name + " 定义类型非法（须为类型字符串或对象）");
    }
  }
  return out;
}

Result<Schema> build_schema(const Value& defn, std::string name, std::string collection) {
  static const Object kNoMembers;
  const Object& d = defn.is_object() ? defn.as_object() : kNoMembers;
  Schema s;
  s.name = std::move(name);
  s.collection = std::move(collection);

  Result<bool> timestamps = read_timestamps(d.find("timestamps"));
  if (!timestamps) return timestamps.err();
  s.timestamps = *timestamps;

  static const Value kNull;
  const Value* fields = d.find("fields");
  Result<FieldMap> normalized = normalize_fields(fields ? *fields : kNull);
  if (!normalized) return normalized.err();
  s.fields = std::move(normalized).value();
  if (s.timestamps) {
    // A declared timestamp field keeps its declaration.
    s.fields.try_emplace("createdAt", timestamp_field());
    s.fields.try_emplace("updatedAt", timestamp_field());
  }

  if (const Object* relations = object_member(d, "relations"))
    for (const auto& [rel_name, def] : *relations)
      s.relations.emplace_hint(s.relations.end(), rel_name, read_relation(rel_name, def));

  if (const Object* computes = object_member(d, "computes")) {
    s.computes.reserve(computes->size());
    for (const auto& [compute_name, def] : *computes) {
      Result<ComputeDef> c = read_compute(compute_name, def, s.relations);
      if (!c) return c.err();
      s.computes.emplace_back(compute_name, std::move(c).value());
    }
  }

  if (const std::string* prefix = nonempty_string(d.find("idPrefix"))) s.id_prefix = *prefix;
  s.read = read_rule_list(d.find("read"));
  s.write = read_rule_list(d.find("write"));
  if (const Value* indexes = d.find("indexes"); indexes && indexes->is_array()) s.indexes = indexes->as_array();
  s.datasource = optional_string(d.find("datasource"));
  s.namespace_ = optional_string(d.find("namespace"));
  return s;
}

}  // namespace quorvel
