// Registered schemas by name and location, with the require-context switch.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "datasource.h"
#include "schema/definition.h"

namespace quorvel {

using SchemaPtr = std::shared_ptr<const Schema>;

// Where a schema's documents live: source ("default" when none is declared),
// namespace (empty when none) and collection. Views into the schema or the
// caller's arguments, so lookups copy nothing.
struct Location {
  std::string_view source;
  std::string_view namespace_;
  std::string_view collection;

  static Location of(const Schema& s);
  bool operator==(const Location&) const = default;
};

class Registry {
 public:
  // Builds and stores a definition, then its archive schema. A failure before
  // the store changes nothing; a failure of the archive leaves the schema
  // itself registered.
  Status register_schema(const Value& defn);

  Result<SchemaPtr> get(std::string_view name) const;
  // The schema or null, for callers that have their own message.
  const Schema* find(std::string_view name) const;
  bool has(std::string_view name) const { return find(name) != nullptr; }
  // Names in registration order; a name registered twice appears twice.
  const std::vector<std::string>& list() const { return names_; }

  // `namespace_` absent and empty are the same location.
  Result<SchemaPtr> get_by_location(std::string_view source, std::optional<std::string_view> namespace_,
                                    std::string_view collection) const;
  // As get_by_location, falling back to the one schema that declares the
  // (source, collection) structure for every namespace.
  Result<SchemaPtr> get_for_command(std::string_view source, std::optional<std::string_view> namespace_,
                                    std::string_view collection) const;

  Result<std::optional<std::string>> schema_datasource(std::string_view name) const;
  Result<DataSource> resolve_datasource(std::string_view name, const Value& declaration) const;

  bool require_context() const { return require_context_; }
  void set_require_context(bool require) { require_context_ = require; }

 private:
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  struct LocationHash {
    size_t operator()(const Location& l) const;
  };
  struct SourceCollection {
    std::string source;
    std::string collection;
    bool operator==(const SourceCollection&) const = default;
  };
  struct SourceCollectionHash {
    size_t operator()(const SourceCollection& k) const;
  };

  Result<SchemaPtr> store(const Value& defn);
  void unindex(const Schema& old);
  void index(const SchemaPtr& s);

  std::unordered_map<std::string, SchemaPtr, StringHash, std::equal_to<>> schemas_;
  std::vector<std::string> names_;
  // Locations are unique across names, so each maps to one schema; its key
  // views that schema's strings and leaves the index together with it.
  std::unordered_map<Location, SchemaPtr, LocationHash> by_location_;
  // Every schema sharing a (source, collection), for the multi-tenant lookup.
  std::unordered_map<SourceCollection, std::vector<SchemaPtr>, SourceCollectionHash> by_collection_;
  bool require_context_ = false;
};

}  // namespace quorvel
