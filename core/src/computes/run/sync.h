// Read post-processing of fetched documents: defaults, synchronous computed
// fields, relation descent, per-document permission trimming, projection.
#pragma once

#include "computes/cache.h"
#include "computes/registry.h"
#include "error.h"
#include "json/value.h"

namespace quorvel {

// Runs the synchronous computed fields in order over the whole current
// document, so that a later compute sees the results of earlier ones.
Status run_computes(Value& document, const Cache& cache, FnRegistry* fns);

}  // namespace quorvel
