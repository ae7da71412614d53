// The normalised schema record built once at registration and shared
// read-only by every call afterwards.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "json/value.h"

namespace quorvel {

using RuleList = std::vector<std::string>;

struct FieldDef {
  std::string type;
  bool required = false;
  std::optional<Value> default_value;  // may hold an explicit null
  std::optional<RuleList> read;
  std::optional<RuleList> write;
  // Nested structure of an object field, kept as declared.
  std::optional<Value> fields;
};

using FieldMap = std::map<std::string, FieldDef, std::less<>>;

struct RelationDef {
  std::string model;
  std::string type = "many";
  std::string local_field = "_id";
  std::string foreign_field;
  std::optional<RuleList> read;
};

struct ComputeDef {
  std::string type = "any";
  bool fn = false;
  bool async_fn = false;
  std::optional<Value> agg;
  std::optional<std::string> fn_ref;
  std::vector<std::string> depends;
  std::optional<RuleList> read;

  // The name the host callback is registered under: fnRef, else the
  // computed field's own name.
  std::string_view ref_name(std::string_view own_name) const { return fn_ref ? std::string_view(*fn_ref) : own_name; }
};

// Maps are ordered by name so that every walk over a schema is deterministic.
struct Schema {
  std::string name;
  std::string collection;
  std::string id_prefix;
  std::vector<std::pair<std::string, ComputeDef>> computes;
  std::vector<Value> indexes;
  std::optional<RuleList> read;
  std::optional<RuleList> write;
  std::optional<std::string> datasource;
  std::optional<std::string> namespace_;
  FieldMap fields;
  std::map<std::string, RelationDef, std::less<>> relations;
  bool timestamps = true;

  const FieldDef* field(std::string_view n) const {
    auto it = fields.find(n);
    return it == fields.end() ? nullptr : &it->second;
  }
  const RelationDef* relation(std::string_view n) const {
    auto it = relations.find(n);
    return it == relations.end() ? nullptr : &it->second;
  }
};

// The string elements of an array, in order; absent for anything else.
std::optional<RuleList> read_rule_list(const Value* v);

// Field definitions of a "fields" value: a type name or a definition object
// per entry; a non-object gives no fields.
Result<FieldMap> normalize_fields(const Value& fields);

// Reads a definition document whose "name" and collection the caller has
// already fixed.
Result<Schema> build_schema(const Value& defn, std::string name, std::string collection);

}  // namespace quorvel
