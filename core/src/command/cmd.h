// Command documents: the database commands every planner returns, the
// location keys that tie them to a data source, and the route override that
// re-targets them after planning.
#pragma once

#include <optional>
#include <string>

#include "json/value.h"
#include "schema/definition.h"

namespace quorvel {

// Builders. Each takes its values by value so that planners can move them in;
// none validates or fails.
Value cmd_find(const Schema& schema, Value filter, std::optional<Value> projection);
Value cmd_find_one(const Schema& schema, Value filter, std::optional<Value> projection);
Value cmd_aggregate(const Schema& schema, Array pipeline);
Value cmd_count_documents(const Schema& schema, Value filter);
Value cmd_insert_one(const Schema& schema, Value doc);
Value cmd_insert_many(const Schema& schema, Array docs);
Value cmd_update_many(const Schema& schema, Value filter, Value update);
Value cmd_find_one_and_update(const Schema& schema, Value filter, Value update, Value options);
Value cmd_delete_many(const Schema& schema, Value filter);

// Adds "source" ("default" when the schema declares none) and "namespace"
// (null when absent or empty).
void with_loc(Object& command, const Schema& schema);

// Rewrites "source" and/or "namespace" of every command nested anywhere in
// `result`. An override that is not a non-empty object changes nothing.
void apply_route_override(Value& result, const Value& route_override);
// `source` null: leave "source" alone; `ns` null: leave "namespace" alone.
// Does not descend into a command it rewrites, nor into the members that
// carry the caller's data ("postprocess", "returns", "sort").
void override_walk(Value& value, const std::string* source, const Value* ns);

// Lenient number coercion for page arguments; never NaN.
double to_number(const Value* value);

}  // namespace quorvel
