#include "schema/registry.h"

#include "types.h"

namespace quorvel {

namespace {

constexpr std::string_view kDefaultSource = "default";

size_t combine(size_t seed, std::string_view s) {
  return seed ^ (std::hash<std::string_view>{}(s) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

// The namespace as the location messages show it.
std::string namespace_text(std::string_view ns) {
  return ns.empty() ? std::string("None") : "Some(\"" + std::string(ns) + "\")";
}

std::string location_text(const Location& l) {
  return std::string(l.source) + ", " + namespace_text(l.namespace_) + ", " + std::string(l.collection);
}

Err not_located(const Location& l) {
  return Err("Schema 未定位（source = " + std::string(l.source) + ", namespace = " + namespace_text(l.namespace_) +
             ", collection = " + std::string(l.collection) + "）");
}

Location location_of(std::string_view source, std::optional<std::string_view> ns, std::string_view collection) {
  return Location{source, ns.value_or(std::string_view()), collection};
}

// The archive schema's definition: the fields plus "deletedAt", the indexes
// and the placement, nothing else (no rules, relations or computes).
Value archive_definition(const Object& defn, const Schema& schema) {
  Object fields;
  if (const Value* f = defn.find("fields"); f && f->is_object()) fields = f->as_object();
  fields.set("deletedAt", Value(Object{{"type", Value("number")}}));

  Object archive;
  archive.set("name", Value(schema.name + "Deleted"));
  archive.set("collection", Value(schema.collection + "_deleted"));
  archive.set("idPrefix", Value(std::string()));
  archive.set("_isArchive", Value(true));
  archive.set("fields", Value(std::move(fields)));
  const Value* indexes = defn.find("indexes");
  archive.set("indexes", indexes ? *indexes : Value(Array{}));
  for (std::string_view key : {std::string_view("datasource"), std::string_view("namespace")})
    if (const Value* v = defn.find(key)) archive.set(std::string(key), *v);
  return Value(std::move(archive));
}

bool derives_archive(const Object& defn, const Schema& schema) {
  const Value* flag = defn.find("_isArchive");
  return !(flag && is_truthy(*flag)) && !schema.name.ends_with("Deleted");
}

}  // namespace

Location Location::of(const Schema& s) {
  return Location{s.datasource ? std::string_view(*s.datasource) : kDefaultSource,
                  s.namespace_ ? std::string_view(*s.namespace_) : std::string_view(), s.collection};
}

size_t Registry::LocationHash::operator()(const Location& l) const {
  return combine(combine(combine(0, l.source), l.namespace_), l.collection);
}

size_t Registry::SourceCollectionHash::operator()(const SourceCollection& k) const {
  return combine(combine(0, k.source), k.collection);
}

Status Registry::register_schema(const Value& defn) {
  Result<SchemaPtr> stored = store(defn);
  if (!stored) return stored.err();
  const Schema& schema = **stored;
  const Object& d = defn.as_object();
  if (!derives_archive(d, schema)) return ok();
  if (Result<SchemaPtr> archive = store(archive_definition(d, schema)); !archive) return archive.err();
  return ok();
}

Result<SchemaPtr> Registry::store(const Value& defn) {
  const Object* d = defn.if_object();
  if (!d) return Err("schema 定义必须是对象");
  const Value* name = d->find("name");
  if (!name || !name->is_string()) return Err("schema 缺少 name");
  const Value* collection = d->find("collection");
  const std::string& collection_name =
      collection && collection->is_string() ? collection->as_string() : name->as_string();

  Result<Schema> built = build_schema(defn, name->as_string(), collection_name);
  if (!built) return built.err();
  auto schema = std::make_shared<const Schema>(std::move(built).value());

  const Location where = Location::of(*schema);
  if (auto it = by_location_.find(where); it != by_location_.end() && it->second->name != schema->name) {
    const Schema& other = *it->second;
    return Err("定位三元组冲突: (" + location_text(where) + ") 已被 schema `" + other.name +
               "`（collection = " + other.collection + "）占用");
  }

  SchemaPtr& slot = schemas_[schema->name];
  if (slot) unindex(*slot);
  slot = schema;
  index(schema);
  names_.push_back(schema->name);
  return schema;
}

void Registry::index(const SchemaPtr& s) {
  by_location_.emplace(Location::of(*s), s);
  by_collection_[SourceCollection{std::string(Location::of(*s).source), s->collection}].push_back(s);
}

void Registry::unindex(const Schema& old) {
  const Location where = Location::of(old);
  if (auto it = by_location_.find(where); it != by_location_.end() && it->second.get() == &old)
    by_location_.erase(it);
  auto shared = by_collection_.find(SourceCollection{std::string(where.source), old.collection});
  if (shared == by_collection_.end()) return;
  std::erase_if(shared->second, [&](const SchemaPtr& p) { return p.get() == &old; });
  if (shared->second.empty()) by_collection_.erase(shared);
}

const Schema* Registry::find(std::string_view name) const {
  auto it = schemas_.find(name);
  return it == schemas_.end() ? nullptr : it->second.get();
}

Result<SchemaPtr> Registry::get(std::string_view name) const {
  auto it = schemas_.find(name);
  if (it == schemas_.end()) return Err("Schema 未注册: " + std::string(name));
  return it->second;
}

Result<SchemaPtr> Registry::get_by_location(std::string_view source, std::optional<std::string_view> namespace_,
                                            std::string_view collection) const {
  const Location where = location_of(source, namespace_, collection);
  auto it = by_location_.find(where);
  if (it == by_location_.end()) return not_located(where);
  return it->second;
}

Result<SchemaPtr> Registry::get_for_command(std::string_view source, std::optional<std::string_view> namespace_,
                                            std::string_view collection) const {
  const Location where = location_of(source, namespace_, collection);
  if (auto it = by_location_.find(where); it != by_location_.end()) return it->second;
  auto shared = by_collection_.find(SourceCollection{std::string(source), std::string(collection)});
  if (shared == by_collection_.end() || shared->second.empty()) return not_located(where);
  const std::vector<SchemaPtr>& candidates = shared->second;
  if (candidates.size() == 1) return candidates.front();
  // Of several structures for one collection, the one without a namespace
  // serves every tenant; locations are unique, so there is at most one.
  for (const SchemaPtr& s : candidates)
    if (!s->namespace_) return s;
  return Err("命令定位 (" + location_text(where) +
             ") 存在多个结构 schema（多租户 override 需唯一的 (source, collection) 结构声明）");
}

Result<std::optional<std::string>> Registry::schema_datasource(std::string_view name) const {
  Result<SchemaPtr> schema = get(name);
  if (!schema) return schema.err();
  return (*schema)->datasource;
}

Result<DataSource> Registry::resolve_datasource(std::string_view name, const Value& declaration) const {
  Result<SchemaPtr> schema = get(name);
  if (!schema) return schema.err();
  Result<DataSourceConfig> config = DataSourceConfig::from_json(declaration);
  if (!config) return config.err();
  const std::optional<std::string>& declared = (*schema)->datasource;
  return config->resolve(declared ? &*declared : nullptr);
}

}  // namespace quorvel
