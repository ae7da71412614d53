// The database kinds a collection can live in, and the host's declaration of
// which named data source is of which kind.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "json/value.h"

namespace quorvel {

class DataSource {
 public:
  enum class Kind { Mongo, MySql, Postgres, Sqlite };

  constexpr DataSource(Kind kind) : kind_(kind) {}

  // Case-insensitive kind names: "mongo"/"mongodb" and the SQL backend names
  // ("mysql", "pg"/"postgres"/"postgresql", "sqlite").
  static Result<DataSource> from_kind(std::string_view kind);

  Kind kind() const { return kind_; }
  bool is_sql() const { return kind_ != Kind::Mongo; }
  // "mongo", "mysql", "postgres" or "sqlite".
  std::string_view name() const;

  bool operator==(const DataSource&) const = default;

 private:
  Kind kind_;
};

// Named data sources in declaration order, names unique.
class DataSourceConfig {
 public:
  using Entry = std::pair<std::string, DataSource>;

  // Reads {"sources": {name: kind}}; any other shape is an empty config.
  static Result<DataSourceConfig> from_json(const Value& v);

  // Replaces the kind of a source already named, else appends.
  void register_source(std::string name, DataSource source);
  // The declared source, or without a declaration the one named "default",
  // falling back to Mongo.
  Result<DataSource> resolve(const std::string* declared) const;

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  const Entry* find(std::string_view name) const;
  std::vector<Entry> entries_;
};

}  // namespace quorvel
