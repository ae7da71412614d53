// Assembly of the aggregation pipeline of a root query.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "json/value.h"
#include "pipeline/ast.h"
#include "schema/definition.h"
#include "schema/registry.h"

namespace quorvel {

struct Context;

// The stages of the root query's pipeline: condition (with relation-filter
// proxies), relation lookups, ordering and aggregate computes — or, for a
// grouped query, the grouped pipeline alone. On the ungrouped path the tree's
// object-field selections are flattened in place, so a projection built from
// the same tree afterwards sees the dotted fields.
Result<Array> build_pipeline(Ast& tree, const Object& params, const Registry& registry, const Context* ctx);

// The diagnostic view of a query: {"ast", "pipeline", "projection", "tokens"},
// where "ast" is the tree as parsed (before flattening) and "projection" is
// null when documents would be fetched whole. Owner conditions, dependency
// injection and plan modes belong to query planning and are not applied.
Result<Value> build_pipeline_view(std::string_view gql, const Object& params, const Registry& registry,
                                  const Context* ctx);

// A $lookup (and, for a to-one relation, an $unwind) per relation, in order.
Status root_lookup_stages(const RelationList& relations, const Schema& schema, const Object& params, Array& stages,
                          const Registry& registry, const Context* ctx);

// A sub-selection on an object field that declares a nested structure
// ("meta { a b }") becomes the dotted fields meta.a and meta.b, appended to
// `fields`; the entry leaves `relations` (its directives and nested
// relations are dropped). Other entries keep their places.
void flatten_object_fields_impl(std::vector<std::string>& fields, RelationList& relations, const Schema& schema);

}  // namespace quorvel
