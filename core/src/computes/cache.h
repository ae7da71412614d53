// The digest of one schema's computed fields and explicit defaults that the
// post-processing steps read instead of walking the schema again.
#pragma once

#include <string>
#include <vector>

#include "json/value.h"
#include "schema/definition.h"

namespace quorvel {

// One callback-backed computed field.
struct ComputeEntry {
  std::string name;
  std::string fn_ref;
  std::vector<std::string> depends;
};

struct Cache {
  std::vector<ComputeEntry> sync_entries;   // "fn" computes, in compute order
  std::vector<ComputeEntry> async_entries;  // "asyncFn" computes, in compute order
  Object field_defaults;                    // declared fields with a non-null explicit default
  // Type default of each computed field; a type without one has no entry.
  Object compute_defaults;
};

// Pure function of the schema. Callers that process many documents of one
// schema build it once and hand it on.
Cache ensure_cache(const Schema& schema);

}  // namespace quorvel
