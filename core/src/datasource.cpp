#include "datasource.h"

#include "dialect/backend.h"

namespace quorvel {

namespace {

DataSource::Kind kind_of(Backend backend) {
  switch (backend.id()) {
    case Backend::MySql: return DataSource::Kind::MySql;
    case Backend::Postgres: return DataSource::Kind::Postgres;
    case Backend::Sqlite: return DataSource::Kind::Sqlite;
  }
  return DataSource::Kind::Mongo;
}

}  // namespace

// The SQL kinds are read exactly as the translator reads backend names.
Result<DataSource> DataSource::from_kind(std::string_view kind) {
  std::string lower = ascii_lower(kind);
  if (lower == "mongo" || lower == "mongodb") return DataSource(Kind::Mongo);
  Result<Backend> backend = Backend::parse(lower);
  if (!backend) return backend.err();
  return DataSource(kind_of(*backend));
}

std::string_view DataSource::name() const {
  switch (kind_) {
    case Kind::Mongo: return "mongo";
    case Kind::MySql: return "mysql";
    case Kind::Postgres: return "postgres";
    case Kind::Sqlite: return "sqlite";
  }
  return "mongo";
}

Result<DataSourceConfig> DataSourceConfig::from_json(const Value& v) {
  DataSourceConfig config;
  const Value* sources = v.get("sources");
  const Object* o = sources ? sources->if_object() : nullptr;
  if (!o) return config;
  config.entries_.reserve(o->size());
  // Object keys are unique, so entries append without a search.
  for (const auto& [name, kind] : *o) {
    const std::string* text = kind.if_string();
    if (!text) return Err("数据源 " + name + " 的 kind 必须是字符串");
    Result<DataSource> source = DataSource::from_kind(*text);
    if (!source) return source.err();
    config.entries_.emplace_back(name, *source);
  }
  return config;
}

void DataSourceConfig::register_source(std::string name, DataSource source) {
  for (Entry& e : entries_) {
    if (e.first == name) {
      e.second = source;
      return;
    }
  }
  entries_.emplace_back(std::move(name), source);
}

const DataSourceConfig::Entry* DataSourceConfig::find(std::string_view name) const {
  for (const Entry& e : entries_)
    if (e.first == name) return &e;
  return nullptr;
}

Result<DataSource> DataSourceConfig::resolve(const std::string* declared) const {
  if (declared) {
    if (const Entry* e = find(*declared)) return e->second;
    return Err("schema 绑定的数据源未在配置中声明: " + *declared);
  }
  if (const Entry* e = find("default")) return e->second;
  return DataSource(DataSource::Kind::Mongo);
}

}  // namespace quorvel
