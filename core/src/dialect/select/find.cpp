#include "dialect/select/find.h"

#include <algorithm>
#include <utility>

#include "dialect/translate.h"
#include "schema/registry.h"

namespace quorvel {

namespace {

bool is_included(const Value& v) {
  if (v.is_bool()) return v.as_bool();
  if (v.is_uint()) return v.as_uint() != 0;
  return v.is_int();  // negatives only
}

bool is_excluded_id(const Value* projection) {
  const Value* id = projection && projection->is_object() ? projection->get("_id") : nullptr;
  return id && ((id->is_bool() && !id->as_bool()) || (id->is_uint() && id->as_uint() == 0));
}

bool is_compute(const Schema& schema, std::string_view name) {
  return std::any_of(schema.computes.begin(), schema.computes.end(),
                     [&](const auto& c) { return c.first == name; });
}

Result<WhereClause> where_of(Backend backend, const Schema& schema, const Value& filter, size_t& counter,
                             std::vector<std::string>& warnings) {
  Ctx ctx{backend, std::string(kMainAlias), col_fn(schema), nullptr, counter, &warnings};
  return ctx.root(filter);
}

void append_from(std::string& text, const Target& target, const WhereClause& where) {
  ((text += " FROM ") += target.table) += " t";
  if (!where.empty()) (text += " WHERE ") += where.text;
}

}  // namespace

ColumnResolver col_fn(const Schema& schema) {
  return [&schema](std::string_view field) { return scalar_column(schema, field); };
}

Status check_projection_supported(const Schema& schema, const Value& projection) {
  const Object* members = projection.if_object();
  if (!members) return ok();
  for (const auto& [name, v] : *members) {
    if (!is_included(v) || name == "_id" || schema.relation(name) || is_compute(schema, name)) continue;
    if (!scalar_column(schema, name))
      return Err("SQL 后端不支持投影 object/array 字段 \"" + name + "\"（无对应列；D2：绝不静默返回残缺结果）");
  }
  return ok();
}

std::vector<std::string> projection_fields(const Schema& schema, const Value* projection) {
  std::vector<std::string> names;
  if (const Object* members = projection ? projection->if_object() : nullptr) {
    for (const auto& [name, v] : *members)
      if (is_included(v)) names.push_back(name);
  }
  if (names.empty()) {
    names.reserve(schema.fields.size());
    for (const auto& [name, def] : schema.fields) names.push_back(name);
  }
  return names;
}

Result<SqlStmt> translate_find(Backend backend, const Target& target, const Value& filter, const Value* projection,
                               std::vector<std::string>& warnings) {
  const Schema& schema = target.schema;
  SqlStmt stmt;
  size_t counter = 0;
  Result<WhereClause> where = where_of(backend, schema, filter, counter, warnings);
  if (!where) return where.err();
  if (projection) {
    if (Status s = check_projection_supported(schema, *projection); !s) return s.err();
  }
  std::vector<std::string> names = projection_fields(schema, projection);
  if (!is_excluded_id(projection) && std::find(names.begin(), names.end(), "_id") == names.end())
    names.insert(names.begin(), "_id");

  RowShape shape;
  shape.columns.reserve(names.size());
  stmt.text = "SELECT ";
  for (std::string& name : names) {
    // Computed fields are filled after the read, and a relation cannot come
    // from a single-table read: neither has a column to select. A relation
    // named like a declared field (the stored key it joins on) keeps the
    // field's column.
    if (is_compute(schema, name) || (schema.relation(name) && !schema.field(name))) continue;
    std::optional<std::string> column = scalar_column(schema, name);
    if (!column) continue;
    stmt.text += "t.";
    if (Status s = backend.append_ident(stmt.text, *column); !s) return s.err();
    stmt.text += ", ";
    bool boolean = field_is_bool(schema, name);
    shape.columns.push_back(RowCol::scalar(std::move(*column), {std::move(name)}, boolean));
  }
  stmt.text += "t.__present AS __present";
  append_from(stmt.text, target, *where);
  shape.present = std::string(kPresentColumn);
  stmt.params = std::move(where->params);
  stmt.row_shape = std::move(shape);
  return stmt;
}

Result<SqlStmt> translate_count(Backend backend, const Target& target, const Value& filter,
                                std::vector<std::string>& warnings) {
  SqlStmt stmt;
  size_t counter = 0;
  Result<WhereClause> where = where_of(backend, target.schema, filter, counter, warnings);
  if (!where) return where.err();
  stmt.text = "SELECT COUNT(*)";
  append_from(stmt.text, target, *where);
  stmt.params = std::move(where->params);
  stmt.row_shape = RowShape{};
  return stmt;
}

LimitOffset limit_offset_sql(Backend backend, std::optional<int64_t> limit, int64_t skip, size_t& counter) {
  LimitOffset out;
  auto bind = [&](std::string_view keyword, int64_t v) {
    (out.text += keyword) += ' ';
    backend.append_placeholder(out.text, ++counter);
    out.params.emplace_back(static_cast<long long>(v));
  };
  bool has_skip = skip > 0;
  if (limit) {
    bind(" LIMIT", *limit);
  } else if (has_skip) {
    // MySQL and SQLite accept OFFSET only after a LIMIT; PostgreSQL needs none.
    if (backend.id() == Backend::MySql) out.text += " LIMIT 18446744073709551615";
    else if (backend.id() == Backend::Sqlite) out.text += " LIMIT -1";
  }
  if (has_skip) bind(" OFFSET", skip);
  return out;
}

std::optional<std::string> count_field_pattern(const Value& expr) {
  const Array* cond = expr.get("$cond") ? expr.get("$cond")->if_array() : nullptr;
  if (!cond || cond->size() != 3) return std::nullopt;
  const Value* eq = (*cond)[0].get("$eq");
  const Array* eq_args = eq ? eq->if_array() : nullptr;
  if (!eq_args || eq_args->size() < 2 || !(*eq_args)[1].is_null()) return std::nullopt;
  const Value* if_null = (*eq_args)[0].get("$ifNull");
  const Array* if_null_args = if_null ? if_null->if_array() : nullptr;
  if (!if_null_args || if_null_args->empty()) return std::nullopt;
  const std::string* field = (*if_null_args)[0].if_string();
  if (!field || field->empty() || (*field)[0] != '$') return std::nullopt;
  const Value& when_null = (*cond)[1];
  const Value& otherwise = (*cond)[2];
  if (!when_null.is_uint() || when_null.as_uint() != 0 || !otherwise.is_uint() || otherwise.as_uint() != 1)
    return std::nullopt;
  return field->substr(1);
}

std::optional<Join> resolve_join(const Schema& schema, const Registry& registry, std::string_view as,
                                 std::string_view from) {
  auto make = [&](const std::string& name, const RelationDef& rel) {
    Join j;
    j.relation = name;
    j.as = std::string(as);
    j.target = rel.model;
    j.local_field = rel.local_field;
    j.foreign_field = rel.foreign_field;
    j.one = rel.type == "one";
    j.path = {name};
    j.ones = {j.one};
    return j;
  };
  if (auto it = schema.relations.find(as); it != schema.relations.end()) return make(it->first, it->second);
  for (const auto& [name, rel] : schema.relations) {
    if (rel.model == from) return make(name, rel);
    const Schema* target = registry.find(rel.model);
    if (target && target->collection == from) return make(name, rel);
  }
  return std::nullopt;
}

}  // namespace quorvel
