// Field defaults and the completion of a document on the write path.
#pragma once

#include <optional>

#include "computes/cache.h"
#include "computes/registry.h"
#include "error.h"
#include "json/value.h"
#include "schema/definition.h"

namespace quorvel {

// The explicit default, else the type default; none when neither exists.
std::optional<Value> field_default(const FieldDef& field);
// Default of a nested definition: a type-name string or {"type", "default", "fields"}.
std::optional<Value> raw_field_default(const Value& definition);
// Completes an object member from its nested definitions, to any depth.
void fill_nested_defaults(Object& member, const Value& definitions);

// Fills every declared field's default, then runs the synchronous computed
// fields in compute order. A non-object document comes back unchanged.
Result<Value> apply_defaults_and_computes(const Value& document, const Schema& schema, FnRegistry* fns);
// The same over a cache the caller built once for many documents.
Result<Value> apply_defaults_and_computes(Value document, const Schema& schema, const Cache& cache,
                                          FnRegistry* fns);

}  // namespace quorvel
