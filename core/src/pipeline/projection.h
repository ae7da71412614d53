// The inclusion projection of a root query: what post-processing needs
// (relations, dependencies of host-computed fields) and nothing the context
// may not read. No projection means documents are fetched whole.
#pragma once

#include <optional>

#include "json/value.h"
#include "pipeline/ast.h"
#include "pipeline/util.h"
#include "schema/definition.h"

namespace quorvel {

struct Context;

// Expects the tree as pipeline assembly left it (object-field selections
// flattened). Never fails.
std::optional<Object> build_projection(const Ast& tree, const Schema& schema, const Context* ctx);

// Adds the dependency fields of every host-computed field (fn or asyncFn),
// whether selected or not; `dotted_roots` are roots selected through dotted
// paths, which a whole-member dependency must not override.
void append_compute_deps(StringSet& out, const Schema& schema, const StringSet& dotted_roots);

}  // namespace quorvel
