#include "pipeline/ast.h"

namespace quorvel {

namespace {

Value params_to_value(const DirectiveMap& params) {
  Object o;
  o.reserve(params.size());
  for (const auto& [k, v] : params) o.push_back_sorted(k, Value(v));
  return Value(std::move(o));
}

Value fields_to_value(const std::vector<std::string>& fields) {
  Array a;
  a.reserve(fields.size());
  for (const std::string& f : fields) a.emplace_back(f);
  return Value(std::move(a));
}

Value relations_to_value(const RelationList& relations) {
  std::vector<Object::Member> entries;
  entries.reserve(relations.size());
  for (const auto& [name, sub] : relations) entries.emplace_back(name, sub.to_value());
  return Value(Object::from_entries(std::move(entries)));
}

// The level members shared by Ast and RelAst, in key order.
void put_level(Object& o, const DirectiveMap& params, const std::vector<std::string>& fields,
               const RelationList& relations) {
  o.set("fields", fields_to_value(fields));
  o.set("params", params_to_value(params));
  o.set("relations", relations_to_value(relations));
}

DirectiveMap params_from(const Value& v) {
  DirectiveMap out;
  if (const Value* p = v.get("params"); p && p->is_object())
    for (const auto& [k, e] : p->as_object())
      if (e.is_string()) out.emplace_hint(out.end(), k, e.as_string());
  return out;
}

std::vector<std::string> fields_from(const Value& v) {
  std::vector<std::string> out;
  if (const Value* f = v.get("fields"); f && f->is_array()) {
    out.reserve(f->as_array().size());
    for (const Value& e : f->as_array()) out.push_back(e.is_string() ? e.as_string() : std::string());
  }
  return out;
}

Result<RelationList> relations_from(const Value& v) {
  RelationList out;
  if (const Value* r = v.get("relations"); r && r->is_object()) {
    out.reserve(r->as_object().size());
    for (const auto& [name, sub] : r->as_object()) {
      Result<RelAst> rel = RelAst::from_value(sub);
      if (!rel) return rel.err();
      out.emplace_back(name, std::move(rel).value());
    }
  }
  return out;
}

}  // namespace

Value RelAst::to_value() const {
  Object o;
  put_level(o, params, fields, relations);
  return Value(std::move(o));
}

Value Ast::to_value() const {
  Object o;
  put_level(o, params, fields, relations);
  o.set("model", Value(model));
  return Value(std::move(o));
}

namespace {

// Reads the members a query level shares with the root: params, fields and
// relations.
template <class Level>
Status read_level(const Value& v, Level& out) {
  out.params = params_from(v);
  out.fields = fields_from(v);
  Result<RelationList> rels = relations_from(v);
  if (!rels) return rels.err();
  out.relations = std::move(rels).value();
  return ok();
}

}  // namespace

Result<RelAst> RelAst::from_value(const Value& v) {
  if (!v.is_object()) return Err("RelAst 必须是对象");
  RelAst out;
  if (Status s = read_level(v, out); !s) return s.err();
  return out;
}

Result<Ast> Ast::from_value(const Value& v) {
  if (!v.is_object()) return Err("Ast 必须是对象");
  Ast out;
  if (const Value* m = v.get("model"); m && m->is_string()) out.model = m->as_string();
  if (Status s = read_level(v, out); !s) return s.err();
  return out;
}

}  // namespace quorvel
