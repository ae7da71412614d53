// Read post-processing of fetched documents: defaults, synchronous computed
// fields, relation descent, per-document permission trimming, projection.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "computes/cache.h"
#include "computes/registry.h"
#include "error.h"
#include "json/value.h"
#include "permission.h"
#include "pipeline/ast.h"
#include "schema/registry.h"

namespace quorvel {

// Runs the synchronous computed fields in order over the whole current
// document, so that a later compute sees the results of earlier ones.
Status run_computes(Value& document, const Cache& cache, FnRegistry* fns);

// One level of a query's selection, prepared once for every document of a
// call: the flattened selection, the compute digest, the defaults to fill,
// the relations to descend into and the names to keep. The schema, the
// registry and the context must outlive it.
class ReadPlan {
 public:
  ReadPlan(std::vector<std::string> fields, RelationList relations, const Schema& schema, const Registry& registry,
           const Context* ctx);
  ReadPlan(ReadPlan&&) noexcept;
  ~ReadPlan();

  // Post-processes one document in place. On error the document may be
  // partly processed; the caller discards it.
  Status apply(Value& document, FnRegistry* fns) const;

 private:
  struct NestedDefault;
  struct RelationStep;
  struct Keep;

  void plan_defaults(const std::vector<std::string>& needed, const Schema& schema);
  void plan_relations(RelationList& relations, const Schema& schema, const Registry& registry);
  void plan_projection(std::vector<std::string> kept, const Schema& schema);
  void fill_defaults(Object& doc) const;
  Status descend(Value& document, const RelationStep& step, FnRegistry* fns) const;
  void project(Value& document) const;

  const Context* ctx_;
  Cache cache_;
  std::vector<std::pair<std::string, Value>> top_defaults_;
  std::vector<NestedDefault> nested_defaults_;
  std::vector<RelationStep> relations_;
  std::vector<Keep> keep_;  // sorted by name
  std::vector<std::pair<std::string, std::vector<std::string>>> groups_;
};

// Post-processes one document against one level of a selection.
Status process_node(Value& document, const std::vector<std::string>& fields, const RelationList& relations,
                    const Schema& schema, const Context* ctx, const Registry& registry, FnRegistry* fns);

}  // namespace quorvel
