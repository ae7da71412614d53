// Assembly of the aggregation pipeline of a root query.
#pragma once

#include <string>
#include <vector>

#include "pipeline/ast.h"
#include "schema/definition.h"

namespace quorvel {

// A sub-selection on an object field that declares a nested structure
// ("meta { a b }") becomes the dotted fields meta.a and meta.b, appended to
// `fields`; the entry leaves `relations` (its directives and nested
// relations are dropped). Other entries keep their places.
void flatten_object_fields_impl(std::vector<std::string>& fields, RelationList& relations, const Schema& schema);

}  // namespace quorvel
