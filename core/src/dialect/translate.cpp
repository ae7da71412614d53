#include "dialect/translate.h"

#include <array>
#include <utility>

#include "dialect/ir.h"
#include "dialect/select/find.h"
#include "schema/registry.h"

namespace quorvel {

namespace {

enum class Route { Select, Write };

struct KindRoute {
  std::string_view kind;
  Route route;
};

constexpr std::array<KindRoute, 9> kRoutes = {{
    {"find", Route::Select},
    {"findOne", Route::Select},
    {"aggregate", Route::Select},
    {"countDocuments", Route::Select},
    {"insertOne", Route::Write},
    {"insertMany", Route::Write},
    {"updateMany", Route::Write},
    {"deleteMany", Route::Write},
    {"findOneAndUpdate", Route::Write},
}};

std::string_view string_member(const Value& v, std::string_view name, std::string_view fallback) {
  const Value* m = v.get(name);
  return m && m->is_string() ? std::string_view(m->as_string()) : fallback;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The schema the command addresses. A command's own namespace re-targets the
// tables (route overrides), without copying the schema.
struct Resolved {
  SchemaPtr schema;
  Target target;
};

Result<Resolved> resolve_schema(Backend backend, const Value& command, const Registry& registry) {
  std::string_view collection = string_member(command, "collection", "");
  std::string_view source = string_member(command, "source", "default");
  const Value* ns = command.get("namespace");
  std::optional<std::string_view> namespace_;
  if (ns && ns->is_string()) namespace_ = ns->as_string();
  Result<SchemaPtr> schema = registry.get_for_command(source, namespace_, collection);
  if (!schema) return schema.err();
  const Schema& s = **schema;
  std::optional<std::string> table_ns = namespace_ ? std::optional<std::string>(*namespace_) : s.namespace_;
  Result<std::string> table = backend.qualified_table(table_ns, s.collection);
  if (!table) return table.err();
  SchemaPtr held = std::move(schema).value();
  const Schema& ref = *held;
  return Resolved{std::move(held), Target{ref, std::move(table).value()}};
}

Status not_yet(std::string_view kind) {
  return Err("translate: kind = " + std::string(kind) + " 的 SQL 翻译尚未提供（拒绝静默丢弃该命令）");
}

Status translate_select(Backend backend, std::string_view kind, const Value& command, const Registry& registry,
                        Translation& out) {
  Result<Resolved> resolved = resolve_schema(backend, command, registry);
  if (!resolved) return resolved.err();
  const Target& target = resolved->target;
  static const Value kEmptyFilter{Object{}};
  const Value* filter = command.get("filter");
  if (!filter) filter = &kEmptyFilter;
  Result<SqlStmt> stmt = Err("");
  if (kind == "find" || kind == "findOne") {
    stmt = translate_find(backend, target, *filter, command.get("projection"), out.warnings);
  } else if (kind == "countDocuments") {
    stmt = translate_count(backend, target, *filter, out.warnings);
  } else if (kind == "aggregate") {
    return not_yet(kind);
  } else {
    return Err("translate: 未知命令 kind = " + std::string(kind));
  }
  if (!stmt) return stmt.err();
  out.stmts.push_back(std::move(stmt).value());
  return ok();
}

Status translate_write(Backend backend, std::string_view kind, const Value& command, const Registry& registry) {
  Result<Resolved> resolved = resolve_schema(backend, command, registry);
  if (!resolved) return resolved.err();
  return not_yet(kind);
}

}  // namespace

Result<Value> translate(Backend backend, const Value& command, const Registry& registry) {
  std::string_view kind = string_member(command, "kind", "");
  const KindRoute* route = nullptr;
  for (const KindRoute& r : kRoutes)
    if (r.kind == kind) route = &r;
  if (!route) return Err("translate: 未支持的命令 kind = " + std::string(kind));
  Translation out;
  Status s = route->route == Route::Select ? translate_select(backend, kind, command, registry, out)
                                           : translate_write(backend, kind, command, registry);
  if (!s) return s.err();
  return std::move(out).to_value(backend);
}

bool field_is_bool(const Schema& schema, std::string_view field) {
  const FieldDef* def = schema.field(field);
  return def && (ascii_iequals(def->type, "boolean") || ascii_iequals(def->type, "bool"));
}

std::optional<std::string> scalar_column(const Schema& schema, std::string_view path) {
  std::string_view root = path.substr(0, path.find('.'));
  if (const FieldDef* def = schema.field(root); def && (def->type == "array" || def->type == "object"))
    return std::nullopt;
  return std::string(path);
}

}  // namespace quorvel
